#include "nerivane/app/DesktopModule.h"

#include <QLibrary>
#include <filesystem>
#include <system_error>

namespace nerivane {

std::variant<std::unique_ptr<Desktop>, std::string> DesktopModule::load() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    // Never a folder relative to the working directory: a module there is anyone's.
    if (error || !program.is_absolute()) return "cannot tell where the program is (" + error.message() + ")";
    const std::filesystem::path programFolder = program.parent_path();
    // NERIVANE_DESKTOP_MODULE_DIR: the installed module's folder relative to the program's.
    const std::filesystem::path candidates[] = {programFolder / fileName,
                                                programFolder / NERIVANE_DESKTOP_MODULE_DIR / fileName};
    std::string why;
    for (const auto& candidate : candidates) {
        if (!std::filesystem::exists(candidate, error)) continue;
        // Every symbol resolved now: a module from another build fails here, not at its first call.
        QLibrary library(QString::fromStdString(candidate.lexically_normal().string()));
        library.setLoadHints(QLibrary::ResolveAllSymbolsHint);
        const auto make = reinterpret_cast<EntryPoint>(library.resolve(entryPoint));
        if (make != nullptr) return make();
        why = library.errorString().toStdString();
    }
    if (why.empty()) why = std::string(fileName) + " is not installed beside the program nor in its library folder";
    return why;
}

}  // namespace nerivane
