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

TEST(Vocabulary, SharedValuesAgreeAcrossFamilies)
{
    using namespace ombrix;
    // Type names: parameter, result, configuration and property families.
    EXPECT_EQ(ACTION_PARAMETER_TYPE_BOOLEAN, ACTION_RETURN_TYPE_BOOLEAN);
    EXPECT_EQ(ACTION_PARAMETER_TYPE_OBJECT, ACTION_RETURN_TYPE_OBJECT);
    EXPECT_EQ(CONFIGURATION_TYPE_ARRAY, PROPERTY_TYPE_ARRAY);
    EXPECT_EQ(EVENT_DATA_TYPE_FLOAT, PROPERTY_TYPE_FLOAT);
    // The default-value fields of configuration entries and properties.
    EXPECT_EQ(PROPERTY_FIELD_DEFAULT_VALUE, "default");
    EXPECT_EQ(PROPERTY_FIELD_DEFAULT_VALUE, CONFIGURATION_FIELD_DEFAULT);
    EXPECT_EQ(CONFIGURATION_FIELD_MIN_VALUE, "min");
    EXPECT_EQ(PROPERTY_FIELD_MAX_VALUE, "max");
    // Log-level names match the host logger's own spelling.
    EXPECT_EQ(std::string(LOG_LEVEL_WARNING), ombrix::Logger::levelName(ombrix::LogLevel::Warning));
    EXPECT_EQ(std::string(LOG_LEVEL_TRACE), ombrix::Logger::levelName(ombrix::LogLevel::Trace));
    EXPECT_EQ(std::string(LOG_LEVEL_NONE), ombrix::Logger::levelName(ombrix::LogLevel::None));
}
