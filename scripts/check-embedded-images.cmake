# cmake -DEXE=<program> -DIMAGES=<file;file;...> -P scripts/check-embedded-images.cmake
# Fails unless the program holds every file's bytes unchanged.
file(READ ${EXE} program HEX)
foreach(image ${IMAGES})
  file(READ ${image} bytes HEX)
  string(LENGTH "${bytes}" length)
  string(FIND "${program}" "${bytes}" at)
  math(EXPR odd "${at} % 2")
  if(length EQUAL 0 OR at EQUAL -1 OR odd)
    message(FATAL_ERROR "${EXE} does not carry ${image}")
  endif()
  math(EXPR size "${length} / 2")
  message(STATUS "${EXE} carries ${image} (${size} bytes)")
endforeach()
