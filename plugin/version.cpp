// The build's version inside the plug-in, as plain text in its read-only data, so that anyone can
// tell which build sits on a controller:
//   strings rxp517_t36b2.so | grep 'rxp517_t36b2 version'
// No code reads it and it is not exported: the link keeps it by naming it with -u (see
// plugin/CMakeLists.txt), which --gc-sections honours, while the export list keeps it local.
#include "rxp_version.h"

extern "C" {
extern const char rxp517_t36b2_version[];
const char rxp517_t36b2_version[] = "rxp517_t36b2 version " RXP_VERSION;
}
