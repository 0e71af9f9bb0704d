#include "tools/rxp-host/plugin_path.h"

#include <system_error>

namespace rxphost {

namespace fs = std::filesystem;

fs::path DefaultPluginPath(const fs::path& program) {
    const fs::path folder = program.parent_path();
    const fs::path installed = (folder / kInstalledPluginDir / kPluginFileName).lexically_normal();
    const fs::path built = folder / kPluginFileName;
    std::error_code ec;
    if (fs::exists(installed, ec)) return installed;
    if (fs::exists(built, ec)) return built;
    return installed;
}

std::string DefaultPluginPath() {
    // The program's real file, whatever name or link it was started by.
    std::error_code ec;
    const fs::path program = fs::read_symlink("/proc/self/exe", ec);
    // Without /proc, dlopen searches the library path for the bare name.
    if (ec) return kPluginFileName;
    return DefaultPluginPath(program).string();
}

}  // namespace rxphost
