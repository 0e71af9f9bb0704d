# Reading a built plug-in with its target's binutils, for the scripts run with cmake -P that check
# it or describe it: the output lines of a tool, and from them the dynamic section's entries, the
# symbol versions it needs and the symbols it defines for the dynamic linker.
#
# include("${CMAKE_CURRENT_LIST_DIR}/.../cmake/plugin_elf.cmake")

# Ends the script unless every variable named (the script's -D arguments) is set and not empty.
function(require_arguments)
    foreach(var IN LISTS ARGN)
        if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
            message(FATAL_ERROR "${var} is not set")
        endif()
    endforeach()
endfunction()

# Sets OUT to the lines TOOL ARGS... prints; a tool that fails ends the script.
function(elf_tool_lines out tool)
    execute_process(COMMAND "${tool}" ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE rc
        ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        list(JOIN ARGN " " args)
        message(FATAL_ERROR "${tool} ${args} failed: ${err}")
    endif()
    string(REGEX MATCHALL "[^\n]+" lines "${text}")
    set(${out} "${lines}" PARENT_SCOPE)
endfunction()

# From `readelf -d` LINES, the values of the entries tagged TAG (NEEDED, RPATH, RUNPATH), in order.
function(elf_dynamic_values out lines tag)
    set(values "")
    foreach(line IN LISTS lines)
        if(line MATCHES "\\(${tag}\\)[^[]*\\[([^]]+)\\]")
            list(APPEND values "${CMAKE_MATCH_1}")
        endif()
    endforeach()
    set(${out} "${values}" PARENT_SCOPE)
endfunction()

# From `readelf -V` LINES, the version needs section: "LIBRARY VERSION" for every version needed,
# in the section's order.
function(elf_version_needs out lines)
    set(needs "")
    set(in_needs OFF)
    set(library "")
    foreach(line IN LISTS lines)
        if(line MATCHES "^Version needs section")
            set(in_needs ON)
        elseif(line MATCHES "^Version (definition|symbols) section")
            set(in_needs OFF)
        elseif(in_needs AND line MATCHES "File: ([^ ]+)")
            set(library "${CMAKE_MATCH_1}")
        elseif(in_needs AND line MATCHES "Name: ([^ ]+)")
            list(APPEND needs "${library} ${CMAKE_MATCH_1}")
        endif()
    endforeach()
    set(${out} "${needs}" PARENT_SCOPE)
endfunction()

# From `nm -D --defined-only` LINES, the names of the symbols.
function(elf_defined_names out lines)
    set(names "")
    foreach(line IN LISTS lines)
        string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" name "${line}")
        list(APPEND names "${name}")
    endforeach()
    set(${out} "${names}" PARENT_SCOPE)
endfunction()
