#pragma once

// The judgement of a model's metadata, on what the ONNX or ORT reader found, for the
// file-level checks of ModelFileInspection.h and for fuzzing. `path` only names the file
// in the problem line; "" when nothing is wrong.

#include "models/ModelFileInspection.h"

#include <string>

namespace ombrix::extensions::sherpa::model_files {

/// A voice's numbers that are present but cannot belong to a working voice: a sample rate
/// outside 8000 to 192000 Hz, a negative speaker count.
std::string voiceValueProblem(const std::string& path, const ModelFileInfo& info);

/// A recogniser's metadata. With `requireAll`, missing, empty or malformed values are
/// problems (the library ends the process on them); without, only values that are there
/// and readable are judged, against what a working model can have: positive sizes and
/// chunk lengths, and one entry per encoder stack in every per-stack list.
std::string recognizerMetadataProblem(const std::string& path, const ModelFileInfo& info, bool requireAll);

} // namespace ombrix::extensions::sherpa::model_files
