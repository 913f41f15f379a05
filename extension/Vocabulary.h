#pragma once

#include <string_view>

// Keys, type names, units, categories and log-level names used in node-type
// descriptions (maps of OXAny values handed to the host).
//
// Every constant is a constexpr string_view: it needs no dynamic
// initialisation, so its value is there from the moment the library is
// mapped, also while the extension registers itself during the library's
// own start-up and a host asks for the node factory at that point. Several
// constants share a value; each is a name of its own all the same.

namespace ombrix {

// Action descriptions.
inline constexpr std::string_view ACTION_FIELD_NAME = "name";
inline constexpr std::string_view ACTION_FIELD_DESCRIPTION = "description";
inline constexpr std::string_view ACTION_FIELD_PARAMETERS = "parameters";
inline constexpr std::string_view ACTION_FIELD_RETURN_TYPE = "returnType";
inline constexpr std::string_view ACTION_FIELD_RETURN_DESCRIPTION = "returnDescription";
inline constexpr std::string_view ACTION_FIELD_HANDLER = "handler";
inline constexpr std::string_view ACTION_PARAMETER_FIELD_NAME = "name";
inline constexpr std::string_view ACTION_PARAMETER_FIELD_DESCRIPTION = "description";
inline constexpr std::string_view ACTION_PARAMETER_FIELD_TYPE = "type";
inline constexpr std::string_view ACTION_PARAMETER_FIELD_IS_OPTIONAL = "isOptional";

// Type names of action parameters.
inline constexpr std::string_view ACTION_PARAMETER_TYPE_BOOLEAN = "boolean";
inline constexpr std::string_view ACTION_PARAMETER_TYPE_FLOAT = "float";
inline constexpr std::string_view ACTION_PARAMETER_TYPE_INT = "int";
inline constexpr std::string_view ACTION_PARAMETER_TYPE_STRING = "string";
inline constexpr std::string_view ACTION_PARAMETER_TYPE_ARRAY = "array";
inline constexpr std::string_view ACTION_PARAMETER_TYPE_OBJECT = "object";

// Type names of action results.
inline constexpr std::string_view ACTION_RETURN_TYPE_BOOLEAN = "boolean";
inline constexpr std::string_view ACTION_RETURN_TYPE_FLOAT = "float";
inline constexpr std::string_view ACTION_RETURN_TYPE_INT = "int";
inline constexpr std::string_view ACTION_RETURN_TYPE_STRING = "string";
inline constexpr std::string_view ACTION_RETURN_TYPE_ARRAY = "array";
inline constexpr std::string_view ACTION_RETURN_TYPE_OBJECT = "object";

// Configuration entries.
inline constexpr std::string_view CONFIGURATION_FIELD_TYPE = "type";
inline constexpr std::string_view CONFIGURATION_FIELD_NAME = "name";
inline constexpr std::string_view CONFIGURATION_FIELD_DESCRIPTION = "description";
inline constexpr std::string_view CONFIGURATION_FIELD_DEFAULT = "default";
inline constexpr std::string_view CONFIGURATION_FIELD_MIN_VALUE = "min";
inline constexpr std::string_view CONFIGURATION_FIELD_MAX_VALUE = "max";
inline constexpr std::string_view CONFIGURATION_FIELD_OPTIONS = "options";
inline constexpr std::string_view CONFIGURATION_FIELD_VALUE = "value";
inline constexpr std::string_view CONFIGURATION_FIELD_SCHEMA = "schema";
inline constexpr std::string_view CONFIGURATION_TYPE_BOOLEAN = "boolean";
inline constexpr std::string_view CONFIGURATION_TYPE_FLOAT = "float";
inline constexpr std::string_view CONFIGURATION_TYPE_INT = "int";
inline constexpr std::string_view CONFIGURATION_TYPE_STRING = "string";
inline constexpr std::string_view CONFIGURATION_TYPE_ARRAY = "array";
inline constexpr std::string_view CONFIGURATION_TYPE_OBJECT = "object";

// Event descriptions. Event data has no array or object type.
inline constexpr std::string_view EVENT_FIELD_NAME = "name";
inline constexpr std::string_view EVENT_FIELD_DESCRIPTION = "description";
inline constexpr std::string_view EVENT_FIELD_DATA = "data";
inline constexpr std::string_view EVENT_DATA_FIELD_NAME = "name";
inline constexpr std::string_view EVENT_DATA_FIELD_DESCRIPTION = "description";
inline constexpr std::string_view EVENT_DATA_FIELD_TYPE = "type";
inline constexpr std::string_view EVENT_DATA_TYPE_BOOLEAN = "boolean";
inline constexpr std::string_view EVENT_DATA_TYPE_FLOAT = "float";
inline constexpr std::string_view EVENT_DATA_TYPE_INT = "int";
inline constexpr std::string_view EVENT_DATA_TYPE_STRING = "string";

// Object-type descriptions.
inline constexpr std::string_view OBJECT_TYPE_FIELD_TYPE = "type";
inline constexpr std::string_view OBJECT_TYPE_FIELD_SUBTYPE = "subtype";
inline constexpr std::string_view OBJECT_TYPE_FIELD_DESCRIPTION = "description";
inline constexpr std::string_view OBJECT_TYPE_FIELD_DISPLAY_NAME = "displayName";
inline constexpr std::string_view OBJECT_TYPE_FIELD_CATEGORIES = "categories";
inline constexpr std::string_view OBJECT_TYPE_FIELD_CONFIGURATION = "configuration";
inline constexpr std::string_view OBJECT_TYPE_FIELD_PROPERTIES = "properties";
inline constexpr std::string_view OBJECT_TYPE_FIELD_ACTIONS = "actions";
inline constexpr std::string_view OBJECT_TYPE_FIELD_EVENTS = "events";
inline constexpr std::string_view INHERITED_FROM_FIELD = "inheritedFrom";

// Properties. The default-value field shares its value with
// CONFIGURATION_FIELD_DEFAULT.
inline constexpr std::string_view PROPERTY_FIELD_TYPE = "type";
inline constexpr std::string_view PROPERTY_FIELD_NAME = "name";
inline constexpr std::string_view PROPERTY_FIELD_DESCRIPTION = "description";
inline constexpr std::string_view PROPERTY_FIELD_DEFAULT_VALUE = "default";
inline constexpr std::string_view PROPERTY_FIELD_UNIT = "unit";
inline constexpr std::string_view PROPERTY_FIELD_MIN_VALUE = "min";
inline constexpr std::string_view PROPERTY_FIELD_MAX_VALUE = "max";
inline constexpr std::string_view PROPERTY_FIELD_OPTIONS = "options";
inline constexpr std::string_view PROPERTY_FIELD_READ_ONLY = "readOnly";
inline constexpr std::string_view PROPERTY_FIELD_VALUE = "value";
inline constexpr std::string_view PROPERTY_FIELD_GETTER = "getter";
inline constexpr std::string_view PROPERTY_FIELD_SETTER = "setter";
inline constexpr std::string_view PROPERTY_FIELD_SCHEMA = "schema";
inline constexpr std::string_view PROPERTY_TYPE_BOOLEAN = "boolean";
inline constexpr std::string_view PROPERTY_TYPE_FLOAT = "float";
inline constexpr std::string_view PROPERTY_TYPE_INT = "int";
inline constexpr std::string_view PROPERTY_TYPE_STRING = "string";
inline constexpr std::string_view PROPERTY_TYPE_OBJECT = "object";
inline constexpr std::string_view PROPERTY_TYPE_ARRAY = "array";

// Property units.
inline constexpr std::string_view PROPERTY_UNIT_MS = "ms";
inline constexpr std::string_view PROPERTY_UNIT_DB = "dB";
inline constexpr std::string_view PROPERTY_UNIT_PERCENT = "%";
inline constexpr std::string_view PROPERTY_UNIT_HZ = "Hz";
inline constexpr std::string_view PROPERTY_UNIT_SEMITONES = "semitones";
inline constexpr std::string_view PROPERTY_UNIT_BPM = "BPM";
inline constexpr std::string_view PROPERTY_UNIT_SAMPLES = "samples";
inline constexpr std::string_view PROPERTY_UNIT_FRAMES = "frames";
inline constexpr std::string_view PROPERTY_UNIT_CHANNELS = "channels";
inline constexpr std::string_view PROPERTY_UNIT_BYTES = "bytes";
inline constexpr std::string_view PROPERTY_UNIT_BITS = "bits";

// The host's own node namespace (this library's types use "Sherpa") and the
// node categories.
inline constexpr std::string_view OMBRIX_NODE_NAMESPACE = "Ombrix";
inline constexpr std::string_view NODE_CATEGORY_AUDIO_PROCESSING = "Audio Processing";
inline constexpr std::string_view NODE_CATEGORY_MIXING = "Mixing";
inline constexpr std::string_view NODE_CATEGORY_MUSIC = "Music";
inline constexpr std::string_view NODE_CATEGORY_VOICE = "Voice";
inline constexpr std::string_view NODE_CATEGORY_GENERATION = "Generation";
inline constexpr std::string_view NODE_CATEGORY_ANALYSIS = "Analysis";
inline constexpr std::string_view NODE_CATEGORY_EFFECTS = "Effects";
inline constexpr std::string_view NODE_CATEGORY_UTILITY = "Utility";
inline constexpr std::string_view NODE_CATEGORY_AI = "AI";
inline constexpr std::string_view NODE_CATEGORY_RTC = "RTC";

// Log-level names.
inline constexpr std::string_view LOG_LEVEL_NONE = "none";
inline constexpr std::string_view LOG_LEVEL_ERROR = "error";
inline constexpr std::string_view LOG_LEVEL_WARNING = "warning";
inline constexpr std::string_view LOG_LEVEL_INFO = "info";
inline constexpr std::string_view LOG_LEVEL_DEBUG = "debug";
inline constexpr std::string_view LOG_LEVEL_TRACE = "trace";

} // namespace ombrix
