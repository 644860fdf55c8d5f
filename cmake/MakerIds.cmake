# The chip maker's identifiers, in one place. Every default here is fictional and is what
# the virtual workstation's chips answer with; a production build sets the real values, e.g.
#   cmake --preset windows-x64 -DFCP_USB_VENDOR_ID=0x....
# Nothing else in the tree may spell one of these values out.

set(FCP_XU_GUID_1 "{FC0C0DE1-7A11-4E55-9C0D-00000000C0DE}" CACHE STRING
    "Extension unit GUID (kernel-streaming property set) of the chips the tool serves")
set(FCP_XU_GUID_2 "{FC0C0DE2-7A11-4E55-9C0D-00000000C0DE}" CACHE STRING
    "Second extension unit GUID the pass-through driver accepts")

# Chip product IDs per family, as reported in the chip's status block.
set(FCP_PIDS_VZQ2201 "0xF201;0xF211" CACHE STRING "Chip product IDs of family VZQ2201 (2)")
set(FCP_PIDS_VZQ2202 "0xF202;0xF212;0xF222;0xF232" CACHE STRING "Chip product IDs of family VZQ2202 (4)")
set(FCP_PIDS_VZQ2203 "0xF203;0xF213;0xF223;0xF233;0xF243;0xF253" CACHE STRING
    "Chip product IDs of family VZQ2203 (6)")

set(FCP_USB_VENDOR_ID "0xFC01" CACHE STRING "The chip maker's USB vendor ID")
set(FCP_VENDOR_PATTERN "USB\\\\VID_FC01*" CACHE STRING
    "Hardware-ID wildcard pattern of the maker's devices (C string literal body)")
set(FCP_HUB_PRODUCT_1 "FCHUBA" CACHE STRING "First six-character hub product name")
set(FCP_HUB_PRODUCT_2 "FCHUBB" CACHE STRING "Second six-character hub product name")

function(_fcp_pid_list out family count)
  list(LENGTH FCP_PIDS_${family} n)
  if(NOT n EQUAL ${count})
    message(FATAL_ERROR "FCP_PIDS_${family} must hold ${count} product IDs, holds ${n}")
  endif()
  list(JOIN FCP_PIDS_${family} ", " joined)
  set(${out} "${joined}" PARENT_SCOPE)
endfunction()
_fcp_pid_list(FCP_PIDS_VZQ2201_C VZQ2201 2)
_fcp_pid_list(FCP_PIDS_VZQ2202_C VZQ2202 4)
_fcp_pid_list(FCP_PIDS_VZQ2203_C VZQ2203 6)

foreach(name FCP_HUB_PRODUCT_1 FCP_HUB_PRODUCT_2)
  string(LENGTH "${${name}}" len)
  if(NOT len EQUAL 6)
    message(FATAL_ERROR "${name} must be six characters")
  endif()
endforeach()

configure_file(${CMAKE_CURRENT_LIST_DIR}/maker_ids.h.in
               ${CMAKE_BINARY_DIR}/generated/fcp/maker_ids.h @ONLY)
add_library(fcp_maker_ids INTERFACE)
target_include_directories(fcp_maker_ids INTERFACE ${CMAKE_BINARY_DIR}/generated)
