// Stands in for glibc's <sys/single_threaded.h> when the plug-in is compiled, so that the .so does
// not need glibc 2.32 from the controller.
//
// Since GCC 11, libstdc++'s reference counts (shared_ptr, and the copy-on-write std::string of the
// old string ABI) read glibc's `__libc_single_threaded` to skip the atomic instruction while a
// process has only one thread. That one reference makes the plug-in need GLIBC_2.32. The host runs
// its devices on several threads, so the atomic path is the one taken there anyway: here the flag
// is the constant "the process may be threaded", which keeps every count atomic, the same as
// libstdc++ does without glibc's flag on a glibc with threads in libc (2.34 and later, which
// Debian's toolchains build against). Nothing the plug-in does changes; only the symbol goes away.
//
// libstdc++'s <ext/atomicity.h> is the only reader of this header.
#ifndef RXP_COMPAT_SYS_SINGLE_THREADED_H
#define RXP_COMPAT_SYS_SINGLE_THREADED_H

static const char __libc_single_threaded = 0;

#endif
