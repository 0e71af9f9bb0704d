#include "tools/rxp-host/plugin_path.h"

#include <filesystem>
#include <system_error>

#ifndef RXP_PRIVATE_LIBDIR
#error "RXP_PRIVATE_LIBDIR: the installed private library folder, relative to the prefix"
#endif

namespace rxphost {

namespace fs = std::filesystem;

namespace {

const char kPluginFileName[] = "rxp517_t36b2.so";
// The plug-in's folders in an installation, from the programs' folder: the private library
// folder (the Debian package puts the plug-in beside libsmdhost.so.0), then the folder the
// build's own install rule uses.
const char kPrivateDir[] = "../" RXP_PRIVATE_LIBDIR;
const char kInstalledPluginDir[] = "../lib/smd/plugins";

}  // namespace

std::string DefaultPluginPath() {
    // The program's real file, whatever name or link it was started by.
    std::error_code ec;
    const fs::path program = fs::read_symlink("/proc/self/exe", ec);
    // Without /proc, dlopen searches the library path for the bare name.
    if (ec) return kPluginFileName;

    const fs::path folder = program.parent_path();
    const fs::path packaged = (folder / kPrivateDir / kPluginFileName).lexically_normal();
    const fs::path installed = (folder / kInstalledPluginDir / kPluginFileName).lexically_normal();
    const fs::path built = folder / kPluginFileName;
    for (const fs::path& candidate : {packaged, installed, built}) {
        if (fs::exists(candidate, ec)) return candidate.string();
    }
    return packaged.string();
}

}  // namespace rxphost
