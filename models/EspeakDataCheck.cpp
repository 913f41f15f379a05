// espeak-ng data directories (declared in ModelFileInspection.h) and the structure of
// their phoneme tables (EspeakDataCheck.h).
//
// Byte layouts, as espeak-ng's compiler writes them and its loader reads them (all
// little-endian C-struct dumps):
//   phontab      u8 table count, 3 zero bytes; per table: u8 entry count (with a final
//                all-zero entry), u8 includes (0 or 1 + an earlier table), 2 zero bytes,
//                32-byte NUL-padded name, then 16-byte entries whose u16 at +8 is the
//                phoneme's program: a word index into phonindex (0 = none).
//   phonindex    u32 0x014801, then u16 instruction words from word 2.
//   phondata     u32 version 0x014801, u32 sample rate 22050, then 4-byte-aligned items
//                (spectrum sequences, waves, envelopes) reached only from phonindex.
//   intonations  68-byte tune records: 12-byte name, envelope indexes at 26, 42, 45, 50
//                (below 20), the split tune's index at 55.
//   <lang>_dict  i32 1024 (the hash chain count), i32 the rules' offset, then from byte 8
//                1024 hash chains of entries (u8 total length, u8 word length | 0x40
//                compressed | 0x80 no phonemes, the word, a NUL-terminated phoneme string,
//                flag bytes), each chain ended by a 0 byte; at the rules' offset either
//                RULE_GROUP_END alone or rule groups (RULE_GROUP_START, a name, NUL-
//                terminated rules, RULE_GROUP_END) up to a 0 byte.

#include "models/EspeakDataCheck.h"

#include "models/ModelFileAccess.h"
#include "models/ModelFileInspection.h"
#include "models/TextFields.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ombrix::extensions::sherpa {

using namespace model_files;

namespace {

constexpr std::array<const char*, 4> kEspeakRequiredFiles{"phontab", "phonindex", "phondata", "intonations"};
constexpr uint32_t kEspeakDataVersion = 0x00014801; // the version the built-in espeak-ng accepts
constexpr uint32_t kEspeakSampleRate = 22050; // sherpa-onnx ends the process on any other
/// espeak-ng uses <data>/espeak-ng-data when that is a directory, else <data> itself.
constexpr const char* kNestedDataDirectory = "espeak-ng-data";

// phontab
constexpr std::size_t kPhontabHeaderBytes = 4;
constexpr std::size_t kMaxPhonemeTables = 150; // N_PHONEME_TABS
constexpr std::size_t kTableHeaderBytes = 36;
constexpr std::size_t kTableNameOffset = 4;
constexpr std::size_t kTableNameBytes = 32;
constexpr std::size_t kPhonemeEntryBytes = 16;
constexpr std::size_t kPhonemeProgramOffset = 8;

// phonindex
constexpr std::size_t kFirstProgramWord = 2; // after the u32 version
constexpr uint16_t kInstructionReturn = 0x0001;
constexpr uint16_t kIpaNameMask = 0x0f00;
constexpr uint16_t kIpaName = 0x0d00;
constexpr uint16_t kBranchKindMask = 0x0e00; // type 6: the low bit of the kind is not used
constexpr uint16_t kJump = 0x0000;
constexpr uint16_t kJumpFalse = 0x0800;
constexpr uint16_t kNextVowelStarts = 0x0a00;
constexpr uint16_t kPrevVowelEndings = 0x0c00;
/// A vowel switch is followed by six (address, address) pairs, one spectrum per vowel
/// type; address 0 is none.
constexpr std::size_t kVowelSwitchPairs = 6;
constexpr uint16_t kCall = 0x1;
constexpr uint16_t kPitchEnvelope = 0x2;
constexpr uint16_t kAmplitudeEnvelope = 0x3;

// phondata
constexpr std::size_t kPhondataHeaderBytes = 8;
constexpr std::size_t kSpectrumHeaderBytes = 4;
constexpr std::size_t kKlattFrameBytes = 64; // frame_t
constexpr std::size_t kFrameBytes = 44; // frame_t2
constexpr uint16_t kKlattFrameFlag = 0x1;
constexpr std::size_t kMaxSpectrumFrames = 24;
constexpr std::size_t kWaveHeaderBytes = 4;
constexpr std::size_t kEnvelopeBytes = 128;

// intonations
constexpr std::size_t kTuneBytes = 68;
constexpr std::size_t kTuneNameBytes = 12;
constexpr std::size_t kDefaultTunes = 4;
constexpr std::array<std::size_t, 4> kTuneEnvelopeOffsets{26, 42, 45, 50};
constexpr std::size_t kEnvelopeCount = 20; // N_ENVELOPE_DATA
constexpr std::size_t kSplitTuneOffset = 55;

// <lang>_dict
constexpr const char* kDictionarySuffix = "_dict";
constexpr int32_t kDictionaryHashChains = 1024; // N_HASH_DICT
constexpr std::size_t kDictionaryHeaderBytes = 8;
constexpr int32_t kMaxDictionaryRulesOffset = 0x8000000; // the loader's own limit
constexpr uint8_t kEntryWordLengthMask = 0x3f;
constexpr uint8_t kEntryNoPhonemes = 0x80;
constexpr std::size_t kEntryHeaderBytes = 2;
/// The word lookup copies an entry's phonemes into a buffer of N_WORD_PHONEMES bytes.
constexpr std::size_t kMaxWordPhonemes = 200;
constexpr uint8_t kRuleGroupStart = 6; // RULE_GROUP_START
constexpr uint8_t kRuleGroupEnd = 7; // RULE_GROUP_END
constexpr uint8_t kRuleLetterGroup = 18; // RULE_LETTERGP2
constexpr uint8_t kRuleReplacements = 20; // RULE_REPLACEMENTS
constexpr std::size_t kReplacementAlignment = 4;
/// InitGroups files two-letter groups into N_RULE_GROUP2 slots and groups named
/// "\001<c>" into groups3[c - 1], without checking either.
constexpr std::size_t kMaxTwoLetterGroups = 120;
constexpr unsigned kMaxThreeLetterGroupIndex = 128;

// voice files
constexpr std::size_t kMaxTunesPerLine = 6;
constexpr std::size_t kMaxVoiceFileBytes = 1u << 20;
constexpr int kMaxVoiceDirectoryDepth = 8;
constexpr std::size_t kMaxVoiceFiles = 20000;
constexpr std::array<const char*, 2> kVoiceDirectories{"lang", "voices"};

template <typename T>
T readLittleEndian(Bytes data, std::size_t position)
{
    T value;
    std::memcpy(&value, data.data() + position, sizeof value);
    return value;
}

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string quoted(Bytes name)
{
    const auto* begin = reinterpret_cast<const char*>(name.data());
    const std::string_view text(begin, strnlen(begin, name.size()));
    // Appended into one reserved string: "'" + std::string(...) inserts at the front of a
    // temporary, which g++ 12's -O3 flags as an overlapping memcpy (-Wrestrict).
    std::string result;
    result.reserve(text.size() + 2);
    result += '\'';
    result += text;
    result += '\'';
    return result;
}

// ---- phonindex ------------------------------------------------------------------------------

enum class ItemKind { Spectrum, Wave, Envelope };

struct PhondataReference {
    ItemKind kind;
    uint32_t offset;
    std::size_t word; ///< the instruction that refers to it
};

/// What decoding phonindex found: which words start an instruction, and every phondata
/// item the programs refer to.
struct Programs {
    std::size_t words = 0;
    std::vector<bool> instructionStart;
    std::vector<PhondataReference> references;
};

std::optional<EspeakTableFault> decodePrograms(Bytes phonindex, Programs& programs)
{
    const auto fault = [](std::string what) { return EspeakTableFault{"phonindex", std::move(what)}; };
    if (phonindex.size() < kFirstProgramWord * 2 || phonindex.size() % 2 != 0) {
        return fault("has " + std::to_string(phonindex.size())
            + " bytes; a phoneme index is a 4-byte version and whole 16-bit words");
    }
    if (const auto version = readLittleEndian<uint32_t>(phonindex, 0); version != kEspeakDataVersion) {
        return fault(
            "has data version " + hex(version) + "; this espeak-ng needs " + hex(kEspeakDataVersion));
    }
    const std::size_t words = phonindex.size() / 2;
    if (words == kFirstProgramWord) {
        return fault("holds no phoneme programs");
    }
    const auto word = [&](std::size_t index) { return readLittleEndian<uint16_t>(phonindex, 2 * index); };
    programs.words = words;
    programs.instructionStart.assign(words, false);
    struct Target {
        std::size_t from;
        std::size_t to;
        bool call;
    };
    std::vector<Target> targets;
    std::size_t last = kFirstProgramWord;
    for (std::size_t i = kFirstProgramWord; i < words;) {
        const uint16_t w = word(i);
        const unsigned type = w >> 12;
        std::size_t length = 1;
        if (type == 0 && (w & kIpaNameMask) == kIpaName) {
            length = 1 + ((w & 0xffu) + 1) / 2;
        } else if ((type == 2 || type == 3) && ((w & 0x0f00) == 0x0600 || (w & 0x0f00) == 0x0d00)) {
            length = 2;
        } else if (type == 9 || type >= 11) {
            length = 2;
        } else if (type == 10) {
            length = 4;
        } else if (type == 6
            && ((w & kBranchKindMask) == kNextVowelStarts || (w & kBranchKindMask) == kPrevVowelEndings)) {
            length = 1 + 2 * kVowelSwitchPairs;
        }
        if (length > words - i) {
            return fault("the instruction " + hex(w) + " at word " + std::to_string(i)
                + " runs past the end of the file (" + std::to_string(words)
                + " words): the file is cut short");
        }
        programs.instructionStart[i] = true;
        last = i;
        const uint32_t operand = length >= 2 ? word(i + 1) : 0;
        if (type == 6 && ((w & kBranchKindMask) == kJump || (w & kBranchKindMask) == kJumpFalse)) {
            // Jumps go forward by an unsigned offset, so only an offset of 0 (the jump
            // itself) can loop; espeak-ng would run it for ever.
            if ((w & 0xffu) == 0) {
                return fault(std::string((w & kBranchKindMask) == kJump ? "the jump" : "the conditional jump")
                    + " at word " + std::to_string(i) + " goes to itself, so the phoneme program never ends");
            }
            targets.push_back({i, i + (w & 0xffu), false});
        } else if (type == 6 && length > 1) {
            for (std::size_t pair = 0; pair < kVowelSwitchPairs; ++pair) {
                const uint32_t high = word(i + 1 + 2 * pair);
                const uint32_t low = word(i + 2 + 2 * pair);
                const uint32_t address = ((high & 0xfu) << 18) | (low << 2);
                if (address != 0) {
                    programs.references.push_back({ItemKind::Spectrum, address, i});
                }
            }
        } else if (type == 9) {
            const uint32_t address = ((w & 0xfu) << 16) | operand;
            const unsigned kind = (w >> 8) & 0xfu;
            if (kind == kCall) {
                targets.push_back({i, address, true});
            } else if (kind == kPitchEnvelope || kind == kAmplitudeEnvelope) {
                programs.references.push_back({ItemKind::Envelope, address, i});
            }
        } else if (type >= 11) {
            const uint32_t address = ((w & 0xfu) << 18) | (operand << 2);
            const bool wave = type == 12 || type == 15;
            if (address != 0) { // none (byte 0 is the file header)
                programs.references.push_back({wave ? ItemKind::Wave : ItemKind::Spectrum, address, i});
            }
        }
        i += length;
    }
    const uint16_t final = word(last);
    const unsigned finalType = final >> 12;
    if (final != kInstructionReturn && finalType != 11 && finalType != 12 && finalType != 15) {
        return fault("ends with the instruction " + hex(final) + " at word " + std::to_string(last)
            + ", which ends no program: the file is cut short");
    }
    for (const Target& target : targets) {
        if (target.to >= words || !programs.instructionStart[target.to]
            || (target.call && target.to < kFirstProgramWord)) {
            return fault(std::string(target.call ? "the call" : "the jump") + " at word "
                + std::to_string(target.from) + " goes to word " + std::to_string(target.to)
                + (target.to >= words ? ", past the end of the file (" + std::to_string(words) + " words)"
                                      : ", which starts no instruction"));
        }
    }
    return std::nullopt;
}

// ---- phondata -------------------------------------------------------------------------------

std::optional<EspeakTableFault> checkPhondataHeader(Bytes phondata)
{
    const auto fault = [](std::string what) { return EspeakTableFault{"phondata", std::move(what)}; };
    if (phondata.size() < kPhondataHeaderBytes) {
        return fault("is too short to be espeak-ng data");
    }
    if (const auto version = readLittleEndian<uint32_t>(phondata, 0); version != kEspeakDataVersion) {
        return fault(
            "has data version " + hex(version) + "; this espeak-ng needs " + hex(kEspeakDataVersion));
    }
    if (const auto rate = readLittleEndian<uint32_t>(phondata, 4); rate != kEspeakSampleRate) {
        return fault("has the sample rate " + std::to_string(rate) + " Hz; this espeak-ng needs "
            + std::to_string(kEspeakSampleRate));
    }
    return std::nullopt;
}

std::optional<EspeakTableFault> checkPhondataItems(Bytes phondata, std::vector<PhondataReference> references)
{
    std::sort(references.begin(), references.end(), [](const auto& a, const auto& b) {
        return a.offset != b.offset ? a.offset < b.offset : a.kind < b.kind;
    });
    const std::size_t size = phondata.size();
    for (std::size_t r = 0; r < references.size(); ++r) {
        const PhondataReference& item = references[r];
        if (r > 0 && item.offset == references[r - 1].offset && item.kind == references[r - 1].kind) {
            continue;
        }
        static constexpr std::array<const char*, 3> kNames{"spectrum", "wave", "envelope"};
        const std::string where = std::string(kNames[static_cast<std::size_t>(item.kind)]) + " at byte "
            + std::to_string(item.offset) + " (named by phonindex word " + std::to_string(item.word) + ")";
        const auto fault = [&](const std::string& what) {
            return EspeakTableFault{"phondata", where + what};
        };
        if (item.offset < kPhondataHeaderBytes) {
            return fault(" lies inside the file header");
        }
        const std::size_t start = item.offset;
        std::size_t end = 0;
        switch (item.kind) {
        case ItemKind::Spectrum: {
            if (start + kSpectrumHeaderBytes + 2 > size) {
                return fault(" starts past the end of the file (" + std::to_string(size) + " bytes)");
            }
            const std::size_t frames = phondata[start + 2];
            if (frames == 0 || frames > kMaxSpectrumFrames) {
                return fault(" has " + std::to_string(frames) + " frames; a spectrum has 1 to "
                    + std::to_string(kMaxSpectrumFrames));
            }
            const bool klatt
                = (readLittleEndian<uint16_t>(phondata, start + kSpectrumHeaderBytes) & kKlattFrameFlag) != 0;
            end = start + kSpectrumHeaderBytes + frames * (klatt ? kKlattFrameBytes : kFrameBytes);
            break;
        }
        case ItemKind::Wave:
            if (start + kWaveHeaderBytes > size) {
                return fault(" starts past the end of the file (" + std::to_string(size) + " bytes)");
            }
            end = start + kWaveHeaderBytes + readLittleEndian<uint16_t>(phondata, start);
            break;
        case ItemKind::Envelope:
            end = start + kEnvelopeBytes;
            break;
        }
        if (end > size) {
            return fault(" ends at byte " + std::to_string(end) + ", past the end of the file ("
                + std::to_string(size) + " bytes): the file is cut short");
        }
    }
    return std::nullopt;
}

// ---- phontab --------------------------------------------------------------------------------

std::optional<EspeakTableFault> checkPhontab(Bytes phontab, const Programs& programs)
{
    const auto fault = [](std::string what) { return EspeakTableFault{"phontab", std::move(what)}; };
    const std::size_t size = phontab.size();
    if (size < kPhontabHeaderBytes) {
        return fault("is too short to be espeak-ng data");
    }
    const std::size_t tables = phontab[0];
    if (tables == 0 || tables > kMaxPhonemeTables || phontab[1] != 0 || phontab[2] != 0 || phontab[3] != 0) {
        return fault("has a damaged header (" + std::to_string(tables) + " tables; espeak-ng holds 1 to "
            + std::to_string(kMaxPhonemeTables) + ")");
    }
    std::set<std::string> names;
    std::size_t position = kPhontabHeaderBytes;
    for (std::size_t table = 0; table < tables; ++table) {
        const std::string which = "table " + std::to_string(table);
        if (size - position < kTableHeaderBytes) {
            return fault(which + " starts past the end of the file: the file is cut short");
        }
        const std::size_t entries = phontab[position];
        const std::size_t includes = phontab[position + 1];
        if (entries == 0) {
            return fault(which + " has no entries");
        }
        if ((size - position - kTableHeaderBytes) / kPhonemeEntryBytes < entries) {
            return fault(which + " needs " + std::to_string(entries)
                + " entries, past the end of the file: the file is cut short");
        }
        const Bytes name = phontab.subspan(position + kTableNameOffset, kTableNameBytes);
        const auto* nameText = reinterpret_cast<const char*>(name.data());
        const std::size_t nameLength = strnlen(nameText, name.size());
        if (nameLength == 0 || nameLength == name.size()) {
            return fault(which + " has no NUL-terminated name");
        }
        if (!names.emplace(nameText, nameLength).second) {
            return fault(which + " repeats the name " + quoted(name));
        }
        if (includes > table) {
            return fault(which + " " + quoted(name) + " includes table " + std::to_string(includes - 1)
                + ", which does not come before it");
        }
        const std::size_t first = position + kTableHeaderBytes;
        const Bytes terminator
            = phontab.subspan(first + (entries - 1) * kPhonemeEntryBytes, kPhonemeEntryBytes);
        if (std::any_of(terminator.begin(), terminator.end(), [](uint8_t b) { return b != 0; })) {
            return fault(which + " " + quoted(name) + " does not end with an empty entry");
        }
        for (std::size_t entry = 0; entry < entries; ++entry) {
            const std::size_t at = first + entry * kPhonemeEntryBytes;
            const uint16_t program = readLittleEndian<uint16_t>(phontab, at + kPhonemeProgramOffset);
            if (program == 0) {
                continue;
            }
            if (program < kFirstProgramWord || program >= programs.words
                || !programs.instructionStart[program]) {
                return fault(which + " " + quoted(name) + ": the program of phoneme "
                    + quoted(phontab.subspan(at, 4)) + " starts at phonindex word " + std::to_string(program)
                    + (program >= programs.words
                            ? ", past its end (" + std::to_string(programs.words) + " words)"
                            : ", which starts no instruction"));
            }
        }
        position = first + entries * kPhonemeEntryBytes;
    }
    if (position != size) {
        return fault("has " + std::to_string(size - position) + " bytes after its last table");
    }
    return std::nullopt;
}

// ---- intonations ----------------------------------------------------------------------------

std::optional<EspeakTableFault> checkIntonations(Bytes intonations)
{
    const auto fault = [](std::string what) { return EspeakTableFault{"intonations", std::move(what)}; };
    const std::size_t size = intonations.size();
    if (size == 0 || size % kTuneBytes != 0 || size / kTuneBytes < kDefaultTunes) {
        return fault("has " + std::to_string(size) + " bytes; it holds whole " + std::to_string(kTuneBytes)
            + "-byte tunes, at least " + std::to_string(kDefaultTunes) + ": the file is cut short");
    }
    const std::size_t tunes = size / kTuneBytes;
    for (std::size_t tune = 0; tune < tunes; ++tune) {
        const Bytes record = intonations.subspan(tune * kTuneBytes, kTuneBytes);
        const std::size_t nameLength = strnlen(reinterpret_cast<const char*>(record.data()), kTuneNameBytes);
        const std::string which = "tune " + std::to_string(tune);
        if (nameLength == 0 || nameLength == kTuneNameBytes) {
            return fault(which + " has no NUL-terminated name");
        }
        for (const std::size_t offset : kTuneEnvelopeOffsets) {
            if (record[offset] >= kEnvelopeCount) {
                return fault(which + " " + quoted(record.first(kTuneNameBytes)) + " names envelope "
                    + std::to_string(record[offset]) + "; there are " + std::to_string(kEnvelopeCount));
            }
        }
        if (record[kSplitTuneOffset] >= tunes) {
            return fault(which + " " + quoted(record.first(kTuneNameBytes)) + " splits into tune "
                + std::to_string(record[kSplitTuneOffset]) + "; there are " + std::to_string(tunes));
        }
    }
    return std::nullopt;
}

// ---- dictionaries ---------------------------------------------------------------------------

/// The position of the NUL that ends the string at `from` before `end`, or `end`.
std::size_t stringEnd(Bytes data, std::size_t from, std::size_t end)
{
    const auto* begin = data.data() + from;
    const void* nul = from < end ? std::memchr(begin, 0, end - from) : nullptr;
    return nul != nullptr ? static_cast<std::size_t>(static_cast<const uint8_t*>(nul) - data.data()) : end;
}

std::optional<std::string> checkDictionaryChains(Bytes dictionary, std::size_t rules)
{
    std::size_t position = kDictionaryHeaderBytes;
    for (int32_t chain = 0; chain < kDictionaryHashChains; ++chain) {
        while (true) {
            if (position >= rules) {
                return "hash chain " + std::to_string(chain) + " runs into the rules at byte "
                    + std::to_string(rules) + ": the file is cut short or damaged";
            }
            const std::size_t length = dictionary[position];
            if (length == 0) {
                ++position;
                break;
            }
            const auto entry = [&] {
                return "the entry at byte " + std::to_string(position) + " (hash chain "
                    + std::to_string(chain) + ")";
            };
            if (length < kEntryHeaderBytes || length > rules - position) {
                return entry() + " has the length " + std::to_string(length) + ", which "
                    + (length < kEntryHeaderBytes ? "cannot hold its header" : "runs into the rules");
            }
            const uint8_t flags = dictionary[position + 1];
            const std::size_t word = kEntryHeaderBytes + (flags & kEntryWordLengthMask);
            if (word > length) {
                return entry() + " is shorter than its word";
            }
            if ((flags & kEntryNoPhonemes) == 0) {
                const std::size_t end = position + length;
                const std::size_t nul = stringEnd(dictionary, position + word, end);
                if (nul == end) {
                    return entry() + " has a phoneme string that does not end inside it";
                }
                if (nul - (position + word) >= kMaxWordPhonemes) {
                    return entry() + " has " + std::to_string(nul - (position + word))
                        + " bytes of phonemes; a word holds fewer than " + std::to_string(kMaxWordPhonemes);
                }
            }
            position += length;
        }
    }
    return std::nullopt;
}

std::optional<std::string> checkDictionaryRules(Bytes dictionary, std::size_t rules)
{
    const std::size_t size = dictionary.size();
    const auto cut = [&](const std::string& what) {
        return what + " runs past the end of the file (" + std::to_string(size)
            + " bytes): the file is cut short";
    };
    std::size_t position = rules;
    if (dictionary[position] == kRuleGroupEnd) {
        return std::nullopt; // no rules
    }
    std::size_t twoLetterGroups = 0;
    while (true) {
        if (position >= size) {
            return cut("the rules section");
        }
        if (dictionary[position] == 0) {
            return std::nullopt;
        }
        const std::string group = "the rule group at byte " + std::to_string(position);
        if (dictionary[position] != kRuleGroupStart) {
            return "has bad rules data at byte " + std::to_string(position) + " (a rule group starts with "
                + std::to_string(kRuleGroupStart) + ", not " + std::to_string(dictionary[position]) + ")";
        }
        ++position;
        if (position >= size) {
            return cut(group);
        }
        if (dictionary[position] == kRuleReplacements) {
            // Replacement pairs from the next 4-byte boundary up to four zero bytes, then
            // anything up to the group's end.
            position = (position + kReplacementAlignment) & ~(kReplacementAlignment - 1);
            while (true) {
                if (position > size || size - position < kReplacementAlignment) {
                    return cut(group);
                }
                if (std::all_of(dictionary.begin() + static_cast<std::ptrdiff_t>(position),
                        dictionary.begin() + static_cast<std::ptrdiff_t>(position + kReplacementAlignment),
                        [](uint8_t b) { return b == 0; })) {
                    break;
                }
                ++position;
            }
            while (position < size && dictionary[position] != kRuleGroupEnd) {
                ++position;
            }
            if (position >= size) {
                return cut(group);
            }
            ++position;
            continue;
        }
        if (dictionary[position] == kRuleLetterGroup) {
            position += 2;
        } else {
            const std::size_t nameEnd = stringEnd(dictionary, position, size);
            if (nameEnd == size) {
                return cut(group);
            }
            const std::size_t nameLength = nameEnd - position;
            if (nameLength >= 2 && dictionary[position] == 1) {
                if (dictionary[position + 1] > kMaxThreeLetterGroupIndex) {
                    return group + " has the name index " + std::to_string(dictionary[position + 1])
                        + "; espeak-ng holds " + std::to_string(kMaxThreeLetterGroupIndex);
                }
            } else if (nameLength >= 2 && ++twoLetterGroups > kMaxTwoLetterGroups) {
                return "has more than " + std::to_string(kMaxTwoLetterGroups)
                    + " two-letter rule groups, which espeak-ng cannot hold";
            }
            position = nameEnd + 1;
        }
        while (true) {
            if (position >= size) {
                return cut(group);
            }
            if (dictionary[position] == kRuleGroupEnd) {
                ++position;
                break;
            }
            const std::size_t ruleEnd = stringEnd(dictionary, position, size);
            if (ruleEnd == size) {
                return cut(group);
            }
            position = ruleEnd + 1;
        }
    }
}

// ---- the data directory ---------------------------------------------------------------------

bool isDirectory(const std::string& path)
{
    struct stat status { };
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

/// Every entry of `directory` must be a regular file or a directory (after following
/// links): espeak-ng opens its files blocking, and a FIFO or device among them would hang
/// it. Collects the regular files below it into `files` when `collect` (voice files),
/// descending into subdirectories when `depth` allows. Entries that cannot be examined
/// (dangling links) are left alone: espeak-ng does not find them either.
std::string checkEntries(
    const std::string& directory, bool collect, int depth, std::vector<std::string>& files)
{
    const std::unique_ptr<DIR, DirectoryCloser> handle(::opendir(directory.c_str()));
    if (!handle) {
        return {};
    }
    while (const dirent* entry = ::readdir(handle.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const std::string path = joinPath(directory, name);
        struct stat status { };
        if (::stat(path.c_str(), &status) != 0) {
            continue;
        }
        if (S_ISDIR(status.st_mode)) {
            if (collect && depth > 0) {
                if (std::string problem = checkEntries(path, collect, depth - 1, files); !problem.empty()) {
                    return problem;
                }
            }
        } else if (!S_ISREG(status.st_mode)) {
            return fileTypeProblem(path, status.st_mode);
        } else if (collect && status.st_size > 0 && files.size() < kMaxVoiceFiles) {
            files.push_back(path);
        }
    }
    return {};
}

/// Every `<language>_dict` of `directory` (where espeak-ng looks for them), in name order:
/// any of them may be loaded when a text switches language. Entries that are not regular
/// files are left to checkEntries.
std::vector<std::string> dictionaryFiles(const std::string& directory)
{
    std::vector<std::string> files;
    const std::unique_ptr<DIR, DirectoryCloser> handle(::opendir(directory.c_str()));
    if (!handle) {
        return files;
    }
    const std::string_view suffix = kDictionarySuffix;
    while (const dirent* entry = ::readdir(handle.get())) {
        const std::string_view name = entry->d_name;
        if (name.size() > suffix.size() && name.ends_with(suffix)
            && !isDirectory(joinPath(directory, std::string(name)))) {
            files.push_back(joinPath(directory, std::string(name)));
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

std::optional<EspeakTableFault> model_files::findEspeakTableFault(const EspeakTables& tables)
{
    if (auto fault = checkPhondataHeader(tables.phondata)) {
        return fault;
    }
    Programs programs;
    if (auto fault = decodePrograms(tables.phonindex, programs)) {
        return fault;
    }
    if (auto fault = checkPhontab(tables.phontab, programs)) {
        return fault;
    }
    if (auto fault = checkPhondataItems(tables.phondata, std::move(programs.references))) {
        return fault;
    }
    return checkIntonations(tables.intonations);
}

std::optional<std::string> model_files::findDictionaryFault(Bytes dictionary)
{
    const std::size_t size = dictionary.size();
    if (size <= kDictionaryHeaderBytes + static_cast<std::size_t>(kDictionaryHashChains)) {
        return "has " + std::to_string(size) + " bytes; a dictionary holds "
            + std::to_string(kDictionaryHashChains)
            + " hash chains after an 8-byte header: the file is cut short";
    }
    const auto chains = readLittleEndian<int32_t>(dictionary, 0);
    const auto rules = readLittleEndian<int32_t>(dictionary, 4);
    if (chains != kDictionaryHashChains || rules <= 0 || rules > kMaxDictionaryRulesOffset) {
        return "has a damaged header (" + std::to_string(chains) + " hash chains, rules at byte "
            + std::to_string(rules) + ")";
    }
    if (static_cast<std::size_t>(rules) >= size) {
        return "has its rules at byte " + std::to_string(rules) + ", past the end of the file ("
            + std::to_string(size) + " bytes): the file is cut short";
    }
    if (auto fault = checkDictionaryChains(dictionary, static_cast<std::size_t>(rules))) {
        return fault;
    }
    return checkDictionaryRules(dictionary, static_cast<std::size_t>(rules));
}

std::set<std::string> model_files::espeakTuneNames(Bytes intonations)
{
    std::set<std::string> names;
    for (std::size_t at = 0; intonations.size() - at >= kTuneBytes; at += kTuneBytes) {
        const auto* name = reinterpret_cast<const char*>(intonations.data() + at);
        names.emplace(name, strnlen(name, kTuneNameBytes));
    }
    return names;
}

std::optional<std::string> model_files::findMissingTune(
    std::string_view voiceFile, const std::set<std::string>& tunes)
{
    for (std::string_view line : splitLines(voiceFile)) {
        if (const std::size_t comment = line.find("//"); comment != std::string_view::npos) {
            line = line.substr(0, comment);
        }
        const std::vector<std::string_view> fields = splitFields(line);
        if (fields.empty() || fields.front() != "tunes") {
            continue;
        }
        for (std::size_t i = 1; i < fields.size() && i <= kMaxTunesPerLine; ++i) {
            if (!tunes.contains(std::string(fields[i]))) {
                return std::string(fields[i]);
            }
        }
    }
    return std::nullopt;
}

std::vector<std::string> espeakDataFiles(const std::string& dataDirectory)
{
    std::vector<std::string> files;
    for (const char* name : kEspeakRequiredFiles) {
        files.push_back(joinPath(dataDirectory, name));
    }
    return files;
}

std::string checkEspeakDataDirectory(const std::string& path)
{
    struct stat status { };
    if (::stat(path.c_str(), &status) != 0) {
        return errno == ENOENT
            ? atPath(path, "does not exist")
            : atPath(path, std::string("cannot be examined (") + std::strerror(errno) + ")");
    }
    if (!S_ISDIR(status.st_mode)) {
        return atPath(path, "is not a directory");
    }
    const std::string nested = joinPath(path, kNestedDataDirectory);
    const std::string directory = isDirectory(nested) ? nested : path;

    std::vector<MappedFile> tables;
    for (const char* name : kEspeakRequiredFiles) {
        const std::string file = joinPath(directory, name);
        if (::stat(file.c_str(), &status) != 0) {
            return atPath(directory, std::string("lacks the espeak-ng data file ") + name);
        }
        std::string problem;
        std::optional<MappedFile> mapped = MappedFile::open(file, problem);
        if (!mapped) {
            return problem;
        }
        tables.push_back(std::move(*mapped));
    }
    const EspeakTables bytes{tables[0].bytes(), tables[1].bytes(), tables[2].bytes(), tables[3].bytes()};
    if (const auto fault = findEspeakTableFault(bytes)) {
        return atPath(joinPath(directory, fault->file), fault->what);
    }

    std::vector<std::string> voiceFiles;
    if (std::string problem = checkEntries(directory, false, 0, voiceFiles); !problem.empty()) {
        return problem;
    }
    for (const std::string& dictionary : dictionaryFiles(directory)) {
        std::string problem;
        const std::optional<MappedFile> file = MappedFile::open(dictionary, problem);
        if (!file) {
            return problem;
        }
        if (const auto fault = findDictionaryFault(file->bytes())) {
            return atPath(dictionary, *fault);
        }
    }
    for (const char* voices : kVoiceDirectories) {
        if (std::string problem
            = checkEntries(joinPath(directory, voices), true, kMaxVoiceDirectoryDepth, voiceFiles);
            !problem.empty()) {
            return problem;
        }
    }
    const std::set<std::string> tunes = espeakTuneNames(bytes.intonations);
    for (const std::string& voiceFile : voiceFiles) {
        std::string problem;
        const std::optional<MappedFile> file = MappedFile::open(voiceFile, problem);
        if (!file) {
            return problem;
        }
        if (file->bytes().size() > kMaxVoiceFileBytes) {
            continue; // not a voice file espeak-ng would read whole; its lines are not checked
        }
        const std::string_view text(
            reinterpret_cast<const char*>(file->bytes().data()), file->bytes().size());
        if (const auto missing = findMissingTune(text, tunes)) {
            return atPath(joinPath(directory, "intonations"),
                "has no tune '" + *missing + "', which the voice file " + voiceFile
                    + " names: the file is cut short or from another build");
        }
    }
    return {};
}

} // namespace ombrix::extensions::sherpa
