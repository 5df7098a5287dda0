# What `cmake --install` puts where, and the packages made from it with CPack:
# the Debian package (cpack -G DEB, in a Linux build) and the Windows zip
# (cpack -G ZIP, in a Windows cross build).
set(CPACK_PACKAGE_CONTACT "the smfstream developers <smfstream@lists.invalid>" CACHE STRING "The packages' maintainer")

# The C++ controller library, header-only: smfstream::controller here (the
# examples and tests link it) and, installed, through find_package(smfstream)
# (share/cmake/smfstream/) or pkg-config (share/pkgconfig/smfstream.pc), both
# free of the architecture and relocatable with the prefix.
include(CMakePackageConfigHelpers)
add_library(smfstream_controller INTERFACE)
add_library(smfstream::controller ALIAS smfstream_controller)
set_target_properties(smfstream_controller PROPERTIES EXPORT_NAME controller)
target_include_directories(smfstream_controller INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
                                                          $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_features(smfstream_controller INTERFACE cxx_std_17)
set(pc_libs "")
if(NOT WIN32)
  find_package(Threads REQUIRED)
  target_link_libraries(smfstream_controller INTERFACE Threads::Threads)
  set(pc_libs "-pthread")
endif()
set(smfstream_cmakedir ${CMAKE_INSTALL_DATADIR}/cmake/smfstream)
set(smfstream_pkgconfigdir ${CMAKE_INSTALL_DATADIR}/pkgconfig)
install(TARGETS smfstream_controller EXPORT smfstreamTargets)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/smfstream DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.hpp")
install(EXPORT smfstreamTargets NAMESPACE smfstream:: DESTINATION ${smfstream_cmakedir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/smfstreamConfig.cmake.in
  ${PROJECT_BINARY_DIR}/smfstreamConfig.cmake INSTALL_DESTINATION ${smfstream_cmakedir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/smfstreamConfigVersion.cmake
  COMPATIBILITY SameMinorVersion ARCH_INDEPENDENT)  # 0.x: a new minor version may change the API
install(FILES ${PROJECT_BINARY_DIR}/smfstreamConfig.cmake ${PROJECT_BINARY_DIR}/smfstreamConfigVersion.cmake
        DESTINATION ${smfstream_cmakedir})
file(RELATIVE_PATH pc_prefix_from_pcfiledir "/prefix/${smfstream_pkgconfigdir}" "/prefix")
string(REGEX REPLACE "/$" "" pc_prefix_from_pcfiledir "${pc_prefix_from_pcfiledir}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/smfstream.pc.in ${PROJECT_BINARY_DIR}/smfstream.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/smfstream.pc DESTINATION ${smfstream_pkgconfigdir})

if(WIN32)
  # The zip: one folder with smfstream.exe, its documents (the manual as text,
  # docs/man) and the controller libraries (the C++ one above).
  install(TARGETS smfstream RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
  install(FILES ${PROJECT_SOURCE_DIR}/python/smfstream/__init__.py DESTINATION python/smfstream)
else()
  install(TARGETS smfstream RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

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
