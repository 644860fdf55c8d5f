# One name for libusb-1.0 on every face of the tool: target fcp_libusb.
#   Linux:   Debian's libusb-1.0 through pkg-config (package libusb-1.0-0-dev).
#   Windows: the static mingw-w64 build that scripts/bootstrap.d/20-libusb-mingw.sh makes from
#            Debian's source package, in ${FCP_LIBUSB_MINGW_PREFIX}/<triplet>.
# Sources include it as <libusb.h> on both.
# Target fcp_libusb_headers carries only the include path: code that calls libusb_* and must leave the
# choice of implementation to the final link (the real library in the products, the virtual
# workstation's in the tests) compiles against it.
if(TARGET fcp_libusb)
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
  add_library(fcp_libusb STATIC IMPORTED GLOBAL)
  set_target_properties(fcp_libusb PROPERTIES
    IMPORTED_LOCATION ${_fcp_libusb_root}/lib/libusb-1.0.a
    INTERFACE_INCLUDE_DIRECTORIES ${_fcp_libusb_root}/include/libusb-1.0)
  set(_fcp_libusb_include_dirs ${_fcp_libusb_root}/include/libusb-1.0)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(FCP_LIBUSB REQUIRED IMPORTED_TARGET GLOBAL libusb-1.0)
  add_library(fcp_libusb INTERFACE IMPORTED GLOBAL)
  set_target_properties(fcp_libusb PROPERTIES INTERFACE_LINK_LIBRARIES PkgConfig::FCP_LIBUSB)
  set(_fcp_libusb_include_dirs ${FCP_LIBUSB_INCLUDE_DIRS})
endif()

add_library(fcp_libusb_headers INTERFACE IMPORTED GLOBAL)
set_target_properties(fcp_libusb_headers PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${_fcp_libusb_include_dirs}")
