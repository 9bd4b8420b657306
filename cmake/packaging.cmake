# The packages, built by scripts/package. On Linux two .debs: `merlintest`,
# the console program (a check without a window, the port list), the
# simulator, their manual pages and the user guide, with no Qt, for boards
# without a desktop; and `merlintest-desktop`, depending on it, the dialog
# (Qt), the desktop entry, the icons and the AppStream metainfo. Each has its
# copyright file and changelog; library dependencies are found by
# dpkg-shlibdeps. On Windows a .zip of the static MerlinTest.exe with a
# README.txt for its users, the user guide and the licence. With
# SOURCE_DATE_EPOCH set (scripts/package takes the last commit's time), two
# builds give the same bytes.
set(CPACK_PACKAGE_NAME merlintest)
set(CPACK_PACKAGE_VENDOR "The MerlinTest developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

# The user guide as HTML, when cmark-gfm is there (the package step installs
# it); the screenshot it shows goes beside it.
find_program(MERLIN_CMARK_GFM cmark-gfm)
set(merlin_guide "")
if(MERLIN_CMARK_GFM)
  set(merlin_guide ${PROJECT_BINARY_DIR}/user-guide.html)
  add_custom_command(OUTPUT ${merlin_guide}
    COMMAND ${CMAKE_COMMAND} -DCMARK=${MERLIN_CMARK_GFM} -DINPUT=${PROJECT_SOURCE_DIR}/docs/user-guide.md
            -DOUTPUT=${merlin_guide} -P ${PROJECT_SOURCE_DIR}/cmake/guide-html.cmake
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/user-guide.md ${PROJECT_SOURCE_DIR}/cmake/guide-html.cmake VERBATIM)
  add_custom_target(merlin_guide ALL DEPENDS ${merlin_guide})
  set(merlin_guide ${merlin_guide} ${PROJECT_SOURCE_DIR}/docs/qt-port-reason.png)
endif()

if(WIN32)
  # (The .debs' summaries are the first lines of their descriptions.)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Test tool for motorised telescope mounts")
  # The zip's reader runs the program and needs no build notes: a README.txt
  # of its own, with Windows' line ends so that Notepad shows it right.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in
                 ${PROJECT_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_SOURCE_DIR}/LICENSE ${merlin_guide} DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME MerlinTest-${PROJECT_VERSION}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  include(GNUInstallDirs)
  set(docs ${CMAKE_INSTALL_DATADIR}/doc)
  # The desktop package: what a desktop shows and starts.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/merlintest.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT desktop)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/merlintest.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT desktop)
  # The PNG sizes that menus and taskbars ask for (packaging/icons/render).
  foreach(size 16 22 24 32 48 64 128 256)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/icons/merlintest-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME merlintest.png
            COMPONENT desktop)
  endforeach()
  # The software centres' description of the program (AppStream).
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/org.example.merlintest.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT desktop)
  # The guide is the console package's: the desktop one depends on it.
  if(merlin_guide)
    install(FILES ${merlin_guide} DESTINATION ${docs}/merlintest COMPONENT console)
  endif()
  # Debian wants the changelog and the manual pages compressed at the most,
  # without a time stamp in the gzip header, so that two builds are the same.
  set(merlin_gzipped ${CMAKE_CURRENT_BINARY_DIR}/gzipped)
  function(merlin_gzip source destination component)
    get_filename_component(name ${source} NAME)
    add_custom_command(OUTPUT ${merlin_gzipped}/${name}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${merlin_gzipped}
      COMMAND gzip -9n -c ${source} > ${merlin_gzipped}/${name}.gz
      DEPENDS ${source} VERBATIM)
    set_property(GLOBAL APPEND PROPERTY merlin_gzipped_files ${merlin_gzipped}/${name}.gz)
    install(FILES ${merlin_gzipped}/${name}.gz DESTINATION ${destination} COMPONENT ${component})
  endfunction()
  # Each package has its own copyright file and changelog.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${docs}/merlintest COMPONENT console)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${docs}/merlintest-desktop COMPONENT desktop)
  merlin_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog ${docs}/merlintest console)
  install(FILES ${merlin_gzipped}/changelog.gz DESTINATION ${docs}/merlintest-desktop COMPONENT desktop)
  merlin_gzip(${PROJECT_SOURCE_DIR}/man/merlintest.1 ${CMAKE_INSTALL_MANDIR}/man1 console)
  if(MERLIN_BUILD_SIM)
    merlin_gzip(${PROJECT_SOURCE_DIR}/man/merlin-sim.1 ${CMAKE_INSTALL_MANDIR}/man1 console)
  endif()
  get_property(gzipped_files GLOBAL PROPERTY merlin_gzipped_files)
  add_custom_target(merlin_gzipped ALL DEPENDS ${gzipped_files})
  # CPack's strip leaves the compiler's .comment and .note sections, which
  # Debian strips too, and does not strip the dialog (installed as a file of
  # its own name): the same, after the programs are installed.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(program ${CMAKE_INSTALL_BINDIR}/merlintest ${CMAKE_INSTALL_BINDIR}/merlin-sim
                      libexec/merlintest/merlintest-dialog)
        set(file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${program}\")
        if(EXISTS \"\${file}\")
          execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                          \"\${file}\" COMMAND_ERROR_IS_FATAL ANY)
        endif()
      endforeach()
    endif()" ALL_COMPONENTS)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The MerlinTest developers <merlintest@example.org>")
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL console desktop)
  set(CPACK_DEBIAN_CONSOLE_PACKAGE_NAME merlintest)
  set(CPACK_DEBIAN_DESKTOP_PACKAGE_NAME merlintest-desktop)
  set(CPACK_DEBIAN_DESKTOP_PACKAGE_DEPENDS "merlintest (= ${PROJECT_VERSION})")
  # CPack asks dpkg for the architecture, which answers the build machine's.
  if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  endif()
  # The summary comes first; CPack indents these lines.
  string(CONCAT CPACK_DEBIAN_CONSOLE_DESCRIPTION
      "Test tool for motorised telescope mounts (console)\n"
      "MerlinTest checks that a mount's motor controller answers on a serial port\n"
      "(USB, Bluetooth or built-in) or on the network, without a desktop:\n"
      "merlintest --check N, merlintest --list-ports. The simulator merlin-sim\n"
      "stands in for a mount, to try it without one. The dialog, which jogs and\n"
      "stops both axes and fires a camera's shutter and focus lines, is in\n"
      "merlintest-desktop.")
  string(CONCAT CPACK_DEBIAN_DESKTOP_DESCRIPTION
      "Test tool for motorised telescope mounts (dialog)\n"
      "MerlinTest's dialog: it connects to a mount's motor controller on a serial\n"
      "port (USB, Bluetooth or built-in) or on the network, jogs and stops both\n"
      "axes, and fires a camera's shutter and focus lines. The command merlintest\n"
      "opens it; the desktop's menu lists it.")
endif()
include(CPack)
