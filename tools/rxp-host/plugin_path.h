// Where rxp-host finds the plug-in when no --plugin is given: installed with it, or built beside
// it in a build tree.
#ifndef RXP_TOOLS_RXP_HOST_PLUGIN_PATH_H
#define RXP_TOOLS_RXP_HOST_PLUGIN_PATH_H

#include <string>

namespace rxphost {

// For this program at <prefix>/bin/rxp-host, the first of these that exists:
//   <prefix>/lib/<multiarch>/rxp517-t36b2/rxp517_t36b2.so  the Debian package's private folder
//   <prefix>/lib/smd/plugins/rxp517_t36b2.so               a `cmake --install` of the build
//   rxp517_t36b2.so in the program's own folder            a build tree
// and when none does, the first, so that the error on loading names where it was expected.
std::string DefaultPluginPath();

}  // namespace rxphost

#endif  // RXP_TOOLS_RXP_HOST_PLUGIN_PATH_H
