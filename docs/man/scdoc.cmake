# Runs scdoc on one page (scdoc reads standard input only) and fails on its complaints, which
# name the line of the source.
#   cmake -DSCDOC=scdoc -DIN=page.1.scd -DOUT=page.1 -P scdoc.cmake
execute_process(COMMAND ${SCDOC}
    INPUT_FILE ${IN} OUTPUT_FILE ${OUT}.new ERROR_VARIABLE complaint RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT complaint STREQUAL "")
    file(REMOVE ${OUT}.new)
    message(FATAL_ERROR "scdoc ${IN}: ${complaint}")
endif()
file(RENAME ${OUT}.new ${OUT})
