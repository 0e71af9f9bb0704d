// Where rxp-host finds the plug-in when no --plugin is given: installed with it, or built beside
// it in a build tree.
#ifndef RXP_TOOLS_RXP_HOST_PLUGIN_PATH_H
#define RXP_TOOLS_RXP_HOST_PLUGIN_PATH_H

#include <filesystem>
#include <string>

namespace rxphost {

// The plug-in's file name, and its place in an installation relative to the programs' folder.
inline constexpr char kPluginFileName[] = "rxp517_t36b2.so";
inline constexpr char kInstalledPluginDir[] = "../lib/smd/plugins";

// For the program at PROGRAM (<prefix>/bin/rxp-host): <prefix>/lib/smd/plugins/rxp517_t36b2.so
// when it exists, else rxp517_t36b2.so in the program's own folder when that exists (a build
// tree), else the installed location, so that the error on loading names where it was expected.
std::filesystem::path DefaultPluginPath(const std::filesystem::path& program);

// The same for this running program (/proc/self/exe).
std::string DefaultPluginPath();

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_PLUGIN_PATH_H
