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

foreach(var NM READELF PLUGIN BASELINE)
    if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
        message(FATAL_ERROR "${var} is not set")
    endif()
endforeach()

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
execute_process(COMMAND ${READELF} -d ${PLUGIN} OUTPUT_VARIABLE dynamic RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${READELF} -d failed on ${PLUGIN}")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]*\\]" needed_lines "${dynamic}")
foreach(line IN LISTS needed_lines)
    string(REGEX REPLACE ".*\\[(.*)\\]" "\\1" library "${line}")
    string(APPEND report "  needed  ${library}\n")
    if(NOT library IN_LIST allowed_needed)
        string(APPEND failures "needs ${library}, which the baseline does not list\n")
    endif()
endforeach()
if(NOT needed_lines)
    string(APPEND failures "no NEEDED entries found in '${READELF} -d' output\n")
endif()

# Symbol versions required, from the version needs section.
execute_process(COMMAND ${READELF} -V ${PLUGIN} OUTPUT_VARIABLE versions RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${READELF} -V failed on ${PLUGIN}")
endif()
string(REGEX MATCHALL "[^\n]+" version_lines "${versions}")
set(in_needs OFF)
set(library "")
set(seen_versions 0)
foreach(line IN LISTS version_lines)
    if(line MATCHES "^Version needs section")
        set(in_needs ON)
    elseif(line MATCHES "^Version (symbols|definition) section")
        set(in_needs OFF)
    elseif(in_needs AND line MATCHES "File: ([^ ]+)")
        set(library "${CMAKE_MATCH_1}")
    elseif(in_needs AND line MATCHES "Name: ([^ ]+)")
        set(version "${CMAKE_MATCH_1}")
        math(EXPR seen_versions "${seen_versions} + 1")
        string(APPEND report "  version ${library} ${version}\n")
        split_version("${version}" family number)
        if(NOT "${library}/${family}" IN_LIST allowed_families)
            string(APPEND failures
                "needs ${version} from ${library}, a version the baseline does not list\n")
        elseif(number VERSION_GREATER "${newest_${library}/${family}}")
            string(APPEND failures "needs ${version} from ${library}, newer than the baseline's "
                "${family}_${newest_${library}/${family}}\n")
        endif()
    endif()
endforeach()
if(seen_versions EQUAL 0)
    string(APPEND failures "no version needs found in '${READELF} -V' output\n")
endif()

# Exports: get_providers only.
execute_process(COMMAND ${NM} -D --defined-only ${PLUGIN} OUTPUT_VARIABLE defined RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} -D --defined-only failed on ${PLUGIN}")
endif()
string(REGEX MATCHALL "[^\n]+" defined_lines "${defined}")
set(defined_names "")
foreach(line IN LISTS defined_lines)
    string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" name "${line}")
    list(APPEND defined_names "${name}")
endforeach()
if(NOT defined_names STREQUAL "get_providers")
    string(APPEND failures "defines [${defined_names}] for the host, expected [get_providers]\n")
endif()

if(failures)
    message(FATAL_ERROR "${PLUGIN} against ${BASELINE}:\n${failures}found:\n${report}")
endif()
message(STATUS "${PLUGIN}: within ${BASELINE}\n${report}")
