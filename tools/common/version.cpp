#include "tools/common/version.h"

#include "rxp_version.h"

namespace rxp::tools {

const char* Version() {
    return RXP_VERSION;
}

std::string VersionLine(const std::string& program) {
    return program + " (rxp517_t36b2) " + RXP_VERSION;
}

}  // namespace rxp::tools
