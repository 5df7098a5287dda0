# What `cmake --install` puts where, and the packages made from it with CPack:
# the Debian package (cpack -G DEB, in a Linux build) and the Windows zip
# (cpack -G ZIP, in a Windows cross build).
set(CPACK_PACKAGE_CONTACT "the smfstream developers <smfstream@lists.invalid>" CACHE STRING "The packages' maintainer")

if(WIN32)
  # The zip: one folder with smfstream.exe, its documents (the manual as text,
  # docs/man) and the controller library.
  install(TARGETS smfstream RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
  install(FILES ${PROJECT_SOURCE_DIR}/include/smfstream/controller.hpp DESTINATION include/smfstream)
  install(FILES ${PROJECT_SOURCE_DIR}/python/smfstream/__init__.py DESTINATION python/smfstream)
else()
  install(TARGETS smfstream RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/include/smfstream/controller.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/smfstream)

  # The program finds its module by this path relative to its own directory.
  file(RELATIVE_PATH module_from_program "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${SMFSTREAM_INSTALL_MODULEDIR}")
  if(IS_ABSOLUTE "${SMFSTREAM_INSTALL_MODULEDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
    file(RELATIVE_PATH module_from_program "${CMAKE_INSTALL_FULL_BINDIR}" "${SMFSTREAM_INSTALL_MODULEDIR}")
  endif()
  target_compile_definitions(smf_devices PRIVATE SMFSTREAM_MODULE_RELATIVE_DIR="${module_from_program}")

  install(TARGETS smfstream-sound LIBRARY DESTINATION ${SMFSTREAM_INSTALL_MODULEDIR})
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/smfstream-play DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/python/smfstream/__init__.py
          DESTINATION ${SMFSTREAM_INSTALL_PYTHONDIR}/smfstream)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})

  # What a Debian package must hold beside them: the copyright in Debian's
  # format and a compressed changelog.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
  set(changelog_gz ${PROJECT_BINARY_DIR}/changelog.gz)
  add_custom_command(OUTPUT ${changelog_gz}
    COMMAND gzip -9nc ${PROJECT_BINARY_DIR}/changelog > ${changelog_gz}
    DEPENDS ${PROJECT_BINARY_DIR}/changelog VERBATIM)
  add_custom_target(debian_changelog ALL DEPENDS ${changelog_gz})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${changelog_gz} DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME smfstream)
set(CPACK_PACKAGE_VENDOR "the smfstream developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Debian: dependencies from the shared libraries the program and its module
# need (dpkg-shlibdeps), Python for smfstream-play, and a General MIDI SoundFont.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, timgm6mb-soundfont | fluid-soundfont-gm | musescore-general-soundfont")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "smfstream plays Standard MIDI Files on the machine's MIDI output for a
controller process: a game, a kiosk, a tool that needs music that starts at
once, keeps time, switches instantly and never hangs a note. The controller
gives it a volume and a file, steers it with a two-byte protocol on its
standard input and reads a marker on its standard output after each pass.
.
The package holds the player, its sound module (FluidSynth synthesizer, ALSA
sequencer), the command-line controller smfstream-play, a header-only C++
controller library and the Python module smfstream. Licence: MIT.")

# Windows: one folder in a zip.
if(WIN32)
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
include(CPack)
