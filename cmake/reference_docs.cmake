# reference_docs.cmake: writes docs/commands.md from zor-host's command reference, or with CHECK=ON
# fails when the committed file and the reference disagree. Inputs: HOST (zor-host), DOC (the file).
execute_process(COMMAND ${HOST} --reference OUTPUT_VARIABLE reference RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "zor-host --reference failed (${status})")
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
