# docs/alarms.md is made by rxp-host from the plug-in and the alarm glosses:
#   cmake -DHOST=rxp-host -DPLUGIN=rxp517_t36b2.so -DPAGE=docs/alarms.md [-DCHECK=ON] -P alarms_page.cmake
# writes the page, or with CHECK=ON fails when the committed page is not what it makes.
execute_process(COMMAND ${HOST} --plugin ${PLUGIN} --list-alarms --format markdown
    OUTPUT_VARIABLE made ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "rxp-host --list-alarms failed (${result}): ${errors}")
endif()
if(CHECK)
    file(READ ${PAGE} committed)
    if(NOT committed STREQUAL made)
        message(FATAL_ERROR "${PAGE} is not what the plug-in and the glosses make now: "
            "cmake --build --preset default --target alarms-page, and commit the page")
    endif()
    message(STATUS "${PAGE} is up to date")
else()
    file(WRITE ${PAGE} "${made}")
endif()
