#include "tools/rxp-host/plugin_path.h"

#include <filesystem>
#include <system_error>

namespace rxphost {

namespace fs = std::filesystem;

namespace {

const char kPluginFileName[] = "rxp517_t36b2.so";
// The plug-in's folder in an installation, from the programs' folder.
const char kInstalledPluginDir[] = "../lib/smd/plugins";

}  // namespace

std::string DefaultPluginPath() {
    // The program's real file, whatever name or link it was started by.
    std::error_code ec;
    const fs::path program = fs::read_symlink("/proc/self/exe", ec);
    // Without /proc, dlopen searches the library path for the bare name.
    if (ec) return kPluginFileName;

    const fs::path folder = program.parent_path();
    const fs::path installed = (folder / kInstalledPluginDir / kPluginFileName).lexically_normal();
    const fs::path built = folder / kPluginFileName;
    if (fs::exists(installed, ec)) return installed.string();
    if (fs::exists(built, ec)) return built.string();
    return installed.string();
}

}  // namespace rxphost
