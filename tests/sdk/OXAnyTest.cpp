#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "host/OXAny.h"

using ombrix::OXAny;
using ombrix::OXAnyKeyError;
using ombrix::OXAnyMap;
using ombrix::OXAnyTypeError;

namespace {

// The message of the exception f throws as E, or a failure when it throws nothing.
template <typename E, typename F>
std::string messageOf(F&& f)
{
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    ADD_FAILURE() << "no exception thrown";
    return {};
}

} // namespace

TEST(OXAny, HoldsEachKindAndConvertsNumbersIntoEachOther)
{
    EXPECT_EQ(OXAny().getType(), OXAny::Type::Empty);
    EXPECT_TRUE(OXAny().isEmpty());
    EXPECT_EQ(OXAny(true).getType(), OXAny::Type::Bool);
    EXPECT_EQ(OXAny(7).getType(), OXAny::Type::Int);
    EXPECT_EQ(OXAny(std::int64_t(1) << 40).convert<std::int64_t>(), std::int64_t(1) << 40);
    EXPECT_EQ(OXAny(2.5f).getType(), OXAny::Type::Float);
    // A C string is a string, not a bool (the classic pointer-to-bool trap).
    EXPECT_EQ(OXAny("text").getType(), OXAny::Type::String);
    EXPECT_EQ(OXAny("text").convert<std::string>(), "text");
    EXPECT_EQ(OXAny(OXAnyMap{{"k", 1}}).getType(), OXAny::Type::Map);

    EXPECT_TRUE(OXAny(true).convert<bool>());
    EXPECT_DOUBLE_EQ(OXAny(3).convert<double>(), 3.0);
    EXPECT_FLOAT_EQ(OXAny(3).convert<float>(), 3.0f);
    EXPECT_EQ(OXAny(2.9).convert<int>(), 2); // toward zero
    EXPECT_EQ(OXAny(-2.9).convert<int>(), -2);
    EXPECT_EQ(OXAny(1e10).convert<std::int64_t>(), std::int64_t(10000000000));

    // Integers that do not fit are refused rather than wrapped.
    EXPECT_THROW(OXAny(std::int64_t(1) << 40).convert<int>(), OXAnyTypeError);
    EXPECT_THROW(OXAny(1e10).convert<int>(), OXAnyTypeError);
    EXPECT_THROW(OXAny(std::numeric_limits<double>::quiet_NaN()).convert<int>(), OXAnyTypeError);
    EXPECT_THROW(OXAny(1e300).convert<std::int64_t>(), OXAnyTypeError);
}

TEST(OXAny, KindMismatchThrowsNamingBothKinds)
{
    const std::string stringAsInt = messageOf<OXAnyTypeError>([] { (void)OXAny("5").convert<int>(); });
    EXPECT_NE(stringAsInt.find("string"), std::string::npos) << stringAsInt;
    EXPECT_NE(stringAsInt.find("int"), std::string::npos) << stringAsInt;

    const std::string emptyAsMap = messageOf<OXAnyTypeError>([] { (void)OXAny().convert<OXAnyMap>(); });
    EXPECT_NE(emptyAsMap.find("empty"), std::string::npos) << emptyAsMap;
    EXPECT_NE(emptyAsMap.find("map"), std::string::npos) << emptyAsMap;

    const std::string intAsBool = messageOf<OXAnyTypeError>([] { (void)OXAny(1).convert<bool>(); });
    EXPECT_NE(intAsBool.find("int"), std::string::npos) << intAsBool;
    EXPECT_NE(intAsBool.find("bool"), std::string::npos) << intAsBool;

    EXPECT_THROW(OXAny(true).convert<std::string>(), OXAnyTypeError);
    EXPECT_THROW(OXAny(1.5).convert<bool>(), OXAnyTypeError);
    EXPECT_THROW(OXAny(OXAnyMap{}).convert<double>(), OXAnyTypeError);
}

TEST(OXAny, EqualityComparesKindAndValueAndMapsByContent)
{
    EXPECT_EQ(OXAny(), OXAny());
    EXPECT_EQ(OXAny("a"), OXAny(std::string("a")));
    EXPECT_EQ(OXAny(1.0f), OXAny(1.0));
    EXPECT_FALSE(OXAny(1) == OXAny(1.0)); // kinds differ
    EXPECT_FALSE(OXAny(true) == OXAny(1));
    EXPECT_FALSE(OXAny("a") == OXAny("b"));
    // Two separately built maps with the same entries are equal; a nested
    // difference makes them unequal.
    const OXAny a(OXAnyMap{{"x", 1}, {"inner", OXAnyMap{{"y", "z"}}}});
    const OXAny b(OXAnyMap{{"inner", OXAnyMap{{"y", "z"}}}, {"x", 1}});
    const OXAny c(OXAnyMap{{"x", 1}, {"inner", OXAnyMap{{"y", "w"}}}});
    EXPECT_EQ(a, b);
    EXPECT_FALSE(a == c);
}

TEST(OXAnyMap, AtGetHasKeyAndDefaults)
{
    OXAnyMap map{{"flag", true}, {"name", "voice"}, {"rate", 16000}};
    EXPECT_TRUE(map.hasKey("flag"));
    EXPECT_FALSE(map.hasKey("missing"));
    EXPECT_EQ(map.at("name").convert<std::string>(), "voice");
    EXPECT_EQ(map.get<int>("rate"), 16000);
    EXPECT_EQ(map.get<bool>("missing", false), false);
    EXPECT_EQ(map.get<bool>("flag", false), true); // present value wins over the default

    const std::string atMessage = messageOf<OXAnyKeyError>([&] { (void)map.at("no-such-key"); });
    EXPECT_NE(atMessage.find("no-such-key"), std::string::npos) << atMessage;
    const std::string getMessage = messageOf<OXAnyKeyError>([&] { (void)map.get<int>("other-key"); });
    EXPECT_NE(getMessage.find("other-key"), std::string::npos) << getMessage;
    // A present value of the wrong kind is a kind error even with a default.
    EXPECT_THROW((void)map.get<bool>("name", false), OXAnyTypeError);

    // at() hands out a copy: changing the map later does not change it.
    OXAny copy = map.at("rate");
    map.set("rate", 8000);
    EXPECT_EQ(copy.convert<int>(), 16000);
    EXPECT_EQ(map.get<int>("rate"), 8000);
    EXPECT_TRUE(map.remove("rate"));
    EXPECT_FALSE(map.remove("rate"));
    EXPECT_EQ(map.size(), 2u);
}

TEST(OXAnyMap, VisitsEntriesInKeyOrderAndCopiesAreIndependent)
{
    OXAnyMap map{{"zeta", 1}, {"alpha", 2}, {"Mid", 3}, {"beta", 4}};
    std::vector<std::string> keys;
    for (const auto& [key, value] : map) {
        keys.push_back(key);
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"Mid", "alpha", "beta", "zeta"}));

    // A map held in an OXAny is a snapshot of the map at construction.
    OXAnyMap inner{{"k", "v"}};
    const OXAny held(inner);
    inner.set("k", "changed");
    EXPECT_EQ(held.convert<OXAnyMap>().get<std::string>("k"), "v");

    OXAnyMap copy = map;
    copy.set("alpha", 20);
    EXPECT_EQ(map.get<int>("alpha"), 2);
    EXPECT_FALSE(copy == map);
    EXPECT_TRUE(OXAnyMap().empty());
}
