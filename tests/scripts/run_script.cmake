# run_script.cmake: runs one script test (see CMakeLists.txt), or with REBUILD=ON rewrites its
# expected files. Inputs: HOST (zor-host), FOLDER (tests/scripts), NAME (the script without .zor).
execute_process(
  COMMAND ${HOST} ${NAME}.zor
  WORKING_DIRECTORY ${FOLDER}
  INPUT_FILE /dev/null
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err
  RESULT_VARIABLE status)

set(base ${FOLDER}/${NAME})
if(REBUILD)
  file(WRITE ${base}.out "${out}")
  if(err STREQUAL "")
    file(REMOVE ${base}.err)
  else()
    file(WRITE ${base}.err "${err}")
  endif()
  if(status STREQUAL "0")
    file(REMOVE ${base}.status)
  else()
    file(WRITE ${base}.status "${status}\n")
  endif()
  message(STATUS "${NAME}: expectations rewritten (exit status ${status})")
  return()
endif()

set(failed OFF)
file(READ ${base}.out expected_out)
if(NOT out STREQUAL expected_out)
  message("${NAME}: standard output differs\n--- expected\n${expected_out}--- got\n${out}---")
  set(failed ON)
endif()
set(expected_err "")
if(EXISTS ${base}.err)
  file(READ ${base}.err expected_err)
endif()
if(NOT err STREQUAL expected_err)
  message("${NAME}: standard error differs\n--- expected\n${expected_err}--- got\n${err}---")
  set(failed ON)
endif()
set(expected_status 0)
if(EXISTS ${base}.status)
  file(STRINGS ${base}.status expected_status LIMIT_COUNT 1)
endif()
if(NOT status STREQUAL expected_status)
  message("${NAME}: exit status ${status}, expected ${expected_status}")
  set(failed ON)
endif()
if(failed)
  message(FATAL_ERROR "${NAME}: failed")
endif()
