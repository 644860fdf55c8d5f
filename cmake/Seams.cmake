# Seams in the build graph. Some APIs have more than one implementation in this tree: libusb-1.0 is
# the system's library in the products and the virtual workstation's in the tests; the camera and
# repair operations the dialog calls are the real layers in the tools and a fake in the app tests.
# Both implementations define the same symbols, so no link may carry two of them, and which one runs
# must not depend on the order of a link line.
#
#   fcp_seam(<seam> IMPLEMENTATIONS <target>...)
#     Declares the seam target <seam>, which a library that calls the API links. The first
#     implementation is the products' one; implementations may be defined after the seam.
#   fcp_choose(<target> <implementation>...)
#     The implementations in <target> (an executable or shared library), each of the seam that lists
#     it. Every executable that reaches a seam chooses; one that does not fails at generation with
#     "fcp_unchosen::<seam>_in_<target>". fcp_add_gtest and fcp_add_fuzzer take them as CHOOSE.
#   fcp_add_link_probes()
#     After every folder: one probe program per static library of the tree, linking all of its objects
#     and nothing but what the library declares (seams with their products' implementation). A library
#     that leaves a symbol for the final link to resolve fails to link there. Target fcp_link_probes,
#     part of the default build (the fuzz configuration builds its fuzzers only).

set_property(GLOBAL PROPERTY FCP_SEAMS "")

function(fcp_seam seam)
  cmake_parse_arguments(S "" "" "IMPLEMENTATIONS" ${ARGN})
  if(NOT S_IMPLEMENTATIONS)
    message(FATAL_ERROR "fcp_seam(${seam}): no implementations")
  endif()
  add_library(${seam} INTERFACE)
  set_property(TARGET ${seam} PROPERTY FCP_SEAM_IMPLEMENTATIONS ${S_IMPLEMENTATIONS})
  set_property(GLOBAL APPEND PROPERTY FCP_SEAMS ${seam})
  # Evaluated for each linking target: static libraries pass the choice on to their consumers.
  set(chosen "$<TARGET_PROPERTY:FCP_CHOSEN_${seam}>")
  set(links "$<IN_LIST:$<TARGET_PROPERTY:TYPE>,EXECUTABLE;SHARED_LIBRARY;MODULE_LIBRARY>")
  target_link_libraries(${seam} INTERFACE
    "$<${links}:$<IF:$<BOOL:${chosen}>,${chosen},fcp_unchosen::${seam}_in_$<TARGET_PROPERTY:NAME>>>")
endfunction()

function(fcp_choose target)
  get_property(seams GLOBAL PROPERTY FCP_SEAMS)
  foreach(implementation ${ARGN})
    set(found "")
    foreach(seam ${seams})
      get_property(implementations TARGET ${seam} PROPERTY FCP_SEAM_IMPLEMENTATIONS)
      if(implementation IN_LIST implementations)
        set(found ${seam})
      endif()
    endforeach()
    if(NOT found)
      message(FATAL_ERROR "fcp_choose(${target}): ${implementation} implements no seam (${seams})")
    endif()
    get_property(earlier TARGET ${target} PROPERTY FCP_CHOSEN_${found})
    if(earlier AND NOT earlier STREQUAL implementation)
      message(FATAL_ERROR "fcp_choose(${target}): ${found} is ${earlier} already, not ${implementation}")
    endif()
    set_property(TARGET ${target} PROPERTY FCP_CHOSEN_${found} ${implementation})
  endforeach()
endfunction()

function(_fcp_static_libraries out dir)
  set(found)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "STATIC_LIBRARY")
      list(APPEND found ${target})
    endif()
  endforeach()
  get_property(children DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(child ${children})
    _fcp_static_libraries(below ${child})
    list(APPEND found ${below})
  endforeach()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

function(fcp_add_link_probes)
  _fcp_static_libraries(libraries ${PROJECT_SOURCE_DIR})
  get_property(seams GLOBAL PROPERTY FCP_SEAMS)
  set(main ${CMAKE_BINARY_DIR}/link_probes/probe_main.cpp)
  file(CONFIGURE OUTPUT ${main} CONTENT "int main() { return 0; }\n")
  if(FCP_FUZZ)
    add_custom_target(fcp_link_probes)
  else()
    add_custom_target(fcp_link_probes ALL)
  endif()
  foreach(library ${libraries})
    set(probe fcp_link_probe_${library})
    add_executable(${probe} EXCLUDE_FROM_ALL ${main})
    set_target_properties(${probe} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/link_probes)
    target_link_libraries(${probe} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${library}>")
    foreach(seam ${seams})
      get_property(implementations TARGET ${seam} PROPERTY FCP_SEAM_IMPLEMENTATIONS)
      list(GET implementations 0 product)
      fcp_choose(${probe} ${product})
    endforeach()
    add_dependencies(fcp_link_probes ${probe})
  endforeach()
endfunction()
