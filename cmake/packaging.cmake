# The Debian package of `make package` (CPack): everything the install rules put
# under the prefix, with dependencies on Debian's libraries found by
# dpkg-shlibdeps from the programs and libraries it holds.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sonoscriptor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Sonoscriptor developers <sonoscriptor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "polyphonic music recognition: recordings to MIDI files and scores")
set(CPACK_PACKAGE_DESCRIPTION
  "It turns a recorded performance into a Standard MIDI File with notes, chord-name\n\
markers, key signature, time signature and tempo, and writes it as sheet music\n\
(MusicXML), following the beats it finds in the recording.")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
include(CPack)
