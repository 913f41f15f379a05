// Loads the built plug-in into a fresh host process (HostLoadProbe), the way
// an application does, and checks what the process saw.

#include <gtest/gtest.h>

#include <string>

#include "ExpectedDescription.h"
#include "support/Subprocess.h"

using ombrix::testing::runSubprocess;
using ombrix::testing::SubprocessOptions;
using ombrix::testing::SubprocessResult;

namespace {

const std::string kPlugin = OMBRIX_PLUGIN_LIBRARY;

SubprocessResult runProbe(const std::string& mode)
{
    SubprocessOptions options;
    options.arguments = {mode, kPlugin};
    // The plug-in must find its own dependencies through its run-time path.
    options.environment["LD_LIBRARY_PATH"] = std::nullopt;
    options.environment["LD_PRELOAD"] = std::nullopt;
    return runSubprocess(OMBRIX_HOST_LOAD_PROBE, options);
}

std::string between(const std::string& text, const std::string& begin, const std::string& end)
{
    const auto from = text.find(begin);
    if (from == std::string::npos) {
        return {};
    }
    const auto start = from + begin.size();
    const auto to = text.find(end, start);
    return to == std::string::npos ? std::string{} : text.substr(start, to - start);
}

} // namespace

TEST(HostLoadProbe, LoadingThePluginRegistersOneSherpaExtensionWithTheTTSType)
{
    const SubprocessResult result = runProbe("load");
    ASSERT_TRUE(result.started) << result.describe();
    EXPECT_TRUE(result.succeeded()) << result.describe() << "\n" << result.standardOutput;
    EXPECT_EQ(result.standardOutput.find("FAILED"), std::string::npos) << result.standardOutput;
    for (const char* expected : {"ok: exactly one extension registered", "ok: registration count is 1",
             "ok: extension name is Sherpa", "ok: factory lists one node type",
             "ok: the type description is complete and exact", "ok: SherpaExtension::load is exported",
             "ok: ox_extension_load is hidden",
             "ok: an explicit load() registers one more, distinct extension"}) {
        EXPECT_NE(result.standardOutput.find(expected), std::string::npos) << expected << "\n"
                                                                           << result.standardOutput;
    }
    // The description the host process saw, compared here as text too.
    EXPECT_EQ(between(result.standardOutput, "--- description ---\n", "--- end ---\n"),
        ombrix::testing::toText(ombrix::testing::expectedTTSNodeTypeInfo()));
}

TEST(HostLoadProbe, ANodeMadeByTheLoadedFactoryDeclaresTheDescribedActionsAndEvents)
{
    const SubprocessResult result = runProbe("create");
    ASSERT_TRUE(result.started) << result.describe();
    EXPECT_TRUE(result.succeeded()) << result.describe() << "\n" << result.standardOutput;
    EXPECT_EQ(result.standardOutput.find("FAILED"), std::string::npos) << result.standardOutput;
    for (const char* expected : {"ok: createNode(Sherpa.TTS) gives a node",
             "ok: declared actions carry the described maps", "ok: declared events carry the described maps",
             "ok: the node answers an action after its factory is gone"}) {
        EXPECT_NE(result.standardOutput.find(expected), std::string::npos) << expected << "\n"
                                                                           << result.standardOutput;
    }
}
