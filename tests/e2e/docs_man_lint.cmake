# Fails when mandoc finds anything to say about the manual page, down to style.
# Run as: cmake -DMANDOC=... -DPAGE=... -P docs_man_lint.cmake
execute_process(COMMAND "${MANDOC}" -T lint -W style "${PAGE}"
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0 OR NOT out STREQUAL "")
  message(FATAL_ERROR "mandoc -T lint -W style:\n${out}")
endif()
