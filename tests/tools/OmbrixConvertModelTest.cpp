// lib/ombrix-convert-model, run as the installers and the test-model generators run it: a
// separate program on the build's own onnxruntime, with no Node.js on PATH.

#include "SpeakToolSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace ombrix::testing {
namespace {

namespace fs = std::filesystem;

const fs::path kConverter = fs::path(OMBRIX_BUILD_DIR) / "lib" / "ombrix-convert-model";

// Runs the converter with PATH naming only an empty directory: nothing it could need
// (Node.js above all) can be found there.
SubprocessResult convertModel(const std::vector<std::string>& arguments, const fs::path& emptyPath)
{
    SubprocessOptions options = withArguments(arguments);
    options.environment["PATH"] = emptyPath.string();
    options.environment["LD_LIBRARY_PATH"] = std::nullopt;
    return runSubprocess(kConverter.string(), options);
}

std::string readFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

std::vector<std::string> entriesOf(const fs::path& directory)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(OmbrixConvertModel, AConvertedVoiceSpeaksExactlyAsItsOnnxSource)
{
    ScratchDirectory scratch;
    const fs::path emptyPath = scratch.path() / "no-programs";
    fs::create_directories(emptyPath);
    const VoicePaths source = fixtureVoice();
    const fs::path output = scratch.path() / "out" / "voice.ort";

    const auto converted = convertModel({source.model, output.string()}, emptyPath);
    ASSERT_TRUE(converted.succeeded()) << converted.describe();
    const std::string bytes = readFile(output);
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(bytes.substr(4, 4), "ORTM");
    EXPECT_EQ(entriesOf(output.parent_path()), std::vector<std::string>{"voice.ort"})
        << "the temporary file was left behind";

    const std::string text = "Converted voices say the same.";
    const std::vector<float> fromOnnx = engineSamples(source, text);
    const std::vector<float> fromOrt = engineSamples({output.string(), source.tokens, source.dataDir}, text);
    ASSERT_FALSE(fromOnnx.empty());
    EXPECT_EQ(fromOrt, fromOnnx);
}

TEST(OmbrixConvertModel, AFailedConversionLeavesTheOutputAsItWasAndSaysWhy)
{
    ScratchDirectory scratch;
    const fs::path emptyPath = scratch.path() / "no-programs";
    fs::create_directories(emptyPath);
    const fs::path outputDirectory = scratch.path() / "out";
    fs::create_directories(outputDirectory);
    const fs::path output = outputDirectory / "model.ort";
    std::ofstream(output) << "the earlier file";

    // Not a model: onnxruntime's reason, status 1, the earlier file untouched.
    const auto notAModel = convertModel({fixtureVoice().tokens, output.string()}, emptyPath);
    EXPECT_EQ(notAModel.exitCode, 1) << notAModel.describe();
    EXPECT_NE(notAModel.standardError.find("cannot convert " + fixtureVoice().tokens), std::string::npos)
        << notAModel.standardError;
    EXPECT_EQ(readFile(output), "the earlier file");
    EXPECT_EQ(entriesOf(outputDirectory), std::vector<std::string>{"model.ort"});

    const auto missing
        = convertModel({(scratch.path() / "missing.onnx").string(), output.string()}, emptyPath);
    EXPECT_EQ(missing.exitCode, 1) << missing.describe();
    EXPECT_NE(missing.standardError.find("missing.onnx is not a file"), std::string::npos)
        << missing.standardError;
    EXPECT_EQ(readFile(output), "the earlier file");

    const auto usage = convertModel({fixtureVoice().model}, emptyPath);
    EXPECT_EQ(usage.exitCode, 2) << usage.describe();
    EXPECT_NE(
        usage.standardError.find("Usage: ombrix-convert-model INPUT.onnx OUTPUT.ort"), std::string::npos);
}

} // namespace
} // namespace ombrix::testing
