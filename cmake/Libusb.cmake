# libusb-1.0 on every face of the tool. Code that calls libusb_* links the seam `fcp_libusb`
# (cmake/Seams.cmake); each executable chooses its implementation:
#   fcp_libusb_system  the system's libusb: Debian's libusb-1.0 through pkg-config (package
#                      libusb-1.0-0-dev) on Linux; on Windows the static mingw-w64 build that
#                      scripts/bootstrap.d/20-libusb-mingw.sh makes from Debian's source package, in
#                      ${FCP_LIBUSB_MINGW_PREFIX}/<triplet>. The products' choice.
#   fcp_sim_libusb     the virtual workstation's libusb-compatible library (sim/, Linux only).
# Sources include it as <libusb.h> on both. Target fcp_libusb_headers carries only the include path,
# for an implementation of the API.
if(TARGET fcp_libusb_system)
  return()
endif()

if(WIN32)
  set(FCP_LIBUSB_MINGW_PREFIX "/opt/fcp/libusb-mingw" CACHE PATH
      "Where the bootstrap installs libusb-1.0 built for mingw-w64 (one folder per target triplet)")
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_fcp_libusb_triplet x86_64-w64-mingw32)
  else()
    set(_fcp_libusb_triplet i686-w64-mingw32)
  endif()
  set(_fcp_libusb_root ${FCP_LIBUSB_MINGW_PREFIX}/${_fcp_libusb_triplet})
  if(NOT EXISTS ${_fcp_libusb_root}/lib/libusb-1.0.a)
    message(FATAL_ERROR "libusb-1.0 for ${_fcp_libusb_triplet} is missing in ${_fcp_libusb_root}: "
                        "run scripts/bootstrap")
  endif()
  add_library(fcp_libusb_system STATIC IMPORTED GLOBAL)
  set_target_properties(fcp_libusb_system PROPERTIES
    IMPORTED_LOCATION ${_fcp_libusb_root}/lib/libusb-1.0.a
    INTERFACE_INCLUDE_DIRECTORIES ${_fcp_libusb_root}/include/libusb-1.0)
  set(_fcp_libusb_include_dirs ${_fcp_libusb_root}/include/libusb-1.0)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(FCP_LIBUSB REQUIRED IMPORTED_TARGET GLOBAL libusb-1.0)
  add_library(fcp_libusb_system INTERFACE IMPORTED GLOBAL)
  set_target_properties(fcp_libusb_system PROPERTIES INTERFACE_LINK_LIBRARIES PkgConfig::FCP_LIBUSB)
  set(_fcp_libusb_include_dirs ${FCP_LIBUSB_INCLUDE_DIRS})
endif()

add_library(fcp_libusb_headers INTERFACE IMPORTED GLOBAL)
set_target_properties(fcp_libusb_headers PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${_fcp_libusb_include_dirs}")

fcp_seam(fcp_libusb IMPLEMENTATIONS fcp_libusb_system fcp_sim_libusb)
target_link_libraries(fcp_libusb INTERFACE fcp_libusb_headers)
