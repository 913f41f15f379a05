// The part of onnxruntime's C API (onnxruntime_c_api.h, version 1.27.0, the library
// sherpa-onnx 1.13.4 ships) that the model converter uses, declared here because the
// prebuilt package carries no headers.
//
// OrtApi is a table of function pointers whose order never changes between releases
// (new functions are only appended), so a function is reached through its fixed index in
// the table. Each index below was checked against the symbols of the shipped
// libonnxruntime.so 1.27.0 (OrtApis::<name> at the address the table holds).
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

struct OrtEnv;
struct OrtSession;
struct OrtSessionOptions;
struct OrtStatus;

// Any table version from the one that added session configuration entries up to the
// library's own works; an older table is a prefix of a newer one.
inline constexpr std::uint32_t kOrtApiVersion = 17;

enum OrtLoggingLevel : int {
    ORT_LOGGING_LEVEL_VERBOSE = 0,
    ORT_LOGGING_LEVEL_INFO = 1,
    ORT_LOGGING_LEVEL_WARNING = 2,
    ORT_LOGGING_LEVEL_ERROR = 3,
    ORT_LOGGING_LEVEL_FATAL = 4,
};

enum GraphOptimizationLevel : int {
    ORT_DISABLE_ALL = 0,
    ORT_ENABLE_BASIC = 1,
    ORT_ENABLE_EXTENDED = 2,
    ORT_ENABLE_ALL = 99,
};

struct OrtApiBase {
    const void* (*GetApi)(std::uint32_t version);
    const char* (*GetVersionString)();
};

const OrtApiBase* OrtGetApiBase();

} // extern "C"

namespace ombrix::ort {

// Indices into the OrtApi table.
inline constexpr std::size_t kGetErrorMessage = 2;
inline constexpr std::size_t kCreateEnv = 3;
inline constexpr std::size_t kCreateSession = 7;
inline constexpr std::size_t kCreateSessionOptions = 10;
inline constexpr std::size_t kSetOptimizedModelFilePath = 11;
inline constexpr std::size_t kSetSessionGraphOptimizationLevel = 23;
inline constexpr std::size_t kReleaseEnv = 92;
inline constexpr std::size_t kReleaseStatus = 93;
inline constexpr std::size_t kReleaseSession = 95;
inline constexpr std::size_t kReleaseSessionOptions = 100;
inline constexpr std::size_t kAddSessionConfigEntry = 130;

using GetErrorMessageFn = const char* (*)(const OrtStatus*);
using CreateEnvFn = OrtStatus* (*)(OrtLoggingLevel, const char*, OrtEnv**);
using CreateSessionFn = OrtStatus* (*)(const OrtEnv*, const char*, const OrtSessionOptions*, OrtSession**);
using CreateSessionOptionsFn = OrtStatus* (*)(OrtSessionOptions**);
using SetOptimizedModelFilePathFn = OrtStatus* (*)(OrtSessionOptions*, const char*);
using SetSessionGraphOptimizationLevelFn = OrtStatus* (*)(OrtSessionOptions*, GraphOptimizationLevel);
using ReleaseEnvFn = void (*)(OrtEnv*);
using ReleaseStatusFn = void (*)(OrtStatus*);
using ReleaseSessionFn = void (*)(OrtSession*);
using ReleaseSessionOptionsFn = void (*)(OrtSessionOptions*);
using AddSessionConfigEntryFn = OrtStatus* (*)(OrtSessionOptions*, const char*, const char*);

} // namespace ombrix::ort
