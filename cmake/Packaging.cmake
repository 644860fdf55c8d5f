# Installing the Linux tool (cmake --install) and its Debian package (cpack -G DEB): the executable,
# its GTK dialog module, a udev rule that gives the logged-in user and the plugdev group the chip maker's devices (vendor ID
# from MakerIds.cmake), a desktop entry with the icon, and the manual page.
if(WIN32 OR NOT TARGET fixcorepower)
  return()
endif()
include(GNUInstallDirs)

set(_res ${PROJECT_SOURCE_DIR}/res/linux)
set(_gen ${CMAKE_BINARY_DIR}/packaging)

# The rule matches sysfs's idVendor text: four lower-case hex digits.
math(EXPR _vid "${FCP_USB_VENDOR_ID}" OUTPUT_FORMAT HEXADECIMAL)
string(REGEX REPLACE "^0x" "" _vid "${_vid}")
string(TOLOWER "${_vid}" _vid)
string(LENGTH "${_vid}" _len)
if(_len GREATER 4)
  message(FATAL_ERROR "FCP_USB_VENDOR_ID ${FCP_USB_VENDOR_ID} is no 16-bit value")
endif()
math(EXPR _padLength "4 - ${_len}")
string(REPEAT "0" ${_padLength} _pad)
set(FCP_UDEV_VENDOR_ID "${_pad}${_vid}")
configure_file(${_res}/70-fixcorepower.rules.in ${_gen}/70-fixcorepower.rules @ONLY)

# Debian keeps manual pages compressed, without a time stamp in the gzip header.
configure_file(${_res}/fixcorepower.1 ${_gen}/fixcorepower.1 @ONLY)
add_custom_command(OUTPUT ${_gen}/fixcorepower.1.gz
                   COMMAND gzip -9nc ${_gen}/fixcorepower.1 > ${_gen}/fixcorepower.1.gz
                   DEPENDS ${_gen}/fixcorepower.1)
add_custom_target(fixcorepower_manual ALL DEPENDS ${_gen}/fixcorepower.1.gz)

install(TARGETS fixcorepower RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The GTK dialog module, in the private directory the tool looks in (src/ui/linux/CMakeLists.txt).
if(FCP_GTK)
  install(TARGETS fcp_ui_gtk LIBRARY DESTINATION ${FCP_PRIVATE_LIBDIR})
endif()
# udev reads /usr/lib/udev/rules.d (and /lib/udev/rules.d, the same directory on a merged /usr).
install(FILES ${_gen}/70-fixcorepower.rules DESTINATION lib/udev/rules.d)
install(FILES ${_res}/fixcorepower.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${_res}/fixcorepower-48.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps
        RENAME fixcorepower.png)
install(FILES ${_gen}/fixcorepower.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fixcorepower)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check and repair the core-power setting of a USB camera's controller chip")
set(CPACK_PACKAGE_DESCRIPTION
    "Selects the camera, checks the core-power setting in its controller chip's configuration data and, where the patch area is blank, writes and commits the patch. With a udev rule for the chip maker's devices (logged-in user and the plugdev group).")
set(CPACK_PACKAGE_CONTACT "Fix Core Power developers <fixcorepower@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${FCP_PACKAGE_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # dpkg-shlibdeps: the libraries the executable and the module link
set(CPACK_DEBIAN_PACKAGE_DEPENDS "udev")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${_res}/postinst;${_res}/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
