#pragma once

// WAV output of the programs: a file, or standard output for "-" (a pipe gets the
// unknown-size marker in its header; see WavWriter).

#include "host/GraphRunner.h"

#include <string>

namespace ombrix::tools {

/// The output name that means standard output.
constexpr const char* kStandardStreamName = "-";

/**
 * Checks, before any work is done, that `path` can be written: ToolError (kExitRuntime)
 * "cannot write PATH: <the system's reason>" otherwise. An existing file is left as it
 * is, and no file is left behind. Standard output ("-") always passes.
 */
void checkWritable(const std::string& path);

/// Opens `writer` on `path`, or on standard output for "-"; ToolError (kExitRuntime)
/// "cannot write PATH: <the system's reason>" when that fails.
void openWavOutput(ombrix::WavWriter& writer, const std::string& path, int sampleRate, unsigned channels,
    ombrix::WavWriter::Format format);

} // namespace ombrix::tools
