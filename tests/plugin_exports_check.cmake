# What the built plug-in shows the host's dynamic linker: one defined entry, get_providers, under
# its plain name; every framework operation undefined, to be resolved from the host process; no
# trace of the stand-in runtime; virtual tables of the sizes the host's declarations give; and the
# build's version as text in its read-only data, for `strings rxp517_t36b2.so`.
#
# cmake -DNM=nm -DOBJDUMP=objdump -DREADELF=readelf -DPLUGIN=rxp517_t36b2.so -DPOINTER_SIZE=8
#       -DVERSION_FILE=version.txt -P this-file
include("${CMAKE_CURRENT_LIST_DIR}/../cmake/plugin_elf.cmake")

require_arguments(NM OBJDUMP READELF PLUGIN POINTER_SIZE VERSION_FILE)

set(failures "")

elf_tool_lines(defined "${NM}" -D --defined-only "${PLUGIN}")
elf_defined_names(defined_names "${defined}")
if(NOT defined_names STREQUAL "get_providers")
    string(APPEND failures "defined dynamic symbols are [${defined_names}], expected [get_providers]\n")
endif()

execute_process(COMMAND ${NM} -D -C --undefined-only ${PLUGIN}
    OUTPUT_VARIABLE undefined RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${NM} -D -C --undefined-only failed on ${PLUGIN}")
endif()
set(framework_operations
    "SMDSPDevice::SMDSPDevice()"
    "SMDVDevice::SendSP(" "SMDVDevice::SaveDeviceHistory(" "SMDVDevice::CheckAOReport("
    "SMDVDevice::CheckThreshold(" "SMDVDevice::DoBatchCheckThreshold("
    "SMDVDevice::CheckThresholdBool(" "SMDVDevice::InitSetting(" "SMDVDevice::InitV("
    "SMDVDevice::IsSupportDevice(" "SMDVDevice::SendDelayData(" "SMDVDevice::SendDoData("
    "SMDVDevice::ReadDi(" "SMDVDevice::ReadAi(" "SMDVDevice::Get_SP_Value("
    "SMDVDevice::DeviceIoControl("
    "SMDSPDevice::Reset(" "SMDSPDevice::Init(" "SMDSPDevice::RefreshStatus("
    "SMDSPDevice::process(" "SMDSPDevice::IsProcessing(" "SMDSPDevice::IsStalled("
    "SMDSPDevice::SendData(" "SMDSPDevice::SendParityData(" "SMDSPDevice::OpenPort("
    "SMDSPDevice::ClosePort("
    "get_ttime(")
foreach(op IN LISTS framework_operations)
    string(FIND "${undefined}" " U ${op}" at)
    if(at EQUAL -1)
        string(APPEND failures "framework operation ${op} is not an undefined symbol\n")
    endif()
endforeach()

execute_process(COMMAND ${NM} -D -C ${PLUGIN} OUTPUT_VARIABLE all_dynamic)
if(all_dynamic MATCHES "smdhost")
    string(APPEND failures "the stand-in runtime's own symbols appear in the plug-in\n")
endif()
execute_process(COMMAND ${OBJDUMP} -p ${PLUGIN} OUTPUT_VARIABLE headers)
if(headers MATCHES "NEEDED +libsmdhost")
    string(APPEND failures "the plug-in names the stand-in runtime as a needed library\n")
endif()

# Virtual table sizes: offset to top, type information, then the slots. The device has the
# host's 32 slots (the destructor counts twice), the provider its destructor twice and create.
execute_process(COMMAND ${NM} -S --defined-only ${PLUGIN} OUTPUT_VARIABLE symbols)
function(check_table mangled slots)
    math(EXPR expected "(2 + ${slots}) * ${POINTER_SIZE}")
    if(NOT symbols MATCHES "[0-9a-fA-F]+ ([0-9a-fA-F]+) [dDrRvV] ${mangled}\n")
        set(failures "${failures}virtual table ${mangled} not found in the symbol table\n"
            PARENT_SCOPE)
        return()
    endif()
    math(EXPR size "0x${CMAKE_MATCH_1}" OUTPUT_FORMAT DECIMAL)
    if(NOT size EQUAL expected)
        set(failures "${failures}virtual table ${mangled} is ${size} bytes, expected ${expected}\n"
            PARENT_SCOPE)
    endif()
endfunction()
check_table(_ZTV12RXP517_T36B2 32)
check_table(_ZTV20RXP517_T36B2Provider 3)

# Kept through --gc-sections without being exported: a string in .rodata.
file(STRINGS "${VERSION_FILE}" version LIMIT_COUNT 1)
execute_process(COMMAND ${READELF} -p .rodata ${PLUGIN} OUTPUT_VARIABLE rodata RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${READELF} -p .rodata failed on ${PLUGIN}")
endif()
string(FIND "${rodata}" "  rxp517_t36b2 version ${version}\n" at)
if(at EQUAL -1)
    string(APPEND failures "the read-only data lacks \"rxp517_t36b2 version ${version}\"\n")
endif()

if(failures)
    message(FATAL_ERROR "${PLUGIN}:\n${failures}")
endif()
message(STATUS "${PLUGIN}: exports get_providers only; framework operations resolved from the "
    "host; version ${version}")
