# Install-time script: copies the synthetic test voices of the build tree's default model
# tree into an installation. Run by the "test-voices" install component (see Install.cmake).
#   OMBRIX_TEST_VOICE_SOURCE       <build>/share/files
#   OMBRIX_TEST_VOICE_DESTINATION  <prefix>/share/files
# A voice directory that already holds a model and no TEST-VOICE.txt marker is a real
# voice (installed by scripts/install-voice.sh or by hand) and is left untouched.
set(_voices
  en_GB/vits-piper-en_GB-southern_english_female-low
  de_DE/vits-piper-de_DE-quorvane-low)
set(_marker TEST-VOICE.txt)

foreach(_voice IN LISTS _voices)
  set(_from "${OMBRIX_TEST_VOICE_SOURCE}/${_voice}")
  set(_to "${OMBRIX_TEST_VOICE_DESTINATION}/${_voice}")
  if(NOT IS_DIRECTORY "${_from}")
    message(FATAL_ERROR "The test voice ${_from} has not been built (target ombrix_fixtures; "
                        "the tests must be enabled with OMBRIX_BUILD_TESTS=ON).")
  endif()
  file(GLOB _models "${_to}/*.ort" "${_to}/*.onnx")
  if(_models AND NOT EXISTS "${_to}/${_marker}")
    message(STATUS "Keeping the voice in ${_to}: it is not a test voice")
    continue()
  endif()
  message(STATUS "Installing test voice: ${_to}")
  file(REMOVE_RECURSE "${_to}")
  file(COPY "${_from}/" DESTINATION "${_to}")
  file(WRITE "${_to}/${_marker}"
    "This directory holds a synthetic test voice: it speaks in test tones, not speech.\n"
    "Replace it with a real voice, for the English voice with bin/ombrix-install-voice of this installation.\n"
    "Its espeak-ng-data/ is Debian's espeak-ng data (GPL-3.0-or-later): see\n"
    "share/doc/OmbrixSherpa/TEST-VOICES-ESPEAK-NG-DATA.\n")
endforeach()
