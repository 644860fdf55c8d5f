# Helpers for test and fuzz targets.
#
#   fcp_add_gtest(<name> SOURCES a.cpp ... [LIBS ...] [CHOOSE ...] [LABELS ...] [TIMEOUT s])
#     A GoogleTest executable, each test case registered with CTest. Label "threads" puts it in the
#     TSan stage as well. CHOOSE names the implementations of the seams it reaches (cmake/Seams.cmake).
#   fcp_add_fuzzer(<name> SOURCES a.cpp ... [LIBS ...] [CHOOSE ...] [SECONDS n] [ARGS ...])
#     A libFuzzer target (only in the linux-fuzz preset), run by CTest for a bounded time with label
#     "fuzz". Corpora are optional: a folder corpus/<name> beside the calling CMakeLists.txt is used
#     when present.
#   fcp_test_programs(<target>... [LABELS ...])
#     Programs that tests added with add_test run. Target fcp_test_programs builds every program a
#     CTest test runs (the gtest executables and these), so a stage that runs the tests builds no
#     more than they need; fcp_test_programs_<label> those of the tests labelled <label>.

add_custom_target(fcp_fuzzers)
if(FCP_TESTS)
  add_custom_target(fcp_test_programs)
endif()

function(fcp_test_programs)
  cmake_parse_arguments(P "" "" "LABELS" ${ARGN})
  if(NOT FCP_TESTS)
    return()
  endif()
  foreach(label "" ${P_LABELS})
    set(collector fcp_test_programs)
    if(label)
      set(collector fcp_test_programs_${label})
      if(NOT TARGET ${collector})
        add_custom_target(${collector})
      endif()
    endif()
    add_dependencies(${collector} ${P_UNPARSED_ARGUMENTS})
  endforeach()
endfunction()

function(fcp_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;CHOOSE;LABELS" ${ARGN})
  if(NOT FCP_TESTS)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  fcp_choose(${name} ${T_CHOOSE})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  # Labels only when there are some: an empty value would drop out of the list and shift the
  # properties after it.
  set(properties TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND properties LABELS ${T_LABELS})
  endif()
  gtest_discover_tests(${name} PROPERTIES ${properties} DISCOVERY_TIMEOUT 60)
  fcp_test_programs(${name} LABELS ${T_LABELS})
endfunction()

function(fcp_add_fuzzer name)
  cmake_parse_arguments(F "" "SECONDS" "SOURCES;LIBS;CHOOSE;ARGS" ${ARGN})
  if(NOT FCP_FUZZ)
    return()
  endif()
  if(NOT F_SECONDS)
    set(F_SECONDS 20)
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  fcp_choose(${name} ${F_CHOOSE})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  add_dependencies(fcp_fuzzers ${name})
  set(corpus_args)
  set(seed ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name})
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${name}.corpus)
  file(MAKE_DIRECTORY ${work})
  if(EXISTS ${seed})
    list(APPEND corpus_args ${work} ${seed})
  else()
    list(APPEND corpus_args ${work})
  endif()
  add_test(NAME ${name}
           COMMAND ${name} -max_total_time=${F_SECONDS} -rss_limit_mb=2048 -timeout=10
                   -print_final_stats=1 ${F_ARGS} ${corpus_args})
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT ${F_SECONDS}0)
endfunction()
