#include "NerivaneKit/path/MeteredWatch.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "NerivaneKit/platform/DescriptorSource.h"
#include "NerivaneKit/platform/SdBusHandles.h"

namespace nerivane {

namespace {

constexpr const char* managerName = "org.freedesktop.NetworkManager";
constexpr const char* managerPath = "/org/freedesktop/NetworkManager";
// Bounded so that a hung bus cannot hold the first path back for long.
constexpr std::uint64_t callTimeoutMicroseconds = 1'000'000;

}  // namespace

// The bus side. Everything here runs on the private queue: it owns the
// connection, the two signal matches and the readiness source on (a copy
// of) the connection's descriptor.
struct MeteredWatch::Bus {
    Bus(SerialQueue& busQueue, std::function<void(bool)> report) : busQueue(busQueue), report(std::move(report)) {}

    SerialQueue& busQueue;
    std::function<void(bool)> report;  // hands a value to the owner's queue
    BusHandle bus;
    SlotHandle propertiesMatch, ownerMatch;
    std::unique_ptr<DescriptorSource> readable;
    bool refreshWanted = false;
    std::optional<bool> lastValue;

    void open(const std::optional<std::string>& address) {
        sd_bus* raw = nullptr;
        int result;
        if (address) {
            result = sd_bus_new(&raw);
            if (result >= 0) {
                bus.reset(raw);
                result = sd_bus_set_address(raw, address->c_str());
                if (result >= 0) result = sd_bus_set_bus_client(raw, 1);
                if (result >= 0) result = sd_bus_start(raw);
            }
        } else {
            result = sd_bus_open_system(&raw);
            if (result >= 0) bus.reset(raw);
        }
        if (result < 0) {
            bus.reset();
            deliver(false);
            return;
        }

        sd_bus_slot* slot = nullptr;
        const std::string properties = std::string("type='signal',sender='") + managerName + "',path='" + managerPath +
                                       "',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'";
        if (sd_bus_add_match(bus.get(), &slot, properties.c_str(), &Bus::propertiesChanged, this) >= 0)
            propertiesMatch.reset(slot);
        // NetworkManager starting or going away changes the answer too.
        const std::string owner = std::string("type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
                                              "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='") +
                                  managerName + "'";
        slot = nullptr;
        if (sd_bus_add_match(bus.get(), &slot, owner.c_str(), &Bus::ownerChanged, this) >= 0) ownerMatch.reset(slot);

        // The source owns and closes its descriptor; the connection keeps its own.
        const int fd = sd_bus_get_fd(bus.get());
        const int copy = fd >= 0 ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
        if (copy >= 0)
            readable = std::make_unique<DescriptorSource>(busQueue, UniqueFd(copy), DescriptorSource::Readiness::read,
                                                          [this] { handleReadable(); });
        refreshWanted = true;
        process();
    }

    void close() {
        readable.reset();
        propertiesMatch.reset();
        ownerMatch.reset();
        bus.reset();
    }

    void handleReadable() { process(); }

    // Handles what the connection has read, then answers wanted refreshes.
    // Blocking calls may queue further messages, hence the loop.
    void process() {
        while (bus) {
            int result;
            while ((result = sd_bus_process(bus.get(), nullptr)) > 0) {
            }
            if (result < 0) {
                // The bus went away: nothing can tell us about metering now.
                close();
                deliver(false);
                return;
            }
            if (!refreshWanted) return;
            refreshWanted = false;
            deliver(readMetered());
        }
    }

    bool readMetered() {
        sd_bus_message* raw = nullptr;
        if (sd_bus_message_new_method_call(bus.get(), &raw, managerName, managerPath, "org.freedesktop.DBus.Properties",
                                           "Get") < 0)
            return false;
        MessageHandle call(raw);
        // Asking must not start NetworkManager on a system that does not use it.
        sd_bus_message_set_auto_start(call.get(), 0);
        if (sd_bus_message_append(call.get(), "ss", managerName, "Metered") < 0) return false;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        ErrorOwner errorOwner(&error);
        raw = nullptr;
        if (sd_bus_call(bus.get(), call.get(), callTimeoutMicroseconds, &error, &raw) < 0) return false;
        MessageHandle reply(raw);
        std::uint32_t metered = 0;
        if (sd_bus_message_read(reply.get(), "v", "u", &metered) < 0) return false;
        return MeteredWatch::isExpensive(metered);
    }

    void deliver(bool value) {
        if (lastValue == value) return;
        lastValue = value;
        report(value);
    }

    static int propertiesChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Bus*>(userdata);
        const char* interface = nullptr;
        if (sd_bus_message_read(message, "s", &interface) < 0) return 0;
        if (interface == nullptr || std::strcmp(interface, managerName) != 0) return 0;
        // Changed values (a{sv}), then invalidated names (as).
        if (sd_bus_message_enter_container(message, 'a', "{sv}") < 0) return 0;
        while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
            const char* name = nullptr;
            if (sd_bus_message_read(message, "s", &name) < 0) return 0;
            if (name != nullptr && std::strcmp(name, "Metered") == 0) self->refreshWanted = true;
            if (sd_bus_message_skip(message, "v") < 0) return 0;
            if (sd_bus_message_exit_container(message) < 0) return 0;
        }
        if (sd_bus_message_exit_container(message) < 0) return 0;
        char** invalidated = nullptr;
        if (sd_bus_message_read_strv(message, &invalidated) >= 0 && invalidated != nullptr) {
            for (char** name = invalidated; *name != nullptr; ++name) {
                if (std::strcmp(*name, "Metered") == 0) self->refreshWanted = true;
                std::free(*name);
            }
            std::free(invalidated);
        }
        return 0;
    }

    static int ownerChanged(sd_bus_message*, void* userdata, sd_bus_error*) {
        static_cast<Bus*>(userdata)->refreshWanted = true;
        return 0;
    }
};

MeteredWatch::MeteredWatch(SerialQueue& queue, std::function<void(bool)> onValue,
                           std::optional<std::string> busAddress)
    : busQueue_(queue.label() + ".metered"), alive_(std::make_shared<bool>(true)) {
    std::weak_ptr<bool> alive = alive_;
    auto report = [&queue, alive, onValue = std::move(onValue)](bool value) {
        queue.async([alive, onValue, value] {
            if (alive.lock()) onValue(value);
        });
    };
    bus_ = std::make_unique<Bus>(busQueue_, std::move(report));
    busQueue_.async([bus = bus_.get(), address = std::move(busAddress)] { bus->open(address); });
}

MeteredWatch::~MeteredWatch() {
    alive_.reset();
    busQueue_.sync([this] {
        bus_->close();
        bus_.reset();
    });
}

}  // namespace nerivane
