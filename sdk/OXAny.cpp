#include "host/OXAny.h"

#include <cmath>
#include <limits>

namespace ombrix {

namespace {

// Index of each kind in OXAny's variant, in the order of OXAny::Type.
constexpr std::size_t kEmptyIndex = 0;
constexpr std::size_t kBoolIndex = 1;
constexpr std::size_t kIntIndex = 2;
constexpr std::size_t kFloatIndex = 3;
constexpr std::size_t kStringIndex = 4;
constexpr std::size_t kMapIndex = 5;

[[noreturn]] void throwTypeError(OXAny::Type held, const char* wanted)
{
    throw OXAnyTypeError(std::string("OXAny: cannot convert ") + OXAny::typeName(held) + " to " + wanted);
}

// Whole-number value of a float for an integer conversion: truncates toward zero
// and refuses what the target cannot hold (NaN, infinities, out of range).
template <typename I>
I floatToInteger(double value, const char* wanted)
{
    const double truncated = std::trunc(value);
    // The limits as doubles: the lower one is exact (a power of two), the upper
    // one rounds up to a power of two, so the upper comparison must be strict.
    constexpr double lowest = static_cast<double>(std::numeric_limits<I>::min());
    constexpr double aboveHighest = -lowest;
    if (!std::isfinite(truncated) || truncated < lowest || truncated >= aboveHighest) {
        throw OXAnyTypeError(
            std::string("OXAny: float value ") + std::to_string(value) + " does not fit " + wanted);
    }
    return static_cast<I>(truncated);
}

} // namespace

OXAny::OXAny() = default;
OXAny::OXAny(bool v)
    : value(v)
{
}
OXAny::OXAny(int v)
    : value(static_cast<std::int64_t>(v))
{
}
OXAny::OXAny(std::int64_t v)
    : value(v)
{
}
OXAny::OXAny(float v)
    : value(static_cast<double>(v))
{
}
OXAny::OXAny(double v)
    : value(v)
{
}
// A null C string is taken as "no value" rather than undefined behaviour.
OXAny::OXAny(const char* v)
{
    if (v != nullptr) {
        value = std::string(v);
    }
}
OXAny::OXAny(std::string v)
    : value(std::move(v))
{
}
OXAny::OXAny(const OXAnyMap& v)
    : value(std::make_shared<const OXAnyMap>(v))
{
}
OXAny::OXAny(OXAnyMap&& v)
    : value(std::make_shared<const OXAnyMap>(std::move(v)))
{
}

OXAny::OXAny(const OXAny&) = default;
OXAny::OXAny(OXAny&&) noexcept = default;
OXAny& OXAny::operator=(const OXAny&) = default;
OXAny& OXAny::operator=(OXAny&&) noexcept = default;
OXAny::~OXAny() = default;

OXAny::Type OXAny::getType() const
{
    switch (value.index()) {
    case kBoolIndex:
        return Type::Bool;
    case kIntIndex:
        return Type::Int;
    case kFloatIndex:
        return Type::Float;
    case kStringIndex:
        return Type::String;
    case kMapIndex:
        return Type::Map;
    case kEmptyIndex:
    default:
        return Type::Empty;
    }
}

bool OXAny::isEmpty() const
{
    return value.index() == kEmptyIndex;
}

const char* OXAny::typeName(Type type)
{
    switch (type) {
    case Type::Empty:
        return "empty";
    case Type::Bool:
        return "bool";
    case Type::Int:
        return "int";
    case Type::Float:
        return "float";
    case Type::String:
        return "string";
    case Type::Map:
        return "map";
    }
    return "unknown";
}

template <>
bool OXAny::convert<bool>() const
{
    if (const bool* b = std::get_if<bool>(&value)) {
        return *b;
    }
    throwTypeError(getType(), "bool");
}

template <>
std::int64_t OXAny::convert<std::int64_t>() const
{
    if (const std::int64_t* i = std::get_if<std::int64_t>(&value)) {
        return *i;
    }
    if (const double* d = std::get_if<double>(&value)) {
        return floatToInteger<std::int64_t>(*d, "int");
    }
    throwTypeError(getType(), "int");
}

template <>
int OXAny::convert<int>() const
{
    if (const std::int64_t* i = std::get_if<std::int64_t>(&value)) {
        if (*i < std::numeric_limits<int>::min() || *i > std::numeric_limits<int>::max()) {
            throw OXAnyTypeError("OXAny: int value " + std::to_string(*i) + " does not fit a 32-bit int");
        }
        return static_cast<int>(*i);
    }
    if (const double* d = std::get_if<double>(&value)) {
        return floatToInteger<int>(*d, "a 32-bit int");
    }
    throwTypeError(getType(), "int");
}

template <>
double OXAny::convert<double>() const
{
    if (const double* d = std::get_if<double>(&value)) {
        return *d;
    }
    if (const std::int64_t* i = std::get_if<std::int64_t>(&value)) {
        return static_cast<double>(*i);
    }
    throwTypeError(getType(), "float");
}

template <>
float OXAny::convert<float>() const
{
    return static_cast<float>(convert<double>());
}

template <>
std::string OXAny::convert<std::string>() const
{
    if (const std::string* s = std::get_if<std::string>(&value)) {
        return *s;
    }
    throwTypeError(getType(), "string");
}

template <>
OXAnyMap OXAny::convert<OXAnyMap>() const
{
    if (const auto* m = std::get_if<std::shared_ptr<const OXAnyMap>>(&value)) {
        return **m;
    }
    throwTypeError(getType(), "map");
}

bool OXAny::operator==(const OXAny& other) const
{
    if (value.index() != other.value.index()) {
        return false;
    }
    if (value.index() == kMapIndex) {
        const auto& a = std::get<kMapIndex>(value);
        const auto& b = std::get<kMapIndex>(other.value);
        return a == b || *a == *b;
    }
    return value == other.value;
}

// ---- OXAnyMap ---------------------------------------------------------------

OXAnyMap::OXAnyMap() = default;

OXAnyMap::OXAnyMap(std::initializer_list<std::pair<const std::string, OXAny>> list)
    : entries(list)
{
}

OXAny OXAnyMap::at(const std::string& key) const
{
    const auto it = entries.find(key);
    if (it == entries.end()) {
        throwMissingKey(key);
    }
    return it->second;
}

bool OXAnyMap::hasKey(const std::string& key) const
{
    return entries.find(key) != entries.end();
}

void OXAnyMap::set(const std::string& key, OXAny value)
{
    entries.insert_or_assign(key, std::move(value));
}

bool OXAnyMap::remove(const std::string& key)
{
    return entries.erase(key) > 0;
}

std::size_t OXAnyMap::size() const
{
    return entries.size();
}

bool OXAnyMap::empty() const
{
    return entries.empty();
}

OXAnyMap::const_iterator OXAnyMap::begin() const
{
    return entries.begin();
}

OXAnyMap::const_iterator OXAnyMap::end() const
{
    return entries.end();
}

bool OXAnyMap::operator==(const OXAnyMap& other) const
{
    return entries == other.entries;
}

void OXAnyMap::throwMissingKey(const std::string& key)
{
    throw OXAnyKeyError("OXAnyMap: no value under key '" + key + "'");
}

} // namespace ombrix
