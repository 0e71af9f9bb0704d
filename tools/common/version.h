// The build's version as the tools show it with --version.
#ifndef RXP_TOOLS_COMMON_VERSION_H
#define RXP_TOOLS_COMMON_VERSION_H

#include <string>

namespace rxp::tools {

// The --version line: "rxp-host (rxp517_t36b2) 1.0.0+g38ca8b4", the build's version being the
// project version and, built from a git checkout, its commit. The plug-in built alongside
// carries the same version.
std::string VersionLine(const std::string& program);

}  // namespace rxp::tools

#endif  // RXP_TOOLS_COMMON_VERSION_H
