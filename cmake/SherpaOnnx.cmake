# The prebuilt sherpa-onnx C library from the npm package (fetched by
# scripts/setup-deps.sh). Both libraries are copied next to our own in lib/,
# where the plug-in's $ORIGIN run-time path finds them.
find_package(Threads REQUIRED)
set(SHERPA_ONNX_VERSION 1.13.4)
set(SHERPA_ONNX_DIR ${CMAKE_SOURCE_DIR}/.deps/sherpa-onnx-linux-x64-${SHERPA_ONNX_VERSION}
    CACHE PATH "Directory holding libsherpa-onnx-c-api.so and libonnxruntime.so")
if(NOT EXISTS ${SHERPA_ONNX_DIR}/libsherpa-onnx-c-api.so)
  message(FATAL_ERROR "sherpa-onnx ${SHERPA_ONNX_VERSION} not found in ${SHERPA_ONNX_DIR}; run scripts/setup-deps.sh")
endif()

file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
foreach(lib libsherpa-onnx-c-api.so libonnxruntime.so)
  configure_file(${SHERPA_ONNX_DIR}/${lib} ${CMAKE_BINARY_DIR}/lib/${lib} COPYONLY)
endforeach()

add_library(sherpa_onnx_c_api SHARED IMPORTED GLOBAL)
set_target_properties(sherpa_onnx_c_api PROPERTIES
  IMPORTED_LOCATION ${CMAKE_BINARY_DIR}/lib/libsherpa-onnx-c-api.so
  IMPORTED_SONAME libsherpa-onnx-c-api.so)
set(SHERPA_ONNX_LIBRARIES
  ${CMAKE_BINARY_DIR}/lib/libsherpa-onnx-c-api.so
  ${CMAKE_BINARY_DIR}/lib/libonnxruntime.so)
