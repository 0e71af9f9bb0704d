// The build's version as the tools show it with --version.
#ifndef RXP_TOOLS_COMMON_VERSION_H
#define RXP_TOOLS_COMMON_VERSION_H

#include <string>

namespace rxp::tools {

// The build's version: the project version and, built from a git checkout, its commit
// ("0.1.0+g38ca8b4"). The plug-in built alongside carries the same text.
const char* Version();

// The --version line: "rxp-host (rxp517_t36b2) 0.1.0+g38ca8b4".
std::string VersionLine(const std::string& program);

}  // namespace rxp::tools

#endif  // RXP_TOOLS_COMMON_VERSION_H
