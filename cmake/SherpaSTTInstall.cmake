# The speech-to-text node for hosts that compile it in (it is a class, not a node type of
# the plug-in, and the plug-in exports only SherpaExtension):
#
#   <prefix>/include/ombrix/sherpa/SherpaSTTNode.h    the node's header (needs only the
#                                                     SDK headers beside it)
#   <prefix>/lib/libOmbrixSherpaSTT.a                 the node and what it needs
#   <prefix>/lib/cmake/OmbrixSherpa/OmbrixSherpaSTTTargets.cmake
#                                                     Ombrix::SherpaSTT, for
#                                                     find_package(OmbrixSherpa COMPONENTS STT)
#   <prefix>/lib/pkgconfig/ombrix-sherpa-stt.pc       the same for pkg-config
#
# Linking it needs libOmbrixSDK.so and libsherpa-onnx-c-api.so of the same installation;
# both package descriptions name them. The node's model checker is found beside that
# sherpa-onnx library, so a host built anywhere uses the installation's checker.
set(_ombrix_stt_libdir lib)
set(_ombrix_stt_includeroot include)

install(TARGETS OmbrixSherpaSTT ARCHIVE DESTINATION ${_ombrix_stt_libdir} COMPONENT development)
install(FILES ${CMAKE_SOURCE_DIR}/include/ombrix/sherpa/SherpaSTTNode.h
  DESTINATION ${_ombrix_stt_includeroot}/ombrix/sherpa COMPONENT development)

set(_ombrix_stt_package_dir ${CMAKE_BINARY_DIR}/package)
configure_file(${CMAKE_CURRENT_LIST_DIR}/package/OmbrixSherpaSTTTargets.cmake.in
  ${_ombrix_stt_package_dir}/OmbrixSherpaSTTTargets.cmake @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/package/ombrix-sherpa-stt.pc.in
  ${_ombrix_stt_package_dir}/ombrix-sherpa-stt.pc @ONLY)
install(FILES ${_ombrix_stt_package_dir}/OmbrixSherpaSTTTargets.cmake
  DESTINATION ${_ombrix_stt_libdir}/cmake/OmbrixSherpa COMPONENT development)
install(FILES ${_ombrix_stt_package_dir}/ombrix-sherpa-stt.pc
  DESTINATION ${_ombrix_stt_libdir}/pkgconfig COMPONENT development)
