#include "ToolCommon.h"

#include <dlfcn.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ombrix::tools {

namespace {

constexpr const char* kSherpaOnnxLibrary = "libsherpa-onnx-c-api.so";
constexpr const char* kSherpaOnnxVersionFunction = "SherpaOnnxGetVersionStr";

using VersionFunction = const char* (*)();

VersionFunction findVersionFunction(void* library)
{
    return library ? reinterpret_cast<VersionFunction>(dlsym(library, kSherpaOnnxVersionFunction)) : nullptr;
}

} // namespace

long parseInteger(const std::string& option, const std::string& value, long minimum, long maximum)
{
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || errno != 0 || parsed < minimum || parsed > maximum) {
        throw UsageError("option " + option + " wants a whole number from " + std::to_string(minimum) + " to "
            + std::to_string(maximum) + ", not '" + value + "'");
    }
    return parsed;
}

double parsePositive(const std::string& option, const std::string& value)
{
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || errno != 0 || !(parsed > 0.0) || !std::isfinite(parsed)) {
        throw UsageError("option " + option + " wants a positive number, not '" + value + "'");
    }
    return parsed;
}

bool parseYesNo(const std::string& option, const std::string& value)
{
    for (const char* yes : {"yes", "true", "on", "1"}) {
        if (value == yes) {
            return true;
        }
    }
    for (const char* no : {"no", "false", "off", "0"}) {
        if (value == no) {
            return false;
        }
    }
    throw UsageError("option " + option + " wants yes or no, not '" + value + "'");
}

const char* projectVersion()
{
    return OMBRIX_PROJECT_VERSION;
}

std::string loadedSherpaOnnxVersion(const std::string& pluginPath, std::string* error)
{
    // Already in the process (linked, or loaded with the plug-in): no new load.
    void* library = dlopen(kSherpaOnnxLibrary, RTLD_LAZY | RTLD_NOLOAD);
    if (!library) {
        // The plug-in brings the library it was linked with, found by its own run path.
        // The handle is kept: the library stays for the life of the process anyway.
        if (!dlopen(pluginPath.c_str(), RTLD_LAZY | RTLD_LOCAL)) {
            if (error) {
                const char* reason = dlerror();
                *error = reason ? reason : ("cannot load " + pluginPath);
            }
            return {};
        }
        library = dlopen(kSherpaOnnxLibrary, RTLD_LAZY | RTLD_NOLOAD);
    }
    const VersionFunction version = findVersionFunction(library);
    if (library) {
        dlclose(library); // only drops the reference taken by RTLD_NOLOAD
    }
    if (!version) {
        if (error) {
            *error = std::string(kSherpaOnnxLibrary) + " with " + kSherpaOnnxVersionFunction
                + " is not loaded by " + pluginPath;
        }
        return {};
    }
    const char* text = version();
    return text ? text : "";
}

void printVersion(std::FILE* out, const char* program, const std::string& pluginPath)
{
    std::fprintf(out, "%s %s\n", program, projectVersion());
    std::string error;
    const std::string sherpa = loadedSherpaOnnxVersion(pluginPath, &error);
    if (sherpa.empty()) {
        std::fprintf(out, "sherpa-onnx: unknown (%s)\n", error.c_str());
    } else {
        std::fprintf(out, "sherpa-onnx %s (loaded by %s)\n", sherpa.c_str(), pluginPath.c_str());
    }
}

void Status::print(const char* format, ...) const
{
    if (!shown) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
}

std::string systemReason(int error)
{
    return std::strerror(error);
}

std::string validUtf8(std::string_view text)
{
    static constexpr const char* kReplacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size());
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    std::size_t at = 0;
    while (at < text.size()) {
        const unsigned char lead = byte(at);
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++at;
            continue;
        }
        // The sequence's length and the range of its second byte (which rules out
        // overlong forms, surrogates and code points above U+10FFFF).
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        if (length == 0) {
            out += kReplacement;
            ++at;
            continue;
        }
        std::size_t valid = 1;
        while (valid < length && at + valid < text.size()) {
            const unsigned char next = byte(at + valid);
            const unsigned char from = valid == 1 ? low : 0x80;
            const unsigned char to = valid == 1 ? high : 0xBF;
            if (next < from || next > to) {
                break;
            }
            ++valid;
        }
        if (valid == length) {
            out.append(text.substr(at, length));
        } else {
            out += kReplacement;
        }
        at += valid;
    }
    return out;
}

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (const char c : validUtf8(text)) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

} // namespace ombrix::tools
