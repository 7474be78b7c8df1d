# SPDX-License-Identifier: MIT
# run(<command> <args>...): one step of a script test; stops the test with the step's output when
# it fails, and leaves its standard output in run_output.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " cmd)
    message(FATAL_ERROR "failed (${rc}): ${cmd}\n${out}${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()
