#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/OXAny.h"

namespace ombrix::extensions::sherpa {

/// The speaker and speed the node speaks with when nothing else is asked for.
inline constexpr int32_t kDefaultSpeakerId = 0;
inline constexpr float kDefaultSpeechSpeed = 1.0f;
/// The speeds the node accepts (the engine's speed factor, passed on as given).
inline constexpr double kMinimumSpeechSpeed = 0.25;
inline constexpr double kMaximumSpeechSpeed = 4.0;

/// Speaker and speed of one text.
struct SpeechSettings {
    int32_t speakerId = kDefaultSpeakerId;
    float speed = kDefaultSpeechSpeed;
};

/// A "speakerId" value: an integer, a floating-point number with an integral value, or a
/// string that is entirely a decimal integer (no sign but '-', no spaces, no trailing
/// characters). Returns it when it is from 0 to INT32_MAX; nullopt otherwise. No range
/// check against a voice (see speakerCountOf).
std::optional<int32_t> parseSpeakerId(const OXAny& value);

/// A "speed" value: a number, or a string that is entirely a decimal number; finite and
/// from kMinimumSpeechSpeed to kMaximumSpeechSpeed. nullopt otherwise.
std::optional<float> parseSpeechSpeed(const OXAny& value);

/// The value as a log line shows it: a string quoted, a number as written by the host.
std::string describeSettingValue(const OXAny& value);

/// The number of speakers a voice offers the node: the engine's count, at least 1 (a
/// single-speaker voice reports 1 or 0).
inline int32_t speakerCountOf(int32_t engineSpeakers)
{
    return engineSpeakers > 1 ? engineSpeakers : 1;
}

} // namespace ombrix::extensions::sherpa
