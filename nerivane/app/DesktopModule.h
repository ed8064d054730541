// The desktop layer's module and how to have it (Module finds and loads it).
// Main thread, before the application object exists.
#pragma once

#include <memory>
#include <string>
#include <variant>

#include "nerivane/app/Desktop.h"
#include "nerivane/app/Module.h"

namespace nerivane {

class DesktopModule {
public:
    static constexpr const char* fileName = "nerivane-desktop.so";
    // The name of the module's entry point, of type EntryPoint.
    static constexpr const char* entryPoint = "nerivane_make_desktop";
    using EntryPoint = std::unique_ptr<Desktop> (*)();

    // The desktop layer, or why it cannot be had.
    static std::variant<std::unique_ptr<Desktop>, std::string> load() {
        auto make = Module::entryPoint<EntryPoint>(fileName, entryPoint);
        if (auto* why = std::get_if<std::string>(&make)) return std::move(*why);
        return std::get<EntryPoint>(make)();
    }
};

}  // namespace nerivane
