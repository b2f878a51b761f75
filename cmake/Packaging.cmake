# Install layout (cmake --install) and the Debian package (cpack -G DEB):
#   bin/      quillrom, quillrom-sim, quillrom2
#   lib/      libquillctl.so.1 (SONAME) and its link name
#   include/  quillctl.h
#   share/quillrom2/samples, share/applications, share/icons
#   lib/udev/rules.d/60-quillrom.rules (FTDI latency timer 1 ms; /usr/lib/udev in the package)
if(WIN32)
  # Windows: an NSIS installer and a ZIP of the same tree:
  #   bin/      quillrom.exe, quillctl.dll
  #   lib/      libquillctl.dll.a (the import library)
  #   include/  quillctl.h
  #   samples/  demo parameter and load files
  #   README.txt
  install(TARGETS quillrom RUNTIME DESTINATION bin)
  install(TARGETS quillctl RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
  install(FILES ${PROJECT_SOURCE_DIR}/ctl/include/quillctl.h DESTINATION include)
  install(FILES
    ${PROJECT_SOURCE_DIR}/samples/demo.prm
    ${PROJECT_SOURCE_DIR}/samples/demo-addr.prm
    ${PROJECT_SOURCE_DIR}/samples/demo.hex
    ${PROJECT_SOURCE_DIR}/samples/demo.s19
    DESTINATION samples)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/README-windows.txt DESTINATION . RENAME README.txt)

  set(CPACK_GENERATOR "NSIS;ZIP")
  set(CPACK_PACKAGE_NAME Quillrom)
  set(CPACK_PACKAGE_VENDOR Quillrom)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_FILE_NAME Quillrom-${PROJECT_VERSION}-win64)
  set(CPACK_PACKAGE_INSTALL_DIRECTORY Quillrom)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Programs a microcontroller's flash through its serial bootloader")
  set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/packaging/README-windows.txt)
  # A 64-bit installer: the 64-bit program folder and registry view.
  set(CPACK_NSIS_DEFINES "Unicode true\n  Target amd64-unicode")
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  set(CPACK_NSIS_DISPLAY_NAME "Quillrom ${PROJECT_VERSION}")
  set(CPACK_NSIS_PACKAGE_NAME "Quillrom ${PROJECT_VERSION}")
  # bin\ on PATH, taken off again by the uninstaller. The options page
  # offers it; a silent install (/S) puts it on PATH for all users.
  set(CPACK_NSIS_MODIFY_PATH ON)
  set(CPACK_NSIS_EXTRA_PREINSTALL_COMMANDS "IfSilent 0 quill_not_silent
    !insertmacro MUI_INSTALLOPTIONS_WRITE 'NSIS.InstallOptions.ini' 'Field 2' 'State' '0'
    !insertmacro MUI_INSTALLOPTIONS_WRITE 'NSIS.InstallOptions.ini' 'Field 3' 'State' '1'
  quill_not_silent:")
  include(CPack)
  return()
endif()

include(GNUInstallDirs)

# Programs find the library next to them wherever the tree is unpacked.
foreach(program quillrom quillrom-sim quillrom2)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(TARGETS quillctl LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${PROJECT_SOURCE_DIR}/ctl/include/quillctl.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES
  ${PROJECT_SOURCE_DIR}/samples/demo.prm
  ${PROJECT_SOURCE_DIR}/samples/demo-addr.prm
  ${PROJECT_SOURCE_DIR}/samples/demo.hex
  ${PROJECT_SOURCE_DIR}/samples/demo.s19
  DESTINATION ${CMAKE_INSTALL_DATADIR}/quillrom2/samples)
# Where Quillrom2 looks for parameter files ($XDG_DATA_DIRS/quillrom2/prm).
install(FILES
  ${PROJECT_SOURCE_DIR}/samples/demo.prm
  ${PROJECT_SOURCE_DIR}/samples/demo-addr.prm
  DESTINATION ${CMAKE_INSTALL_DATADIR}/quillrom2/prm)
# udev reads rules from /usr/lib/udev whatever the library folder is called.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-quillrom.rules DESTINATION lib/udev/rules.d)
if(TARGET quillrom2)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/quillrom2.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/quillrom2.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillrom)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quillrom developers <quillrom@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Programs a microcontroller's flash through its serial bootloader")
set(CPACK_PACKAGE_DESCRIPTION
  "quillrom (command line), Quillrom2 (Qt program), quillrom-sim (virtual target) and the control library libquillctl.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_STRIP_FILES ON)
# Dependencies from the binaries themselves; the package's own library is
# found in the staging tree, and a shlibs file plus the ldconfig trigger
# come with it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_INSTALL_LIBDIR}")
include(CPack)
