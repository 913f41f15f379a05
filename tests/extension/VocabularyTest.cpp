#include <gtest/gtest.h>

#include <string>

#include "extension/Vocabulary.h"
#include "host/Logger.h"

namespace {

// The extension registers itself during the library's start-up, before other
// units run their dynamic initialisation; the constants the type description
// reads must therefore be constant-initialised. These fail to compile otherwise.
static_assert(ombrix::ACTION_PARAMETER_FIELD_IS_OPTIONAL == "isOptional");
static_assert(ombrix::EVENT_DATA_TYPE_STRING == "string");
static_assert(ombrix::NODE_CATEGORY_VOICE == "Voice");
static_assert(ombrix::NODE_CATEGORY_AI == "AI");

} // namespace

TEST(Vocabulary, KeepsCaseSpacingAndSymbolsExactly)
{
    using namespace ombrix;
    EXPECT_EQ(PROPERTY_UNIT_DB, "dB");
    EXPECT_EQ(PROPERTY_UNIT_HZ, "Hz");
    EXPECT_EQ(PROPERTY_UNIT_BPM, "BPM");
    EXPECT_EQ(PROPERTY_UNIT_PERCENT, "%");
    EXPECT_EQ(PROPERTY_UNIT_PERCENT.size(), 1u);
    EXPECT_EQ(NODE_CATEGORY_RTC, "RTC");
    EXPECT_EQ(NODE_CATEGORY_AUDIO_PROCESSING, "Audio Processing");
    EXPECT_EQ(OBJECT_TYPE_FIELD_DISPLAY_NAME, "displayName");
    EXPECT_EQ(PROPERTY_FIELD_READ_ONLY, "readOnly");
    EXPECT_EQ(ACTION_FIELD_RETURN_TYPE, "returnType");
    EXPECT_EQ(ACTION_FIELD_RETURN_DESCRIPTION, "returnDescription");
    EXPECT_EQ(INHERITED_FROM_FIELD, "inheritedFrom");
    EXPECT_EQ(OMBRIX_NODE_NAMESPACE, "Ombrix");
}

TEST(Vocabulary, LogLevelNamesMatchTheHostLoggerAndDefaultFieldsAgree)
{
    using namespace ombrix;
    EXPECT_EQ(std::string(LOG_LEVEL_NONE), Logger::levelName(LogLevel::None));
    EXPECT_EQ(std::string(LOG_LEVEL_ERROR), Logger::levelName(LogLevel::Error));
    EXPECT_EQ(std::string(LOG_LEVEL_WARNING), Logger::levelName(LogLevel::Warning));
    EXPECT_EQ(std::string(LOG_LEVEL_INFO), Logger::levelName(LogLevel::Info));
    EXPECT_EQ(std::string(LOG_LEVEL_DEBUG), Logger::levelName(LogLevel::Debug));
    EXPECT_EQ(std::string(LOG_LEVEL_TRACE), Logger::levelName(LogLevel::Trace));
    // Properties name their default-value field differently but share the key.
    EXPECT_EQ(PROPERTY_FIELD_DEFAULT_VALUE, CONFIGURATION_FIELD_DEFAULT);
    EXPECT_EQ(PROPERTY_FIELD_DEFAULT_VALUE, "default");
}
