#include "nerivane/app/Module.h"

#include <QLibrary>
#include <filesystem>
#include <system_error>

namespace nerivane {

std::variant<Module::Address, std::string> Module::resolve(const char* fileName, const char* name) {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    // Never a folder relative to the working directory: a module there is anyone's.
    if (error || !program.is_absolute()) return "cannot tell where the program is (" + error.message() + ")";
    const std::filesystem::path programFolder = program.parent_path();
    // NERIVANE_MODULE_DIR: the installed modules' folder relative to the program's.
    const std::filesystem::path candidates[] = {programFolder / fileName,
                                                programFolder / NERIVANE_MODULE_DIR / fileName};
    std::string why;
    for (const auto& candidate : candidates) {
        if (!std::filesystem::exists(candidate, error)) continue;
        // Every symbol resolved now: a module from another build fails here, not at its first call.
        QLibrary library(QString::fromStdString(candidate.lexically_normal().string()));
        library.setLoadHints(QLibrary::ResolveAllSymbolsHint);
        if (const auto address = library.resolve(name)) return address;
        why = library.errorString().toStdString();
    }
    if (why.empty()) why = std::string(fileName) + " is not installed beside the program nor in its library folder";
    return why;
}

}  // namespace nerivane
