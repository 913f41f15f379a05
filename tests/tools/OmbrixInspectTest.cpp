// ombrix-inspect run as a separate program from the build tree. What it prints is compared
// with the description a host must see, written out in tests/extension/ExpectedDescription
// from literal strings, not with anything the program or the plug-in computes.

#include "SpeakToolSupport.h"
#include "extension/ExpectedDescription.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace ombrix::testing {
namespace {

namespace fs = std::filesystem;

std::string inspectTool()
{
    return (fs::path(OMBRIX_BIN_DIR) / "ombrix-inspect").string();
}

// JSON as the host's values: objects as maps, arrays as maps keyed "0", "1", ..., strings,
// booleans, numbers (integers as Int), null as empty. Throws on malformed input.
class JsonReader {
public:
    explicit JsonReader(const std::string& text)
        : in(text)
    {
    }

    OXAny document()
    {
        OXAny value = parseValue();
        skipSpace();
        if (at != in.size()) {
            fail("text after the value");
        }
        return value;
    }

private:
    [[noreturn]] void fail(const std::string& what) const
    {
        throw std::runtime_error("JSON: " + what + " at byte " + std::to_string(at));
    }
    void skipSpace()
    {
        while (at < in.size() && (in[at] == ' ' || in[at] == '\n' || in[at] == '\r' || in[at] == '\t')) {
            ++at;
        }
    }
    bool take(char c)
    {
        skipSpace();
        if (at < in.size() && in[at] == c) {
            ++at;
            return true;
        }
        return false;
    }
    void expect(char c)
    {
        if (!take(c)) {
            fail(std::string("'") + c + "' expected");
        }
    }
    std::string parseString()
    {
        expect('"');
        std::string out;
        while (at < in.size() && in[at] != '"') {
            char c = in[at++];
            if (c == '\\') {
                if (at >= in.size()) {
                    fail("unterminated escape");
                }
                const char e = in[at++];
                if (e == 'u') {
                    if (at + 4 > in.size()) {
                        fail("short \\u escape");
                    }
                    const unsigned code = static_cast<unsigned>(std::stoul(in.substr(at, 4), nullptr, 16));
                    at += 4;
                    if (code >= 0x80) {
                        fail("non-ASCII \\u escape (not written by the program)");
                    }
                    c = static_cast<char>(code);
                } else {
                    c = e == 'n' ? '\n' : e == 'r' ? '\r' : e == 't' ? '\t' : e;
                }
            }
            out += c;
        }
        expect('"');
        return out;
    }
    OXAny parseValue()
    {
        skipSpace();
        if (at >= in.size()) {
            fail("value expected");
        }
        const char c = in[at];
        if (c == '"') {
            return OXAny(parseString());
        }
        if (c == '{') {
            ++at;
            OXAnyMap map;
            if (!take('}')) {
                do {
                    skipSpace();
                    const std::string key = parseString();
                    expect(':');
                    map.set(key, parseValue());
                } while (take(','));
                expect('}');
            }
            return OXAny(map);
        }
        if (c == '[') {
            ++at;
            OXAnyMap list;
            if (!take(']')) {
                do {
                    list.set(std::to_string(list.size()), parseValue());
                } while (take(','));
                expect(']');
            }
            return OXAny(list);
        }
        for (const auto& [word, value] :
            {std::pair{"true", OXAny(true)}, std::pair{"false", OXAny(false)}, std::pair{"null", OXAny()}}) {
            if (in.compare(at, std::char_traits<char>::length(word), word) == 0) {
                at += std::char_traits<char>::length(word);
                return value;
            }
        }
        const std::size_t begin = at;
        while (at < in.size() && std::string("+-0123456789.eE").find(in[at]) != std::string::npos) {
            ++at;
        }
        if (begin == at) {
            fail("value expected");
        }
        const std::string number = in.substr(begin, at - begin);
        if (number.find_first_of(".eE") == std::string::npos) {
            return OXAny(static_cast<std::int64_t>(std::stoll(number)));
        }
        return OXAny(std::stod(number));
    }

    const std::string& in;
    std::size_t at = 0;
};

std::vector<std::string> listOf(const OXAnyMap& list)
{
    std::vector<std::string> out;
    for (std::size_t i = 0; i < list.size(); ++i) {
        out.push_back(list.get<std::string>(std::to_string(i)));
    }
    return out;
}

NodeTypeInfo nodeTypeFromJson(const OXAnyMap& json)
{
    NodeTypeInfo info;
    info.nodeNamespace = json.get<std::string>("namespace");
    info.typeName = json.get<std::string>("typeName");
    info.displayName = json.get<std::string>("displayName");
    info.description = json.get<std::string>("description");
    info.categories = listOf(json.get<OXAnyMap>("categories"));
    info.configuration = json.get<OXAnyMap>("configuration");
    info.properties = json.get<OXAnyMap>("properties");
    info.actions = json.get<OXAnyMap>("actions");
    info.events = json.get<OXAnyMap>("events");
    return info;
}

TEST(OmbrixInspect, PrintsThePluginsDescriptionAsTextAndJsonAndExplainsWhatItCannotLoad)
{
    const NodeTypeInfo expected = expectedTTSNodeTypeInfo();
    const std::string plugin = (fs::path(OMBRIX_LIB_DIR) / "libOmbrixSherpa.so").string();

    // JSON, from the installation's own plug-in (no path given).
    const auto json = runSubprocess(inspectTool(), withArguments({"--json"}));
    ASSERT_TRUE(json.succeeded()) << json.describe();
    const OXAnyMap document = JsonReader(json.standardOutput).document().convert<OXAnyMap>();
    EXPECT_EQ(fs::canonical(document.get<std::string>("plugin")), fs::canonical(plugin));
    const OXAnyMap extensions = document.get<OXAnyMap>("extensions");
    ASSERT_EQ(extensions.size(), 1u) << json.standardOutput;
    const OXAnyMap extension = extensions.get<OXAnyMap>("0");
    EXPECT_EQ(extension.get<std::string>("name"), "Sherpa");
    EXPECT_FALSE(extension.get<std::string>("description").empty());
    const OXAnyMap nodeTypes = extension.get<OXAnyMap>("nodeTypes");
    ASSERT_EQ(nodeTypes.size(), 1u) << json.standardOutput;
    const OXAnyMap nodeType = nodeTypes.get<OXAnyMap>("0");
    EXPECT_EQ(nodeType.get<std::string>("type"), "Sherpa.TTS");
    EXPECT_EQ(toText(nodeTypeFromJson(nodeType)), toText(expected));

    // Text, for a path given: every action with each parameter's type and whether it is
    // optional, every event with its data.
    const auto text = runSubprocess(inspectTool(), withArguments({"-q", plugin}));
    ASSERT_TRUE(text.succeeded()) << text.describe();
    const std::string& out = text.standardOutput;
    auto expectLine = [&out](const std::string& line) {
        EXPECT_NE(out.find("\n" + line + "\n"), std::string::npos) << "missing line: " << line << "\n" << out;
    };
    expectLine("Extension: Sherpa");
    expectLine("Sherpa.TTS");
    expectLine("  Display name: " + expected.displayName);
    expectLine("  Description: " + expected.description);
    std::string categories;
    for (const auto& category : expected.categories) {
        categories += (categories.empty() ? "" : ", ") + category;
    }
    expectLine("  Categories: " + categories);
    ASSERT_TRUE(expected.configuration.empty() && expected.properties.empty());
    expectLine("  Configuration: (none)");
    expectLine("  Properties: (none)");
    // The actions the node answers beyond its description.
    expectLine("  The node also answers \"loadModel\" (modelPath, tokensPath, dataPath), \"stop\" (no "
               "parameters) and \"synthesizeWith\" (text, speakerId, speed); see docs/tts-node.md.");
    for (const auto& [name, value] : expected.actions) {
        const OXAnyMap action = value.convert<OXAnyMap>();
        expectLine("    " + name + ": " + action.get<std::string>("description"));
        const OXAnyMap parameters = action.get<OXAnyMap>("parameters", OXAnyMap{});
        if (parameters.empty()) {
            EXPECT_NE(out.find("    " + name + ": " + action.get<std::string>("description")
                          + "\n      (no parameters)\n"),
                std::string::npos)
                << out;
        }
        for (const auto& [parameterName, parameterValue] : parameters) {
            const OXAnyMap parameter = parameterValue.convert<OXAnyMap>();
            expectLine("      " + parameterName + " (" + parameter.get<std::string>("type") + ", "
                + (parameter.get<bool>("isOptional") ? "optional" : "required")
                + "): " + parameter.get<std::string>("description"));
        }
    }
    for (const auto& [name, value] : expected.events) {
        const OXAnyMap event = value.convert<OXAnyMap>();
        expectLine("    " + name + ": " + event.get<std::string>("description"));
        for (const auto& [fieldName, fieldValue] : event.get<OXAnyMap>("data", OXAnyMap{})) {
            const OXAnyMap field = fieldValue.convert<OXAnyMap>();
            expectLine("      " + fieldName + " (" + field.get<std::string>("type")
                + "): " + field.get<std::string>("description"));
        }
    }

    // A plug-in path that is not UTF-8 (byte 0xFF): still JSON, which a strict parser reads,
    // with U+FFFD for the byte.
    ScratchDirectory scratch;
    // (A directory of that name that leads to the plug-in's own, where its libraries are.)
    fs::create_directory_symlink(OMBRIX_LIB_DIR, scratch.path() / "lib\xFF");
    const fs::path oddName = scratch.path() / "lib\xFF" / "libOmbrixSherpa.so";
    const auto odd = runSubprocess(inspectTool(), withArguments({"--json", oddName.string()}));
    ASSERT_TRUE(odd.succeeded()) << odd.describe();
    SubprocessOptions python = withArguments({"-c",
        "import json, sys\n"
        "sys.stdout.reconfigure(encoding='utf-8')\n"
        "print(json.loads(sys.stdin.buffer.read().decode('utf-8'))['plugin'])\n"});
    python.standardInput = odd.standardOutput;
    const auto parsedOdd = runSubprocess("/usr/bin/python3", python);
    ASSERT_TRUE(parsedOdd.succeeded()) << parsedOdd.describe() << odd.standardOutput;
    EXPECT_EQ(parsedOdd.standardOutput,
        (scratch.path() / "lib\xEF\xBF\xBD" / "libOmbrixSherpa.so").string() + "\n");

    // What it cannot load: the reason and exit status 4; a command line it cannot follow: 2.
    const std::string missing = (scratch.path() / "libMissing.so").string();
    const auto notThere = runSubprocess(inspectTool(), withArguments({missing}));
    EXPECT_EQ(notThere.exitCode, 4) << notThere.describe();
    EXPECT_NE(notThere.standardError.find("cannot load the plug-in " + missing), std::string::npos)
        << notThere.standardError;
    const auto twoPlugins = runSubprocess(inspectTool(), withArguments({plugin, plugin}));
    EXPECT_EQ(twoPlugins.exitCode, 2) << twoPlugins.describe();
    const auto badOption = runSubprocess(inspectTool(), withArguments({"--jsn=yes"}));
    EXPECT_EQ(badOption.exitCode, 2) << badOption.describe();
}

} // namespace
} // namespace ombrix::testing
