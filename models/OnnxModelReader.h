#pragma once

// The ONNX protobuf reader: the model's metadata_props and the shape of the graph's first
// output, read with bounds checks from the bytes of a file (never past them).

#include "models/ModelFileAccess.h"
#include "models/ModelFileInspection.h"

#include <string>

namespace ombrix::extensions::sherpa::model_files {

/// Fills `info` from an ONNX model. False, with `reason` (no path), when the bytes are not
/// a protobuf message or have no IR version or graph.
bool readOnnxModel(Bytes data, ModelFileInfo& info, std::string& reason);

} // namespace ombrix::extensions::sherpa::model_files
