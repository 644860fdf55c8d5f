# cmake/check_layers.cmake on this checkout, which must keep its rules, and on small trees made here
# that keep them or break one each; each break must fail, naming the file, its line and the rule.
#   cmake -DCHECK=<check_layers.cmake> -DROOT=<checkout> -DWORK=<dir> -P layers_test.cmake

function(check root expect_ok expect_text)
  execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${root} -P ${CHECK}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(expect_ok AND NOT result EQUAL 0)
    message(FATAL_ERROR "${root}: failed, expected to pass:\n${out}")
  endif()
  if(NOT expect_ok AND (result EQUAL 0 OR NOT out MATCHES "${expect_text}"))
    message(FATAL_ERROR "${root}: exit ${result}, expected a failure with '${expect_text}':\n${out}")
  endif()
  message(STATUS "${root}: as expected")
endfunction()

# A tree of the project's shape: each header includes nothing; `extra` is "<file>|<line>" pairs.
function(make_tree name)
  set(dir ${WORK}/${name})
  file(REMOVE_RECURSE ${dir})
  foreach(file src/text/guid.h src/os/port.h src/os/linux/stderr_notices.h src/uvc/uvc.h src/uvc/vcmd.h
               src/passthrough/kvxupx.h src/driver/kvxupx_ioctl.h src/driver/kernel_port.h src/dfu/dfu.h
               src/repair/fix_core_power.h src/ui/cwnd.h src/app/check_worker.h sim/chip.h)
    file(WRITE ${dir}/${file} "#pragma once\n")
  endforeach()
  foreach(pair ${ARGN})
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 file)
    list(GET pair 1 line)
    file(APPEND ${dir}/${file} "// a line before\n${line}\n")
  endforeach()
endfunction()

check(${ROOT} TRUE "")

# Arrows the rules allow: down the layers, the driver's exchange definitions, the seam's headers,
# an entry point choosing an adapter, a file beside its own, the simulation using anything.
make_tree(keeps
  "src/os/port.h|#include \"text/guid.h\""
  "src/dfu/dfu.h|#include \"passthrough/kvxupx.h\""
  "src/passthrough/kvxupx.h|#include \"driver/kvxupx_ioctl.h\""
  "src/app/check_worker.h|#include \"uvc/uvc.h\""
  "src/app/main_linux.cpp|#include \"os/linux/stderr_notices.h\""
  "src/uvc/uvc.h|#include \"vcmd.h\""
  "sim/chip.h|#include \"uvc/vcmd.h\"")
check(${WORK}/keeps TRUE "")

set(cases
  "up_from_text|src/text/guid.h|#include \"os/port.h\"|src/text/guid.h:3: includes os/port.h: text may use nothing of the project"
  "adapter_into_subsystem|src/os/linux/stderr_notices.h|#include \"uvc/uvc.h\"|src/os/linux/stderr_notices.h:3: includes uvc/uvc.h"
  "driver_beyond_exchange|src/passthrough/kvxupx.h|#include \"driver/kernel_port.h\"|src/passthrough/kvxupx.h:3: includes driver/kernel_port.h"
  "app_past_the_seam|src/app/check_worker.h|#include \"dfu/dfu.h\"|src/app/check_worker.h:3: includes dfu/dfu.h"
  "adapter_outside_entry|src/app/check_worker.h|#include \"os/linux/stderr_notices.h\"|check_worker.h:3: includes os/linux/stderr_notices.h: app may use ui os text"
  "product_into_sim|src/repair/fix_core_power.h|#include \"sim/chip.h\"|fix_core_power.h:3: includes sim/chip.h: no product code")
foreach(case ${cases})
  string(REPLACE "|" ";" case "${case}")
  list(GET case 0 name)
  list(GET case 1 file)
  list(GET case 2 line)
  list(GET case 3 expected)
  make_tree(${name} "${file}|${line}")
  check(${WORK}/${name} FALSE "${expected}")
endforeach()
