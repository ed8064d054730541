// Owners of sd-bus's reference-counted handles (libsystemd): a bus closed
// after flushing, a match slot, a message, and an error's text. Plain value
// types; used on whichever queue owns the bus.
#pragma once

#include <systemd/sd-bus.h>

#include <memory>

namespace nerivane {

struct SdBusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct SdBusSlotReleaser {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
struct SdBusMessageReleaser {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct SdBusErrorFreer {
    void operator()(sd_bus_error* error) const { sd_bus_error_free(error); }
};
using BusHandle = std::unique_ptr<sd_bus, SdBusCloser>;
using SlotHandle = std::unique_ptr<sd_bus_slot, SdBusSlotReleaser>;
using MessageHandle = std::unique_ptr<sd_bus_message, SdBusMessageReleaser>;
// Frees an error that lives on the stack; the error itself is not deleted.
using ErrorOwner = std::unique_ptr<sd_bus_error, SdBusErrorFreer>;

}  // namespace nerivane
