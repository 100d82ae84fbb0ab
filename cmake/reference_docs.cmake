# reference_docs.cmake: writes docs/commands.md from zor-host's command reference (or, with
# OPTION=--language-reference, docs/builtins.md from its table of built-ins and keywords), or with
# CHECK=ON fails when the committed file and the reference disagree. Inputs: HOST (zor-host), DOC (the
# file), OPTION (default --reference).
if(NOT OPTION)
  set(OPTION --reference)
endif()
execute_process(COMMAND ${HOST} ${OPTION} OUTPUT_VARIABLE reference RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "zor-host ${OPTION} failed (${status})")
endif()
if(NOT CHECK)
  file(WRITE ${DOC} "${reference}")
  return()
endif()
file(READ ${DOC} committed)
if(NOT committed STREQUAL reference)
  file(WRITE ${DOC}.new "${reference}")
  message(FATAL_ERROR "${DOC} differs from the command reference (the reference's version is in "
                      "${DOC}.new): `cmake --build BUILD --target reference-docs` rewrites it")
endif()
