# embed_text_files(<output.cpp> NAMESPACE <ns> FILES <path>:<symbol> ...)
# Generates, at build time, a source that defines each symbol as a
# std::string_view over the file's exact bytes.
set(_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/embed_text_run.cmake)

function(embed_text_files output)
  cmake_parse_arguments(ARG "" "NAMESPACE" "FILES" ${ARGN})
  set(inputs "")
  set(specs "")
  foreach(entry IN LISTS ARG_FILES)
    string(REPLACE ":" ";" parts ${entry})
    list(GET parts 0 path)
    list(APPEND inputs ${CMAKE_SOURCE_DIR}/${path})
    list(APPEND specs "${CMAKE_SOURCE_DIR}/${entry}")
  endforeach()
  string(REPLACE ";" "|" specs_arg "${specs}")
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${output} -DNAMESPACE=${ARG_NAMESPACE}
            "-DSPECS=${specs_arg}" -P ${_EMBED_SCRIPT}
    DEPENDS ${inputs} ${_EMBED_SCRIPT}
    COMMENT "Embedding web assets" VERBATIM)
endfunction()
