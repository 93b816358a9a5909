# Types three texts with DISPLAY unset: all three fail, one message says why.
set(ENV{DISPLAY} "")
execute_process(COMMAND ${TYPEKEYS} "1234{TAB}" "5678{TAB}" "90{ENTER}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX MATCHALL "cannot be typed" said "${err}")
list(LENGTH said times)
if(rc EQUAL 0 OR NOT times EQUAL 1 OR NOT err MATCHES "no X display"
   OR NOT out MATCHES "0 of 3 texts typed")
  message(FATAL_ERROR "exit ${rc}, told ${times} times\nstdout: ${out}\nstderr: ${err}")
endif()
message(STATUS "stderr: ${err}")
