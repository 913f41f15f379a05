#pragma once

// Reading speech-model files without handing them to sherpa-onnx.
//
// sherpa-onnx 1.13.4 ends the whole process (_Exit, exit inside espeak-ng, an exception
// escaping its C functions, a segfault) on most kinds of bad file contents. These
// functions look at the same files the way the library will read them and name what is
// wrong, so that a failure can be reported as "this file, this fault" before anything
// risky happens. They reject only what is known to break the library (measured against
// 1.13.4) or what cannot be a usable model at all; everything else is left to the model
// checker program, which runs the real library in a child process (ModelFileChecker.h).
//
// Every function here is self-contained (no host SDK, no sherpa-onnx), thread-safe,
// never throws for bad file contents, allocates, and reads the files (model files are
// memory-mapped and only the pages holding the structure are touched).
//
// Every "problem" string is one line that starts with the path of the file at fault.
//
// This header is the front; the readers behind it are one file per format: the model
// files in OnnxModelReader and OrtModelReader, tokens.txt and the graph header in
// ModelTextChecks, the whole decoding graph in DecodingGraphCheck, espeak-ng data in
// EspeakDataCheck, with ModelFileAccess (opening and mapping) and TextFields (lines and
// fields) shared by them. ModelReaders.cmake lists them
// for programs that compile the readers without the plug-in's core.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ombrix::extensions::sherpa {

enum class ModelFileFormat {
    Onnx, ///< ONNX protobuf
    Ort, ///< onnxruntime's own flatbuffer format (identifier "ORTM")
};

/// What a model file declares about itself.
struct ModelFileInfo {
    ModelFileFormat format = ModelFileFormat::Onnx;
    /// The model's metadata_props, in file order.
    std::vector<std::pair<std::string, std::string>> metadata;
    /// Declared shape of the graph's first output; std::nullopt for a symbolic or
    /// undeclared dimension. Empty when the output has no declared shape.
    std::vector<std::optional<int64_t>> firstOutputShape;

    /// The value stored under `key` up to its first NUL (what the library reads), or
    /// std::nullopt when the key is absent.
    std::optional<std::string> metadataValue(std::string_view key) const;
};

/// True when onnxruntime will parse `path` as ORT format: the name ends in ".ort" in any
/// letter case (onnxruntime decides by the name, not by the contents).
bool hasOrtFileName(const std::string& path);

/// Reads the format, metadata and first output shape of a model file. The contents must
/// match the format onnxruntime will choose from the name. Returns std::nullopt and sets
/// `problem` when the file is missing, unreadable, not a model, or in the other format.
std::optional<ModelFileInfo> readModelFileInfo(const std::string& path, std::string& problem);

/// The number of values per frame in the first output (its last dimension), when the
/// file declares it. For a CTC recogniser this is the vocabulary size.
std::optional<int64_t> modelOutputSize(const ModelFileInfo& info);

/// "" unless `path` exists and is neither a regular file nor a directory (after following
/// symbolic links): a FIFO, socket or device, on which a reader that opens it blocks or
/// never ends. Never opens it. Every reader here refuses such files by itself; this is for
/// code that hands a path to the library without reading it first.
std::string checkNotSpecialFile(const std::string& path);

// ---- text-to-speech (VITS / piper voice with espeak-ng data) ----------------------------

/// The model file: readable, in the format its name promises, with the metadata the
/// piper path needs (sample_rate from 8000 to 192000 Hz, n_speakers >= 0, language,
/// comment naming piper, coqui or icefall, and an espeak-ng voice). Returns "" when
/// nothing is wrong.
std::string checkVoiceModelFile(const std::string& path);

/// Only the metadata values of a readable voice model that no working voice can have
/// (the sample rate and speaker count above); "" also when the file cannot be read or a
/// value is missing, which the library itself refuses.
std::string checkVoiceModelValues(const std::string& path);

/// tokens.txt of a voice: LF line ends, no empty line, one or two fields per line, one
/// code point per symbol, integer ids, no duplicate symbol, and the pad "_", start "^"
/// and end "$" symbols present. Returns "" when nothing is wrong.
std::string checkVoiceTokensFile(const std::string& path);

/// An espeak-ng data directory (its espeak-ng-data subdirectory when it has one, as
/// espeak-ng chooses): phontab, phonindex, phondata and intonations present, of the data
/// version and sample rate the built-in espeak-ng accepts, and structurally whole (every
/// table, program, jump, call and sound item inside its file; see EspeakDataCheck.h);
/// every tune that a voice file under lang/ or voices/ names defined; and no FIFO, socket
/// or device among its files. Reads the four tables and the voice files (about 0.7 MB for
/// the full data). Returns "" when nothing is wrong.
std::string checkEspeakDataDirectory(const std::string& path);

/// The files of a data directory that the cache key covers, in a fixed order.
std::vector<std::string> espeakDataFiles(const std::string& dataDirectory);

// ---- streaming recogniser (Zipformer2 CTC with an HLG graph) ----------------------------

/// The model file: readable, in the format its name promises, with the metadata the
/// streaming Zipformer2 CTC model needs: positive integer lists encoder_dims,
/// query_head_dims, value_head_dims, num_heads, num_encoder_layers, cnn_module_kernels
/// and left_context_len with one entry per encoder stack each, and positive T and
/// decode_chunk_len. Returns "" when nothing is wrong.
std::string checkRecognizerModelFile(const std::string& path);

/// Only the metadata values of a readable recogniser model that no working model can
/// have (non-positive sizes or chunk lengths, per-stack lists of the wrong length); ""
/// also when the file cannot be read or a value is missing or malformed, which the
/// library itself refuses.
std::string checkRecognizerModelValues(const std::string& path);

/// The token ids of a recogniser's tokens.txt.
struct RecognizerTokens {
    std::set<int64_t> ids;
};

/// Reads a recogniser's tokens.txt: one or two fields per line (a lone field is the id of
/// the space symbol), integer ids, and one of the blank symbols <blk>, <eps>, <blank>.
/// A trailing carriage return is accepted, as the library accepts it.
std::optional<RecognizerTokens> readRecognizerTokens(const std::string& path, std::string& problem);

/// The OpenFst header of a decoding graph: the magic number, fst type "vector" or
/// "const" and arc type "standard", which is all the library can read. The whole graph
/// (states, arcs, cycles, final states) is checked by DecodingGraphCheck.h. Returns "" when
/// nothing is wrong.
std::string checkGraphFileHeader(const std::string& path);

} // namespace ombrix::extensions::sherpa
