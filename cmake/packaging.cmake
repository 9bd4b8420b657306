# The packages, built by scripts/package: on Linux a .deb (the program and the
# simulator, their manual pages, the desktop entry, the icons, the AppStream
# metainfo, the copyright file and the changelog; library dependencies found
# by dpkg-shlibdeps), on Windows a .zip of the static MerlinTest.exe with a
# README.txt for its users and the licence.
set(CPACK_PACKAGE_NAME merlintest)
set(CPACK_PACKAGE_VENDOR "The MerlinTest developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Test tool for motorised telescope mounts")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_HOMEPAGE_URL "https://merlintest.example.org/")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  # The zip's reader runs the program and needs no build notes: a README.txt
  # of its own, with Windows' line ends so that Notepad shows it right.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in
                 ${PROJECT_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME MerlinTest-${PROJECT_VERSION}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  include(GNUInstallDirs)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/merlintest.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/merlintest.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  # The PNG sizes that menus and taskbars ask for (packaging/icons/render).
  foreach(size 16 22 24 32 48 64 128 256)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/icons/merlintest-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME merlintest.png)
  endforeach()
  # The software centres' description of the program (AppStream).
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/org.example.merlintest.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/merlintest)
  # Debian wants the changelog and the manual pages compressed at the most,
  # without a time stamp in the gzip header, so that two builds are the same.
  set(merlin_gzipped ${CMAKE_CURRENT_BINARY_DIR}/gzipped)
  function(merlin_gzip source destination)
    get_filename_component(name ${source} NAME)
    add_custom_command(OUTPUT ${merlin_gzipped}/${name}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${merlin_gzipped}
      COMMAND gzip -9n -c ${source} > ${merlin_gzipped}/${name}.gz
      DEPENDS ${source} VERBATIM)
    set_property(GLOBAL APPEND PROPERTY merlin_gzipped_files ${merlin_gzipped}/${name}.gz)
    install(FILES ${merlin_gzipped}/${name}.gz DESTINATION ${destination})
  endfunction()
  merlin_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog ${CMAKE_INSTALL_DATADIR}/doc/merlintest)
  merlin_gzip(${PROJECT_SOURCE_DIR}/man/merlintest.1 ${CMAKE_INSTALL_MANDIR}/man1)
  if(MERLIN_BUILD_SIM)
    merlin_gzip(${PROJECT_SOURCE_DIR}/man/merlin-sim.1 ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  get_property(gzipped_files GLOBAL PROPERTY merlin_gzipped_files)
  add_custom_target(merlin_gzipped ALL DEPENDS ${gzipped_files})
  # CPack's strip leaves the compiler's .comment and .note sections, which
  # Debian strips too: the same, after the programs are installed.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      foreach(program merlintest merlin-sim)
        set(file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\")
        if(EXISTS \"\${file}\")
          execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                          \"\${file}\" COMMAND_ERROR_IS_FATAL ANY)
        endif()
      endforeach()
    endif()")
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The MerlinTest developers <merlintest@example.org>")
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # CPack asks dpkg for the architecture, which answers the build machine's.
  if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL aarch64)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  endif()
  # The summary comes first; CPack indents these lines.
  string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "MerlinTest checks that a mount's motor controller answers on a serial port\n"
      "(USB, Bluetooth or built-in), jogs and stops both axes, and fires a camera's\n"
      "shutter and focus lines. It also checks a mount without a desktop.\n"
      "The simulator merlin-sim stands in for a mount, to try it without one.")
endif()
include(CPack)
