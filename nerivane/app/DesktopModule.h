// Finds and loads the desktop layer's module: beside the program first (a
// build folder), then in the installed library folder. The module stays
// loaded until the process ends, as Qt's objects from it may live that long.
// Main thread, before the application object exists.
#pragma once

#include <memory>
#include <string>
#include <variant>

#include "nerivane/app/Desktop.h"

namespace nerivane {

class DesktopModule {
public:
    static constexpr const char* fileName = "nerivane-desktop.so";
    // The name of the module's entry point, of type EntryPoint.
    static constexpr const char* entryPoint = "nerivane_make_desktop";
    using EntryPoint = std::unique_ptr<Desktop> (*)();

    // The desktop layer, or why it cannot be had.
    static std::variant<std::unique_ptr<Desktop>, std::string> load();
};

}  // namespace nerivane
