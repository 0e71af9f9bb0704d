# What the built plug-in needs from the controller, checked against a baseline kept in the
# repository: the libraries it names (NEEDED) and, per library and version family (GLIBC_,
# GLIBCXX_, CXXABI_, GCC_ ...), the newest symbol version it requires. A library or a version
# family the baseline does not list, or a version newer than the listed one, fails: the .so would
# no longer load on every controller the baseline stands for. The only symbol it may define for
# the host's dynamic linker is get_providers.
#
# Baseline lines ('#' starts a comment):
#   needed  LIBRARY            e.g. needed libc.so.6
#   version LIBRARY VERSION    e.g. version libc.so.6 GLIBC_2.3.2
#
# cmake -DNM=nm -DREADELF=readelf -DPLUGIN=rxp517_t36b2.so -DBASELINE=file -P this-file
cmake_minimum_required(VERSION 3.16)
include("${CMAKE_CURRENT_LIST_DIR}/plugin_elf.cmake")

require_arguments(NM READELF PLUGIN BASELINE)

# Splits VERSION (GLIBC_2.3.2) into its family (GLIBC) and number (2.3.2); names without a number
# (GLIBC_PRIVATE) are their own family with an empty number.
function(split_version version family_var number_var)
    if(version MATCHES "^(.*)_([0-9]+(\\.[0-9]+)*)$")
        set(${family_var} "${CMAKE_MATCH_1}" PARENT_SCOPE)
        set(${number_var} "${CMAKE_MATCH_2}" PARENT_SCOPE)
    else()
        set(${family_var} "${version}" PARENT_SCOPE)
        set(${number_var} "" PARENT_SCOPE)
    endif()
endfunction()

# The baseline.
file(STRINGS "${BASELINE}" baseline_lines)
set(allowed_needed "")
set(allowed_families "")
foreach(line IN LISTS baseline_lines)
    string(REGEX REPLACE "#.*" "" line "${line}")
    string(STRIP "${line}" line)
    if(line STREQUAL "")
        continue()
    endif()
    string(REGEX REPLACE "[ \t]+" ";" fields "${line}")
    list(LENGTH fields count)
    list(GET fields 0 kind)
    if(kind STREQUAL "needed" AND count EQUAL 2)
        list(GET fields 1 library)
        list(APPEND allowed_needed "${library}")
    elseif(kind STREQUAL "version" AND count EQUAL 3)
        list(GET fields 1 library)
        list(GET fields 2 version)
        split_version("${version}" family number)
        list(APPEND allowed_families "${library}/${family}")
        set("newest_${library}/${family}" "${number}")
    else()
        message(FATAL_ERROR "${BASELINE}: cannot read the line '${line}'")
    endif()
endforeach()

set(failures "")
set(report "")

# Needed libraries.
elf_tool_lines(dynamic "${READELF}" -d "${PLUGIN}")
elf_dynamic_values(needed "${dynamic}" NEEDED)
foreach(library IN LISTS needed)
    string(APPEND report "  needed  ${library}\n")
    if(NOT library IN_LIST allowed_needed)
        string(APPEND failures "needs ${library}, which the baseline does not list\n")
    endif()
endforeach()
if(NOT needed)
    string(APPEND failures "no NEEDED entries found in '${READELF} -d' output\n")
endif()

# Symbol versions required, from the version needs section.
elf_tool_lines(version_lines "${READELF}" -V "${PLUGIN}")
elf_version_needs(needs "${version_lines}")
foreach(need IN LISTS needs)
    string(REPLACE " " ";" need "${need}")
    list(GET need 0 library)
    list(GET need 1 version)
    string(APPEND report "  version ${library} ${version}\n")
    split_version("${version}" family number)
    if(NOT "${library}/${family}" IN_LIST allowed_families)
        string(APPEND failures
            "needs ${version} from ${library}, a version the baseline does not list\n")
    elseif(number VERSION_GREATER "${newest_${library}/${family}}")
        string(APPEND failures "needs ${version} from ${library}, newer than the baseline's "
            "${family}_${newest_${library}/${family}}\n")
    endif()
endforeach()
if(NOT needs)
    string(APPEND failures "no version needs found in '${READELF} -V' output\n")
endif()

# Exports: get_providers only.
elf_tool_lines(defined "${NM}" -D --defined-only "${PLUGIN}")
elf_defined_names(defined_names "${defined}")
if(NOT defined_names STREQUAL "get_providers")
    string(APPEND failures "defines [${defined_names}] for the host, expected [get_providers]\n")
endif()

if(failures)
    message(FATAL_ERROR "${PLUGIN} against ${BASELINE}:\n${failures}found:\n${report}")
endif()
message(STATUS "${PLUGIN}: within ${BASELINE}\n${report}")
