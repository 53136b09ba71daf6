# Runs kel on a script and compares its standard output with NAME.out beside it, and its
# exit status with the number after "exit status" in the script (0 when it names none).
#   cmake -DKEL=<kel program> -DSCRIPT=<NAME.kel> -P run_output_test.cmake
string(REGEX REPLACE "\\.kel$" ".out" expected_file ${SCRIPT})
file(READ ${expected_file} expected)
file(READ ${SCRIPT} text)
set(expected_status 0)
if(text MATCHES "exit status ([0-9]+)")
  set(expected_status ${CMAKE_MATCH_1})
endif()
execute_process(COMMAND ${KEL} ${SCRIPT} OUTPUT_VARIABLE output RESULT_VARIABLE status)
if(NOT output STREQUAL expected)
  message(FATAL_ERROR "standard output:\n${output}\nexpected:\n${expected}")
endif()
if(NOT status EQUAL expected_status)
  message(FATAL_ERROR "exit status ${status}, expected ${expected_status}")
endif()
