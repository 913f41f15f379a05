#pragma once

// The checks of tokens.txt and of the OpenFst graph header on contents already read, for
// the file-level functions of ModelFileInspection.h and for fuzzing. `path` only names the
// file in the problem line.

#include "models/ModelFileAccess.h"
#include "models/ModelFileInspection.h"

#include <optional>
#include <string>
#include <string_view>

namespace ombrix::extensions::sherpa::model_files {

/// checkVoiceTokensFile on the text of the file.
std::string checkVoiceTokensText(const std::string& path, std::string_view text);

/// readRecognizerTokens on the text of the file.
std::optional<RecognizerTokens> readRecognizerTokensText(
    const std::string& path, std::string_view text, std::string& problem);

/// checkGraphFileHeader on the bytes of the file.
std::string checkGraphHeaderBytes(const std::string& path, Bytes data);

} // namespace ombrix::extensions::sherpa::model_files
