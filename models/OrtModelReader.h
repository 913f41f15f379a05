#pragma once

// The ORT-format (onnxruntime flatbuffer) reader: the same facts as the ONNX reader, read
// with bounds checks from the bytes of a file (never past them).

#include "models/ModelFileAccess.h"
#include "models/ModelFileInspection.h"

#include <string>

namespace ombrix::extensions::sherpa::model_files {

/// True when the bytes carry the ORT-format file identifier "ORTM".
bool hasOrtIdentifier(Bytes data);

/// Fills `info` from an ORT-format model. False, with `reason` (no path), when the model
/// graph cannot be reached.
bool readOrtModel(Bytes data, ModelFileInfo& info, std::string& reason);

} // namespace ombrix::extensions::sherpa::model_files
