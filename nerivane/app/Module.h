// Finds and loads one of the program's modules (nerivane-desktop.so,
// nerivane-metrics.so): beside the program first (a build folder), then in
// the installed library folder. A loaded module stays loaded until the
// process ends, as objects made by its code may live that long. Main thread.
#pragma once

#include <string>
#include <variant>

namespace nerivane {

class Module {
public:
    // The named entry point of the module file, as a pointer of type
    // EntryPoint, or why it cannot be had.
    template <typename EntryPoint>
    static std::variant<EntryPoint, std::string> entryPoint(const char* fileName, const char* name) {
        auto found = resolve(fileName, name);
        if (auto* why = std::get_if<std::string>(&found)) return std::move(*why);
        return reinterpret_cast<EntryPoint>(std::get<Address>(found));
    }

private:
    using Address = void (*)();
    static std::variant<Address, std::string> resolve(const char* fileName, const char* name);
};

}  // namespace nerivane
