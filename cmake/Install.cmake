# `cmake --install <build> --prefix <dir>` lays out a relocatable installation:
#
#   <prefix>/bin/           ombrix-speak (and the other programs of tools/)
#   <prefix>/lib/           libOmbrixSherpa.so, libOmbrixSDK.so, libsherpa-onnx-c-api.so,
#                           libonnxruntime.so, the plug-in's model checker
#                           ombrix-sherpa-check and the model converter
#                           ombrix-convert-model
#   <prefix>/include/ombrix/  the host SDK headers a host application compiles against
#   <prefix>/lib/cmake/OmbrixSDK/, lib/cmake/OmbrixSherpa/
#                           CMake package configuration: find_package(OmbrixSDK) gives the
#                           imported target Ombrix::SDK, find_package(OmbrixSherpa) the
#                           plug-in's path (OmbrixSherpa_PLUGIN) for loadLibrary
#   <prefix>/lib/pkgconfig/ ombrix-sdk.pc, ombrix-sherpa.pc (variable "plugin")
#   <prefix>/share/files/   the default model tree (empty unless voices are installed)
#   <prefix>/share/man/man1/ the programs' manual pages (tools/man)
#   <prefix>/share/doc/OmbrixSherpa/  LICENSE, THIRD-PARTY-NOTICES, ONNXRUNTIME-NOTICES (and,
#                           with the test voices, TEST-VOICES-ESPEAK-NG-DATA)
#
# Every run-time path is relative to $ORIGIN, so the prefix can be moved or copied
# anywhere after installation and the programs still find their libraries and the
# plug-in, without LD_LIBRARY_PATH; the package configuration files compute the prefix
# from their own location in the same way.
#
# Voices. The real default voice cannot be built here; scripts/install-voice.sh installs
# it into a prefix. The synthetic test voices of the build tree (test tones, not speech)
# are installed only on request, in either of two ways:
#   cmake -DOMBRIX_INSTALL_TEST_VOICES=ON ...       part of every installation
#   cmake --install <build> --component test-voices  once, into a given prefix
# A test voice never replaces a voice directory that holds a model but no
# TEST-VOICE.txt marker: a real voice stays where it is.
option(OMBRIX_INSTALL_TEST_VOICES
  "Install the synthetic test voices (test tones, not speech) as the default voices" OFF)

set(OMBRIX_INSTALL_BINDIR bin)
set(OMBRIX_INSTALL_LIBDIR lib)
set(OMBRIX_INSTALL_INCLUDEROOT include)
set(OMBRIX_INSTALL_INCLUDEDIR ${OMBRIX_INSTALL_INCLUDEROOT}/ombrix)
set(OMBRIX_INSTALL_MODELDIR share/files)
set(OMBRIX_INSTALL_DOCDIR share/doc/OmbrixSherpa)
set(OMBRIX_INSTALL_CMAKEDIR ${OMBRIX_INSTALL_LIBDIR}/cmake)
set(OMBRIX_INSTALL_PKGCONFIGDIR ${OMBRIX_INSTALL_LIBDIR}/pkgconfig)

# SONAMEs stay the bare file names (no version suffix): the plug-in's NEEDED entry is
# exactly libOmbrixSDK.so, which is what a host's own SDK provides.
install(TARGETS OmbrixSDK EXPORT OmbrixSDKTargets
  LIBRARY DESTINATION ${OMBRIX_INSTALL_LIBDIR} COMPONENT runtime
  INCLUDES DESTINATION ${OMBRIX_INSTALL_INCLUDEROOT})
install(TARGETS OmbrixSherpa
  LIBRARY DESTINATION ${OMBRIX_INSTALL_LIBDIR} COMPONENT runtime)
install(FILES ${SHERPA_ONNX_LIBRARIES}
  DESTINATION ${OMBRIX_INSTALL_LIBDIR} COMPONENT runtime)

# Programs register themselves in tools/CMakeLists.txt with
#   set_property(GLOBAL APPEND PROPERTY OMBRIX_INSTALLED_PROGRAMS <target>)
get_property(_ombrix_programs GLOBAL PROPERTY OMBRIX_INSTALLED_PROGRAMS)
foreach(_program IN LISTS _ombrix_programs)
  if(TARGET ${_program})
    install(TARGETS ${_program} RUNTIME DESTINATION ${OMBRIX_INSTALL_BINDIR} COMPONENT runtime)
  endif()
endforeach()

# The voice installer goes with the programs; the ONNX-to-ORT converter it runs goes to
# lib/ beside the onnxruntime it links.
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/install-voice.sh
  DESTINATION ${OMBRIX_INSTALL_BINDIR} RENAME ombrix-install-voice COMPONENT runtime)
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/install-model.sh
  DESTINATION ${OMBRIX_INSTALL_BINDIR} RENAME ombrix-install-model COMPONENT runtime)
if(TARGET ombrix-convert-model)
  install(TARGETS ombrix-convert-model RUNTIME DESTINATION ${OMBRIX_INSTALL_LIBDIR} COMPONENT runtime)
endif()

# The model checker runs in a process of its own before the plug-in loads model files;
# the plug-in looks for it next to itself, so it goes to lib/ with the plug-in.
if(TARGET ombrix-sherpa-check)
  install(TARGETS ombrix-sherpa-check RUNTIME DESTINATION ${OMBRIX_INSTALL_LIBDIR} COMPONENT runtime)
endif()

file(GLOB _ombrix_host_headers ${CMAKE_SOURCE_DIR}/host/*.h)
install(FILES ${_ombrix_host_headers}
  DESTINATION ${OMBRIX_INSTALL_INCLUDEDIR} COMPONENT development)

# ---- package configuration for consumers (CMake and pkg-config) --------------------
include(CMakePackageConfigHelpers)
set(_ombrix_package_dir ${CMAKE_BINARY_DIR}/package)
install(EXPORT OmbrixSDKTargets NAMESPACE Ombrix::
  DESTINATION ${OMBRIX_INSTALL_CMAKEDIR}/OmbrixSDK COMPONENT development)
foreach(_package OmbrixSDK OmbrixSherpa)
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/package/${_package}Config.cmake.in
    ${_ombrix_package_dir}/${_package}Config.cmake
    INSTALL_DESTINATION ${OMBRIX_INSTALL_CMAKEDIR}/${_package}
    PATH_VARS OMBRIX_INSTALL_LIBDIR OMBRIX_INSTALL_INCLUDEROOT OMBRIX_INSTALL_MODELDIR)
  # 0.x: a minor version may change the interface.
  write_basic_package_version_file(${_ombrix_package_dir}/${_package}ConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
  install(FILES ${_ombrix_package_dir}/${_package}Config.cmake
                ${_ombrix_package_dir}/${_package}ConfigVersion.cmake
    DESTINATION ${OMBRIX_INSTALL_CMAKEDIR}/${_package} COMPONENT development)
endforeach()
foreach(_pc ombrix-sdk ombrix-sherpa)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/package/${_pc}.pc.in ${_ombrix_package_dir}/${_pc}.pc @ONLY)
  install(FILES ${_ombrix_package_dir}/${_pc}.pc
    DESTINATION ${OMBRIX_INSTALL_PKGCONFIGDIR} COMPONENT development)
endforeach()

# ---- licence and notices ---------------------------------------------------------------
# The installation redistributes sherpa-onnx, espeak-ng and onnxruntime: their notices go
# with it.
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE ${CMAKE_SOURCE_DIR}/THIRD-PARTY-NOTICES
  ${CMAKE_SOURCE_DIR}/notices/ONNXRUNTIME-NOTICES
  DESTINATION ${OMBRIX_INSTALL_DOCDIR} COMPONENT runtime)

# The test voices carry Debian's espeak-ng phoneme data (GPL-3.0-or-later): their notice
# names the package version they were copied from, and goes with them.
if(DEFINED OMBRIX_ESPEAK_DATA_SOURCE)
  execute_process(COMMAND dpkg-query -W "-f=\${Version}" espeak-ng-data
    OUTPUT_VARIABLE OMBRIX_ESPEAK_DATA_VERSION RESULT_VARIABLE _ombrix_dpkg_result ERROR_QUIET)
  if(NOT _ombrix_dpkg_result EQUAL 0 OR OMBRIX_ESPEAK_DATA_VERSION STREQUAL "")
    set(OMBRIX_ESPEAK_DATA_VERSION "unknown (not a Debian package on the build machine)")
  endif()
  configure_file(${CMAKE_SOURCE_DIR}/notices/TEST-VOICES-ESPEAK-NG-DATA.in
    ${CMAKE_BINARY_DIR}/notices/TEST-VOICES-ESPEAK-NG-DATA @ONLY)
  if(OMBRIX_INSTALL_TEST_VOICES)
    install(FILES ${CMAKE_BINARY_DIR}/notices/TEST-VOICES-ESPEAK-NG-DATA
      DESTINATION ${OMBRIX_INSTALL_DOCDIR} COMPONENT test-voices)
  else()
    install(FILES ${CMAKE_BINARY_DIR}/notices/TEST-VOICES-ESPEAK-NG-DATA
      DESTINATION ${OMBRIX_INSTALL_DOCDIR} COMPONENT test-voices EXCLUDE_FROM_ALL)
  endif()
endif()

# The model tree exists in every installation, so that its place is visible.
install(DIRECTORY DESTINATION ${OMBRIX_INSTALL_MODELDIR} COMPONENT runtime)

set(_ombrix_test_voice_code "
  set(OMBRIX_TEST_VOICE_SOURCE \"${CMAKE_BINARY_DIR}/${OMBRIX_INSTALL_MODELDIR}\")
  set(OMBRIX_TEST_VOICE_DESTINATION \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${OMBRIX_INSTALL_MODELDIR}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/InstallTestVoices.cmake\")
")
if(OMBRIX_INSTALL_TEST_VOICES)
  install(CODE "${_ombrix_test_voice_code}" COMPONENT test-voices)
else()
  install(CODE "${_ombrix_test_voice_code}" COMPONENT test-voices EXCLUDE_FROM_ALL)
endif()
