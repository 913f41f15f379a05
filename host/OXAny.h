#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "OmbrixExport.h"

namespace ombrix {

class OXAnyMap;

// Thrown by OXAny::convert when the held value is not of the requested kind.
class OMBRIX_SDK_API OXAnyTypeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Thrown by OXAnyMap::at (and get without default) for a key that is absent.
// The message names the key.
class OMBRIX_SDK_API OXAnyKeyError : public std::out_of_range {
public:
    using std::out_of_range::out_of_range;
};

// The host's dynamic value: empty, bool, integer, floating point, string or map.
// Values are immutable once built; copies are cheap (maps are shared).
class OMBRIX_SDK_API OXAny {
public:
    enum class Type { Empty, Bool, Int, Float, String, Map };

    OXAny();
    OXAny(bool value);
    OXAny(int value);
    OXAny(std::int64_t value);
    OXAny(float value);
    OXAny(double value);
    OXAny(const char* value);
    OXAny(std::string value);
    OXAny(const OXAnyMap& value);
    OXAny(OXAnyMap&& value);

    OXAny(const OXAny&);
    OXAny(OXAny&&) noexcept;
    OXAny& operator=(const OXAny&);
    OXAny& operator=(OXAny&&) noexcept;
    ~OXAny();

    Type getType() const;
    bool isEmpty() const;
    static const char* typeName(Type type);

    // Converts to T. Supported: bool, int, std::int64_t, float, double,
    // std::string, OXAnyMap. Integers and floats convert into each other;
    // every other mismatch throws OXAnyTypeError naming both kinds.
    template <typename T>
    T convert() const;

    bool operator==(const OXAny& other) const;

private:
    std::variant<std::monostate, bool, std::int64_t, double, std::string, std::shared_ptr<const OXAnyMap>>
        value;
};

template <>
OMBRIX_SDK_API bool OXAny::convert<bool>() const;
template <>
OMBRIX_SDK_API int OXAny::convert<int>() const;
template <>
OMBRIX_SDK_API std::int64_t OXAny::convert<std::int64_t>() const;
template <>
OMBRIX_SDK_API float OXAny::convert<float>() const;
template <>
OMBRIX_SDK_API double OXAny::convert<double>() const;
template <>
OMBRIX_SDK_API std::string OXAny::convert<std::string>() const;
template <>
OMBRIX_SDK_API OXAnyMap OXAny::convert<OXAnyMap>() const;

// String-keyed map of OXAny values, visited in key order.
class OMBRIX_SDK_API OXAnyMap {
public:
    using Storage = std::map<std::string, OXAny>;
    using const_iterator = Storage::const_iterator;

    OXAnyMap();
    OXAnyMap(std::initializer_list<std::pair<const std::string, OXAny>> entries);

    // Copy of the value under key; throws OXAnyKeyError naming the key.
    OXAny at(const std::string& key) const;
    bool hasKey(const std::string& key) const;

    // The value under key converted to T; when the key is absent, the default
    // if one is given, otherwise OXAnyKeyError. A present value of the wrong
    // kind throws OXAnyTypeError.
    template <typename T>
    T get(const std::string& key, std::optional<T> defaultValue = std::nullopt) const
    {
        if (!hasKey(key)) {
            if (defaultValue) {
                return *defaultValue;
            }
            throwMissingKey(key);
        }
        return at(key).template convert<T>();
    }

    void set(const std::string& key, OXAny value);
    bool remove(const std::string& key);
    std::size_t size() const;
    bool empty() const;

    const_iterator begin() const;
    const_iterator end() const;

    bool operator==(const OXAnyMap& other) const;

private:
    [[noreturn]] static void throwMissingKey(const std::string& key);

    Storage entries;
};

} // namespace ombrix
