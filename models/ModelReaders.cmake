# The model-file readers (models/ModelFileInspection.h and the per-format files behind it).
# Programs that use the readers without the plug-in's core (the model checker, the reader
# fuzzer) compile exactly these.
set(OMBRIX_MODEL_READER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/ModelFileInspection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ModelFileAccess.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TextFields.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OnnxModelReader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/OrtModelReader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ModelTextChecks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/DecodingGraphCheck.cpp
  ${CMAKE_CURRENT_LIST_DIR}/EspeakDataCheck.cpp)
