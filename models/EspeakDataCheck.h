#pragma once

// The structure of espeak-ng's phoneme tables (phontab, phonindex, phondata, intonations),
// checked the way espeak-ng's loader and phoneme interpreter will walk them. The loader
// checks only that the files can be read and the phondata version; every offset inside
// them is trusted, so a cut or inconsistent table makes espeak-ng read outside its
// buffers, often only on a later text. These checks refuse such tables before any library
// call. The same holds for the `<language>_dict` dictionaries: espeak-ng walks every hash
// chain and rule group of one without bounds when it loads it, and a text may switch
// language and load any of them in mid-sentence. They cannot see damage that keeps the
// structure (altered formant values, a dictionary from another build).
//
// Pure functions on bytes: no file access, no allocation beyond the result and a bitmap
// of the phonindex words; thread-safe.

#include "models/ModelFileAccess.h"

#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace ombrix::extensions::sherpa::model_files {

/// The four table files of one data directory, whole.
struct EspeakTables {
    Bytes phontab;
    Bytes phonindex;
    Bytes phondata;
    Bytes intonations;
};

/// A fault found in the tables: the file (one of the four names) and what is wrong.
struct EspeakTableFault {
    std::string file;
    std::string what;
};

/// The first structural fault of the tables, or std::nullopt when they hold together.
std::optional<EspeakTableFault> findEspeakTableFault(const EspeakTables& tables);

/// The first structural fault of a `<language>_dict` dictionary, walked the way espeak-ng
/// 1.51's LoadDictionary, InitGroups and LookupDict2 walk it: the header (1024 hash
/// chains, the rules offset), every hash chain and entry ending before the rules, every
/// phoneme string terminated inside its entry, and the rule groups well formed up to a
/// final 0 inside the file; std::nullopt when it holds together. Linear in the size, no
/// allocation beyond the result.
std::optional<std::string> findDictionaryFault(Bytes dictionary);

/// The tune names that `intonations` defines (its records' names), for checking the names
/// that voice files ask for. Assumes the intonations file passed findEspeakTableFault.
std::set<std::string> espeakTuneNames(Bytes intonations);

/// The first tune that a voice file (lang/... or voices/...) names on a "tunes" line and
/// that `tunes` lacks; std::nullopt when every named tune exists. espeak-ng reads up to
/// six names per line and ignores text after "//".
std::optional<std::string> findMissingTune(std::string_view voiceFile, const std::set<std::string>& tunes);

} // namespace ombrix::extensions::sherpa::model_files
