# Configures and builds the fixture in seams/ once as it should be and once for each way of breaking
# the rules of cmake/Seams.cmake; each broken one must fail, and say why.
#   cmake -DFIXTURE=<dir> -DWORK=<dir> -DGENERATOR=<generator> -P seams_test.cmake
function(run_case case expect_step expect_text)
  set(dir ${WORK}/${case})
  file(REMOVE_RECURSE ${dir})
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${FIXTURE} -B ${dir} -G ${GENERATOR} -DCASE=${case}
                  RESULT_VARIABLE configured OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(step configure)
  if(configured EQUAL 0)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${dir}
                    RESULT_VARIABLE built OUTPUT_VARIABLE out ERROR_VARIABLE out)
    set(step build)
    if(built EQUAL 0)
      set(step none)
    endif()
  endif()
  if(NOT step STREQUAL expect_step OR (expect_text AND NOT out MATCHES "${expect_text}"))
    message(FATAL_ERROR "case ${case}: failed at ${step}, expected ${expect_step} with '${expect_text}':\n${out}")
  endif()
  message(STATUS "case ${case}: ${step} as expected")
endfunction()

function(expect_output program expected)
  execute_process(COMMAND ${WORK}/good/${program} OUTPUT_VARIABLE out OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT out STREQUAL expected)
    message(FATAL_ERROR "${program} printed '${out}', expected '${expected}'")
  endif()
endfunction()

# Each program runs the implementation it chose, and the probes of every library link.
run_case(good none "")
expect_output(real_program 42)
expect_output(fake_program 7)
if(NOT EXISTS ${WORK}/good/link_probes/fcp_link_probe_asker AND NOT EXISTS ${WORK}/good/link_probes/fcp_link_probe_asker.exe)
  message(FATAL_ERROR "no link probe for the library asker")
endif()

run_case(unchosen configure "fcp_unchosen::answer_in_forgetful_program")
run_case(no_implementation configure "asker implements no seam")
run_case(two_choices configure "answer is answer_real already")
run_case(leaves_a_symbol build "fcp_link_probe_careless_asker")
