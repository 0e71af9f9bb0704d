# Cross-build for the controllers: 32-bit MIPS, little-endian, Linux with glibc.
#
# By default it uses Debian's cross compiler (g++-mipsel-linux-gnu, whose C and C++ runtime lives
# in /usr/mipsel-linux-gnu) and the mipsel library packages unpacked by scripts/sysroot-mipsel.sh.
# Programs built here (the unit tests) run under qemu-mipsel, so ctest runs them unchanged.
#
# Variables, given with -D on the first configure:
#   RXP_MIPSEL_TOOLCHAIN_PREFIX  prefix of the compiler and binutils, path allowed
#                                (default "mipsel-linux-gnu-", looked up on PATH), e.g.
#                                /opt/ctl/bin/mipsel-openwrt-linux-gnu-
#   RXP_MIPSEL_SYSROOT           the controller's own sysroot, handed to the compiler as
#                                --sysroot and to the emulator as its root (default: none, the
#                                compiler's built-in root, /usr/mipsel-linux-gnu for Debian's)
#   RXP_MIPSEL_PACKAGE_ROOT      folder holding the unpacked library packages (Boost, jsoncpp,
#                                GoogleTest); default <build>/sysroot. Ignored when absent. A
#                                list of folders is searched in its order (the old-ABI build
#                                puts its own jsoncpp and GoogleTest first); pkg-config sees the
#                                first one only.
#   RXP_MIPSEL_EMULATOR          the user-mode emulator (default qemu-mipsel)
#   RXP_MIPSEL_CPU               the emulated CPU model, for qemu's -cpu (default: qemu's own)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

# try_compile projects read this file again: hand them the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RXP_MIPSEL_TOOLCHAIN_PREFIX RXP_MIPSEL_SYSROOT
     RXP_MIPSEL_PACKAGE_ROOT RXP_MIPSEL_EMULATOR RXP_MIPSEL_CPU)

if(NOT DEFINED RXP_MIPSEL_TOOLCHAIN_PREFIX OR RXP_MIPSEL_TOOLCHAIN_PREFIX STREQUAL "")
    set(RXP_MIPSEL_TOOLCHAIN_PREFIX "mipsel-linux-gnu-")
endif()
if(NOT DEFINED RXP_MIPSEL_PACKAGE_ROOT)
    set(RXP_MIPSEL_PACKAGE_ROOT "${CMAKE_BINARY_DIR}/sysroot")
endif()
if(NOT DEFINED RXP_MIPSEL_EMULATOR OR RXP_MIPSEL_EMULATOR STREQUAL "")
    set(RXP_MIPSEL_EMULATOR qemu-mipsel)
endif()
set(RXP_MIPSEL_TOOLCHAIN_PREFIX "${RXP_MIPSEL_TOOLCHAIN_PREFIX}"
    CACHE STRING "Prefix of the mipsel compiler and binutils")
set(RXP_MIPSEL_SYSROOT "${RXP_MIPSEL_SYSROOT}" CACHE PATH "The controller's sysroot, if any")
set(RXP_MIPSEL_PACKAGE_ROOT "${RXP_MIPSEL_PACKAGE_ROOT}"
    CACHE STRING "Folders (a list) with the unpacked mipsel library packages")
set(RXP_MIPSEL_EMULATOR "${RXP_MIPSEL_EMULATOR}" CACHE STRING "User-mode emulator for mipsel")
set(RXP_MIPSEL_CPU "${RXP_MIPSEL_CPU}" CACHE STRING "CPU model the emulator presents")

set(CMAKE_C_COMPILER "${RXP_MIPSEL_TOOLCHAIN_PREFIX}gcc")
set(CMAKE_CXX_COMPILER "${RXP_MIPSEL_TOOLCHAIN_PREFIX}g++")
# binutils (ar, ranlib, strip, readelf, objdump) are found by CMake from the compiler's prefix.

if(RXP_MIPSEL_SYSROOT)
    set(CMAKE_SYSROOT "${RXP_MIPSEL_SYSROOT}")
endif()

# Libraries, headers and CMake package files come from the target's folders only; programs run
# at build time come from this machine.
set(CMAKE_FIND_ROOT_PATH "")
set(_rxp_package_roots "")
foreach(root IN LISTS RXP_MIPSEL_PACKAGE_ROOT)
    if(IS_DIRECTORY "${root}")
        list(APPEND _rxp_package_roots "${root}")
    endif()
endforeach()
list(APPEND CMAKE_FIND_ROOT_PATH ${_rxp_package_roots})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian's packages keep their libraries and package files in the multiarch folders.
if(NOT RXP_MIPSEL_SYSROOT OR IS_DIRECTORY "${RXP_MIPSEL_SYSROOT}/usr/lib/mipsel-linux-gnu")
    set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)
endif()

# pkg-config, where a package brings no CMake files: the target's .pc files, paths re-rooted.
if(_rxp_package_roots)
    list(GET _rxp_package_roots 0 _rxp_pc_root)
else()
    set(_rxp_pc_root "${RXP_MIPSEL_SYSROOT}")
endif()
if(_rxp_pc_root)
    set(ENV{PKG_CONFIG_SYSROOT_DIR} "${_rxp_pc_root}")
    set(_rxp_pc_dirs "")
    foreach(dir usr/lib/mipsel-linux-gnu/pkgconfig usr/lib/pkgconfig usr/share/pkgconfig)
        list(APPEND _rxp_pc_dirs "${_rxp_pc_root}/${dir}")
    endforeach()
    string(REPLACE ";" ":" _rxp_pc_dirs "${_rxp_pc_dirs}")
    set(ENV{PKG_CONFIG_LIBDIR} "${_rxp_pc_dirs}")
    unset(_rxp_pc_dirs)
endif()
unset(_rxp_pc_root)

# Running target programs: qemu-mipsel with the target's C and C++ runtime as its root (there is
# no binfmt handler, so every run names the emulator) and the unpacked libraries on the target's
# library path.
if(RXP_MIPSEL_SYSROOT)
    set(_rxp_qemu_root "${RXP_MIPSEL_SYSROOT}")
else()
    execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-sysroot
                    OUTPUT_VARIABLE _rxp_compiler_root OUTPUT_STRIP_TRAILING_WHITESPACE
                    ERROR_QUIET)
    if(_rxp_compiler_root AND NOT _rxp_compiler_root STREQUAL "/"
       AND IS_DIRECTORY "${_rxp_compiler_root}")
        set(_rxp_qemu_root "${_rxp_compiler_root}")
    else()
        # Debian's cross compilers report "/" as their root: their runtime sits here.
        set(_rxp_qemu_root "/usr/mipsel-linux-gnu")
    endif()
    unset(_rxp_compiler_root)
endif()
set(_rxp_library_path "")
foreach(root IN LISTS RXP_MIPSEL_PACKAGE_ROOT)
    foreach(dir lib/mipsel-linux-gnu usr/lib/mipsel-linux-gnu usr/lib)
        list(APPEND _rxp_library_path "${root}/${dir}")
    endforeach()
endforeach()
string(REPLACE ";" ":" _rxp_library_path "${_rxp_library_path}")
set(CMAKE_CROSSCOMPILING_EMULATOR "${RXP_MIPSEL_EMULATOR}" -L "${_rxp_qemu_root}")
if(RXP_MIPSEL_CPU)
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -cpu "${RXP_MIPSEL_CPU}")
endif()
if(_rxp_library_path)
    list(APPEND CMAKE_CROSSCOMPILING_EMULATOR -E "LD_LIBRARY_PATH=${_rxp_library_path}")
endif()
unset(_rxp_qemu_root)
unset(_rxp_library_path)
unset(_rxp_package_roots)
