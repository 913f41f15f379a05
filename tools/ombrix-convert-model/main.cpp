// ombrix-convert-model: writes an ONNX model in onnxruntime's ORT format with the
// installation's own onnxruntime (lib/libonnxruntime.so), so the ORT file always matches
// the runtime that loads it.
//
//   ombrix-convert-model INPUT.onnx OUTPUT.ort
//
// onnxruntime loads the model with basic graph optimisations only (the hardware-
// independent ones; higher levels can bake machine-specific kernels into the file) and
// saves the optimised graph, metadata included, in ORT format. The result computes exactly
// what the ONNX model does. It is written under a temporary name beside OUTPUT, checked
// for the "ORTM" identifier and renamed, so OUTPUT is either the complete new file or
// untouched. Exit status: 0 converted, 1 the conversion failed, 2 bad usage.

#include "OnnxRuntimeCApi.h"

#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>

namespace {

namespace fs = std::filesystem;
using namespace ombrix::ort;

constexpr int kExitConverted = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// An ORT-format file is a flatbuffer whose file identifier sits at byte 4.
constexpr std::size_t kOrtIdentifierOffset = 4;
constexpr std::string_view kOrtIdentifier = "ORTM";

// The functions of the OrtApi table the conversion calls.
class OrtFunctions {
public:
    // False when the library does not offer table version kOrtApiVersion.
    bool load()
    {
        const OrtApiBase* base = OrtGetApiBase();
        table_ = base == nullptr ? nullptr : static_cast<const AnyFunction*>(base->GetApi(kOrtApiVersion));
        version_ = base == nullptr ? "" : base->GetVersionString();
        return table_ != nullptr;
    }

    template <typename Function>
    Function at(std::size_t index) const
    {
        return reinterpret_cast<Function>(table_[index]);
    }

    const char* version() const { return version_; }

private:
    using AnyFunction = void (*)();
    const AnyFunction* table_ = nullptr;
    const char* version_ = "";
};

OrtFunctions ort;

struct StatusDeleter {
    void operator()(OrtStatus* status) const { ort.at<ReleaseStatusFn>(kReleaseStatus)(status); }
};
struct EnvDeleter {
    void operator()(OrtEnv* env) const { ort.at<ReleaseEnvFn>(kReleaseEnv)(env); }
};
struct SessionOptionsDeleter {
    void operator()(OrtSessionOptions* options) const
    {
        ort.at<ReleaseSessionOptionsFn>(kReleaseSessionOptions)(options);
    }
};
struct SessionDeleter {
    void operator()(OrtSession* session) const { ort.at<ReleaseSessionFn>(kReleaseSession)(session); }
};
using Status = std::unique_ptr<OrtStatus, StatusDeleter>;
using Env = std::unique_ptr<OrtEnv, EnvDeleter>;
using SessionOptions = std::unique_ptr<OrtSessionOptions, SessionOptionsDeleter>;
using Session = std::unique_ptr<OrtSession, SessionDeleter>;

// True when `raw` is success (null); otherwise prints what failed with onnxruntime's
// message and releases the status.
bool succeeded(OrtStatus* raw, const std::string& what)
{
    const Status status(raw);
    if (!status) {
        return true;
    }
    std::fprintf(stderr, "ombrix-convert-model: %s: %s\n", what.c_str(),
        ort.at<GetErrorMessageFn>(kGetErrorMessage)(status.get()));
    return false;
}

bool hasOrtIdentifier(const fs::path& path)
{
    std::array<char, kOrtIdentifierOffset + 4> header{};
    std::ifstream file(path, std::ios::binary);
    return file.read(header.data(), header.size())
        && std::string_view(header.data() + kOrtIdentifierOffset, 4) == kOrtIdentifier;
}

// Loads `input` with basic optimisations and lets onnxruntime save it to `output` in ORT
// format.
bool convert(const fs::path& input, const fs::path& output)
{
    OrtEnv* rawEnv = nullptr;
    if (!succeeded(ort.at<CreateEnvFn>(kCreateEnv)(ORT_LOGGING_LEVEL_ERROR, "ombrix-convert-model", &rawEnv),
            "cannot start onnxruntime")) {
        return false;
    }
    const Env env(rawEnv);
    OrtSessionOptions* rawOptions = nullptr;
    if (!succeeded(ort.at<CreateSessionOptionsFn>(kCreateSessionOptions)(&rawOptions),
            "cannot create session options")) {
        return false;
    }
    const SessionOptions options(rawOptions);
    if (!succeeded(ort.at<SetSessionGraphOptimizationLevelFn>(kSetSessionGraphOptimizationLevel)(
                       options.get(), ORT_ENABLE_BASIC),
            "cannot set the optimisation level")
        || !succeeded(ort.at<AddSessionConfigEntryFn>(kAddSessionConfigEntry)(
                          options.get(), "session.save_model_format", "ORT"),
            "cannot ask for the ORT format")
        || !succeeded(
            ort.at<SetOptimizedModelFilePathFn>(kSetOptimizedModelFilePath)(options.get(), output.c_str()),
            "cannot set the output file")) {
        return false;
    }
    OrtSession* rawSession = nullptr;
    if (!succeeded(
            ort.at<CreateSessionFn>(kCreateSession)(env.get(), input.c_str(), options.get(), &rawSession),
            "cannot convert " + input.string())) {
        return false;
    }
    const Session session(rawSession);
    return true;
}

void printUsage(std::FILE* to)
{
    std::fprintf(to,
        "Usage: ombrix-convert-model INPUT.onnx OUTPUT.ort\n"
        "Writes the ONNX model INPUT in ORT format to OUTPUT with this installation's\n"
        "onnxruntime (basic graph optimisations). OUTPUT is replaced only on success.\n");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && (std::string_view(argv[1]) == "-h" || std::string_view(argv[1]) == "--help")) {
        printUsage(stdout);
        return kExitConverted;
    }
    if (argc != 3) {
        printUsage(stderr);
        return kExitUsage;
    }
    const fs::path input = argv[1];
    const fs::path output = argv[2];
    std::error_code error;
    if (!fs::is_regular_file(input, error)) {
        std::fprintf(stderr, "ombrix-convert-model: %s is not a file\n", input.c_str());
        return kExitFailed;
    }
    if (!ort.load()) {
        std::fprintf(stderr, "ombrix-convert-model: the onnxruntime library does not offer API version %u\n",
            kOrtApiVersion);
        return kExitFailed;
    }
    const fs::path directory = output.parent_path().empty() ? fs::path(".") : output.parent_path();
    fs::create_directories(directory, error);
    // onnxruntime picks the format from the session option, not from the name; the
    // temporary name still ends in ".ort" so nothing can mistake it for ONNX.
    const fs::path temporary
        = directory / ("." + output.filename().string() + ".tmp-" + std::to_string(getpid()) + ".ort");
    bool ok = convert(input, temporary);
    if (ok && !hasOrtIdentifier(temporary)) {
        std::fprintf(stderr, "ombrix-convert-model: onnxruntime %s did not write an ORT-format file for %s\n",
            ort.version(), input.c_str());
        ok = false;
    }
    if (ok) {
        fs::rename(temporary, output, error);
        if (error) {
            std::fprintf(stderr, "ombrix-convert-model: cannot write %s: %s\n", output.c_str(),
                error.message().c_str());
            ok = false;
        }
    }
    fs::remove(temporary, error);
    return ok ? kExitConverted : kExitFailed;
}
