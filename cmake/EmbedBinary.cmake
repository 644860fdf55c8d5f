# Binary files as data of a program.
#
#   fcp_embed_binary(<output.cpp> SYMBOL <name> INPUT <file> [NAMESPACE <ns>] [DEPENDS <targets or files>])
#     Generates a source file defining `extern const unsigned char <name>[]` and
#     `extern const size_t <name>Size` (in namespace <ns>) with the bytes the file holds at build time.
set(FCP_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/embed_binary_script.cmake)

function(fcp_embed_binary output)
  cmake_parse_arguments(E "" "SYMBOL;INPUT;NAMESPACE" "DEPENDS" ${ARGN})
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${E_INPUT} -DOUTPUT=${output} -DSYMBOL=${E_SYMBOL} -DNAMESPACE=${E_NAMESPACE}
            -P ${FCP_EMBED_SCRIPT}
    DEPENDS ${E_INPUT} ${E_DEPENDS} ${FCP_EMBED_SCRIPT}
    COMMENT "Embedding ${E_INPUT}"
    VERBATIM)
endfunction()
