# Writes, beside the installed (stripped) plug-in, what goes with it to a controller:
#   VERSION                 the build's version, as the plug-in carries it
#   rxp517_t36b2.so.sha256  its SHA-256, for `sha256sum -c` on the controller
#   NEEDS.txt               what the controller must provide for it to load, from readelf
#
# cmake -DREADELF=mipsel-linux-gnu-readelf -DPLUGIN=.../rxp517_t36b2.so -DVERSION_FILE=version.txt
#       -DTRIPLET=mipsel-linux-gnu -P controller_notes.cmake
include("${CMAKE_CURRENT_LIST_DIR}/../cmake/plugin_elf.cmake")

require_arguments(READELF PLUGIN VERSION_FILE TRIPLET)

get_filename_component(dir "${PLUGIN}" DIRECTORY)
get_filename_component(name "${PLUGIN}" NAME)
file(STRINGS "${VERSION_FILE}" version LIMIT_COUNT 1)

function(readelf out)
    elf_tool_lines(lines "${READELF}" ${ARGN} "${PLUGIN}")
    set(${out} "${lines}" PARENT_SCOPE)
endfunction()

# The version inside the plug-in must be the one written beside it.
file(STRINGS "${PLUGIN}" carried REGEX "^rxp517_t36b2 version ")
if(NOT carried STREQUAL "rxp517_t36b2 version ${version}")
    message(FATAL_ERROR "${PLUGIN} carries [${carried}], expected version ${version}")
endif()

file(SHA256 "${PLUGIN}" sha256)
file(SIZE "${PLUGIN}" size)
file(WRITE "${dir}/VERSION" "${version}\n")
file(WRITE "${dir}/${name}.sha256" "${sha256}  ${name}\n")

set(notes "${name} ${version}, built for ${TRIPLET}: what the controller must provide.\n")
string(APPEND notes "Size ${size} bytes, stripped. SHA-256 ${sha256}.\n")

# CPU and ABI: the ELF header, and the MIPS ABI flags where the target has them.
string(APPEND notes "\nCPU and ABI (readelf -h, -A):\n")
readelf(header -h)
foreach(line IN LISTS header)
    if(line MATCHES "^ *(Class|Data|Machine|Flags): *(.*)$")
        string(APPEND notes "  ${CMAKE_MATCH_1}: ${CMAKE_MATCH_2}\n")
    endif()
endforeach()
readelf(arch -A)
foreach(line IN LISTS arch)
    if(line MATCHES "^ *(ISA|FP ABI|GPR size|CPR1 size): *(.*)$")
        string(APPEND notes "  ${CMAKE_MATCH_1}: ${CMAKE_MATCH_2}\n")
    endif()
endforeach()

# Libraries the dynamic linker must find, and no search path of our own.
string(APPEND notes "\nLibraries (readelf -d NEEDED), found on the controller's library path:\n")
readelf(dynamic -d)
elf_dynamic_values(needed "${dynamic}" NEEDED)
foreach(library IN LISTS needed)
    string(APPEND notes "  ${library}\n")
endforeach()
foreach(tag RPATH RUNPATH)
    elf_dynamic_values(paths "${dynamic}" ${tag})
    foreach(path IN LISTS paths)
        string(APPEND notes "  (${tag} ${path})\n")
    endforeach()
endforeach()

# Symbol versions each library must define, lowest to highest: a library older than the highest
# version named here refuses to load the plug-in.
string(APPEND notes "\nSymbol versions (readelf -V), each library must define all of them:\n")
readelf(versions -V)
elf_version_needs(needs "${versions}")
set(files "")
foreach(need IN LISTS needs)
    string(REPLACE " " ";" need "${need}")
    list(GET need 0 file)
    list(GET need 1 version)
    string(MAKE_C_IDENTIFIER "${file}" key)
    list(FIND files "${file}" at)
    if(at EQUAL -1)
        list(APPEND files "${file}")
        set(versions_${key} "")
    endif()
    list(APPEND versions_${key} "${version}")
endforeach()
list(SORT files)
foreach(file IN LISTS files)
    string(MAKE_C_IDENTIFIER "${file}" key)
    list(SORT versions_${key} COMPARE NATURAL)
    list(REMOVE_DUPLICATES versions_${key})
    list(JOIN versions_${key} " " joined)
    string(APPEND notes "  ${file}: ${joined}\n")
endforeach()

# Unversioned undefined symbols come from the host process: the framework's operations, and
# jsoncpp, which must be the host's own library.
readelf(symbols --dyn-syms -W)
set(framework "")
set(json_count 0)
foreach(line IN LISTS symbols)
    if(line MATCHES " GLOBAL +DEFAULT +UND +([^ @]+)$")
        set(symbol "${CMAKE_MATCH_1}")
        if(symbol MATCHES "^_Z[A-Z]*4Json")
            math(EXPR json_count "${json_count} + 1")
        else()
            list(APPEND framework "${symbol}")
        endif()
    endif()
endforeach()
list(LENGTH framework framework_count)
string(APPEND notes "\nFrom the host process (unversioned): ${json_count} jsoncpp symbols, and "
    "these ${framework_count} of the host framework:\n")
# Shown as C++ names when a c++filt is at hand (the cross binutils' or this machine's).
string(REGEX REPLACE "readelf$" "c++filt" cxxfilt "${READELF}")
if(NOT EXISTS "${cxxfilt}")
    find_program(cxxfilt c++filt)
endif()
list(JOIN framework "\n" framework_text)
if(cxxfilt)
    execute_process(COMMAND "${cxxfilt}" INPUT_FILE /dev/null OUTPUT_QUIET RESULT_VARIABLE rc)
    if(rc EQUAL 0)
        file(WRITE "${dir}/.symbols" "${framework_text}\n")
        execute_process(COMMAND "${cxxfilt}" INPUT_FILE "${dir}/.symbols"
            OUTPUT_VARIABLE framework_text OUTPUT_STRIP_TRAILING_WHITESPACE)
        file(REMOVE "${dir}/.symbols")
    endif()
endif()
string(REPLACE "\n" ";" framework "${framework_text}")
list(SORT framework)
foreach(symbol IN LISTS framework)
    string(APPEND notes "  ${symbol}\n")
endforeach()

string(APPEND notes "\nExported (readelf --dyn-syms, defined):\n")
foreach(line IN LISTS symbols)
    if(line MATCHES " GLOBAL +DEFAULT +[0-9]+ +([^ ]+)$")
        string(APPEND notes "  ${CMAKE_MATCH_1}\n")
    endif()
endforeach()

file(WRITE "${dir}/NEEDS.txt" "${notes}")
message(STATUS "Controller notes: ${dir}/NEEDS.txt, VERSION, ${name}.sha256")
