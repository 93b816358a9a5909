# A Wayland session whose compositor cannot be reached for a virtual keyboard
# (and no X display): the user is told once that only X applications can be
# typed into, and why nothing at all can be typed here.
set(ENV{DISPLAY} "")
set(ENV{WAYLAND_DISPLAY} "lumbra-no-such-compositor")
execute_process(COMMAND ${TYPEKEYS} "1234{TAB}" "5678{TAB}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX MATCHALL "XWayland" noticed "${err}")
list(LENGTH noticed times)
if(rc EQUAL 0 OR NOT times EQUAL 1 OR NOT err MATCHES "no X display"
   OR NOT out MATCHES "0 of 2 texts typed")
  message(FATAL_ERROR "exit ${rc}, noticed ${times} times\nstdout: ${out}\nstderr: ${err}")
endif()
