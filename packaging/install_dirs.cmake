# Where an installation keeps what is private to the bench tools: libsmdhost.so.0 (the stand-in
# host runtime, linked by rxp-host only) and, in the Debian package, the plug-in. Debian's place
# for a package's private libraries: /usr/lib/<multiarch>/<package>, found by the programs'
# RUNPATH ($ORIGIN/../<this>), so no ldconfig and no public library.
include(GNUInstallDirs)
set(RXP_PRIVATE_LIBDIR "${CMAKE_INSTALL_LIBDIR}/rxp517-t36b2")
