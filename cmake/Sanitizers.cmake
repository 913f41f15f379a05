# OMBRIX_SANITIZE=address: ASan + UBSan; OMBRIX_SANITIZE=thread: TSan.
# The prebuilt sherpa-onnx/onnxruntime libraries are not instrumented; what
# they leak or race on is suppressed in tests/sanitizers/*.supp, limited to
# frames inside those libraries.
if(OMBRIX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(OMBRIX_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT OMBRIX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "OMBRIX_SANITIZE must be '', 'address' or 'thread'")
endif()
