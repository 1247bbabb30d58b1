#include "ovx/OvxJson.h"

#include <gtest/gtest.h>

namespace Norvane {
namespace {

TEST(OvxJsonTest, KeysInAnyLetterCaseNameTheSameMember) {
    auto json = OvxJson::parse(R"({"TOPIC":"a/b","Value":"1"})");
    EXPECT_EQ(json.value("topic", std::string()), "a/b");
    EXPECT_EQ(json.at("value"), "1");
    EXPECT_TRUE(json.contains("vAlUe"));

    json["topic"] = "c";  // the existing member, not a second one
    EXPECT_EQ(json.size(), 2u);
    EXPECT_EQ(json.value("Topic", std::string()), "c");
}

TEST(OvxJsonTest, ObjectsSerialiseInCaseInsensitiveKeyOrder) {
    OvxJson json = OvxJson::object();
    json["text"] = "t";
    json["Hint"] = "";
    json["code"] = 2;
    json["_x"] = 1;  // '_' sorts after the letters once they are upper-cased
    EXPECT_EQ(json.dump(), R"({"code":2,"Hint":"","text":"t","_x":1})");
}

TEST(OvxJsonTest, ComparatorIsAStrictOrderIgnoringCase) {
    const CaseInsensitiveLess less;
    EXPECT_FALSE(less("abc", "ABC"));
    EXPECT_FALSE(less("ABC", "abc"));
    EXPECT_TRUE(less("ab", "ABC"));
    EXPECT_TRUE(less("Abc", "abd"));
    EXPECT_FALSE(less("", ""));
}

}  // namespace
}  // namespace Norvane
