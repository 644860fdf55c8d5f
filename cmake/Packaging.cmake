# Installing the Linux tool (cmake --install) and its Debian packages (cpack -G DEB), split the Debian
# way so that a headless station pulls no GTK:
#   fixcorepower      (component tool): the executable, a udev rule that gives the logged-in user and
#                     the plugdev group the chip maker's USB devices (vendor ID from MakerIds.cmake),
#                     the manual page and the documents;
#   fixcorepower-gtk  (component gtk): the GTK dialog module, the desktop entry and its icon.
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

# The release date as a Debian changelog writes it (RFC 5322, in English whatever the locale).
execute_process(COMMAND date -u -R -d "${FCP_RELEASE_DATE}"
                OUTPUT_VARIABLE FCP_RELEASE_DATE_RFC5322 OUTPUT_STRIP_TRAILING_WHITESPACE
                RESULT_VARIABLE _date_rc)
if(NOT _date_rc EQUAL 0)
  message(FATAL_ERROR "FCP_RELEASE_DATE ${FCP_RELEASE_DATE} is no date")
endif()

# Debian keeps manual pages and changelogs compressed, without a time stamp in the gzip header. The
# tool's target depends on them, so that building the tool is all the packages need
# (cmake --build --preset linux --target fixcorepower, then cpack).
configure_file(${_res}/fixcorepower.1 ${_gen}/fixcorepower.1 @ONLY)
configure_file(${_res}/changelog.in ${_gen}/changelog @ONLY)
set(_compressed)
foreach(file fixcorepower.1 changelog)
  add_custom_command(OUTPUT ${_gen}/${file}.gz
                     COMMAND gzip -9nc ${_gen}/${file} > ${_gen}/${file}.gz
                     DEPENDS ${_gen}/${file})
  list(APPEND _compressed ${_gen}/${file}.gz)
endforeach()
add_custom_target(fixcorepower_package_files ALL DEPENDS ${_compressed})
add_dependencies(fixcorepower fixcorepower_package_files)

set(_doc ${CMAKE_INSTALL_DATADIR}/doc)
install(TARGETS fixcorepower RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
# udev reads /usr/lib/udev/rules.d (and /lib/udev/rules.d, the same directory on a merged /usr).
install(FILES ${_gen}/70-fixcorepower.rules DESTINATION lib/udev/rules.d COMPONENT tool)
install(FILES ${_gen}/fixcorepower.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tool)
install(FILES ${_gen}/changelog.gz DESTINATION ${_doc}/fixcorepower COMPONENT tool)
install(FILES ${PROJECT_SOURCE_DIR}/docs/OPERATORS.md DESTINATION ${_doc}/fixcorepower COMPONENT tool)

set(_components tool)
if(FCP_GTK)
  # The GTK dialog module, in the private directory the tool looks in (src/ui/linux/CMakeLists.txt).
  install(TARGETS fcp_ui_gtk LIBRARY DESTINATION ${FCP_PRIVATE_LIBDIR} COMPONENT gtk)
  install(FILES ${_res}/fixcorepower.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT gtk)
  install(FILES ${_res}/fixcorepower-48.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps
          RENAME fixcorepower.png COMPONENT gtk)
  install(FILES ${_gen}/changelog.gz DESTINATION ${_doc}/fixcorepower-gtk COMPONENT gtk)
  install(FILES ${_res}/fixcorepower-gtk.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME fixcorepower-gtk COMPONENT gtk)
  list(APPEND _components gtk)
endif()

# A stripped install (cpack strips) also drops the compiler's .comment notes, as Debian's dh_strip does.
foreach(file ${CMAKE_INSTALL_BINDIR}/fixcorepower ${FCP_PRIVATE_LIBDIR}/fixcorepower-gtk.so)
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP AND EXISTS \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${file}\")
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${file}\" COMMAND_ERROR_IS_FATAL ANY)
    endif()" ALL_COMPONENTS)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fixcorepower)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${FCP_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${FCP_PACKAGE_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # dpkg-shlibdeps: the libraries the executable and the module link
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME fixcorepower)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "udev")
set(CPACK_DEBIAN_TOOL_PACKAGE_CONTROL_EXTRA "${_res}/postinst;${_res}/postrm")
set(CPACK_DEBIAN_TOOL_DESCRIPTION [[
check and repair the core-power setting of a USB camera's controller chip
Selects the camera, checks the core-power setting in the configuration data
of its controller chip and, where the chip's patch area is blank, writes the
patch, reads it back and commits it. Silent runs (-s) report the verdict by
exit code and result files, as a production line needs.
.
This package holds the tool, its manual page and a udev rule that gives the
logged-in user and the plugdev group the chip maker's USB devices. The
dialog on a desktop comes with fixcorepower-gtk.]])

set(CPACK_DEBIAN_GTK_PACKAGE_NAME fixcorepower-gtk)
set(CPACK_DEBIAN_GTK_PACKAGE_DEPENDS "fixcorepower (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_GTK_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_GTK_DESCRIPTION [[
GTK dialog of the camera controller chip's core-power check
The dialog that fixcorepower shows when a display is named: the camera's
name, PASS on green or FAIL on red, and a Check button that runs the check
again, with a desktop entry. Silent runs (-s) on a station without a desktop
do not need it.]])

set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
include(CPack)
