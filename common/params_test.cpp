// Tests of the JSON settings holder: what loads, what a failed load keeps, and key lookups.
#include "common/params.h"

#include <string>

#include <gtest/gtest.h>

namespace kestrun {
namespace {

TEST(ParamsTest, EmptyHolderHasNoKeys) {
  params holder;
  EXPECT_TRUE(holder.value.is_null());
  EXPECT_FALSE(holder.load(""));
  EXPECT_TRUE(holder.value.is_null());
  EXPECT_FALSE(holder.contains("a"));
  EXPECT_FALSE(holder.contains(""));
}

TEST(ParamsTest, ObjectKeysAreFoundExactly) {
  params holder;
  ASSERT_TRUE(holder.load(R"({"a":1, "caf\u00e9":"x", "\ud83d\ude00":"emoji"})"));
  EXPECT_TRUE(holder.contains("a"));
  EXPECT_FALSE(holder.contains("b"));
  EXPECT_FALSE(holder.contains("A"));
  EXPECT_TRUE(holder.contains("caf\xC3\xA9"));
  EXPECT_TRUE(holder.contains("\xF0\x9F\x98\x80"));
  EXPECT_EQ(holder.value["\xF0\x9F\x98\x80"].get<std::string>(), "emoji");
}

TEST(ParamsTest, OtherKindsOfValueHaveNoKeys) {
  for (const char* text : {"[1,2]", R"(["a"])", R"("a")", "1", "true", "null", "  {} \n"}) {
    SCOPED_TRACE(text);
    params holder;
    ASSERT_TRUE(holder.load(text));
    EXPECT_FALSE(holder.contains("a"));
    EXPECT_FALSE(holder.contains("0"));
  }
}

TEST(ParamsTest, TextThatIsNotJsonKeepsTheValueBefore) {
  params holder;
  ASSERT_TRUE(holder.load(R"({"x":"link"})"));
  const std::string bad[] = {R"({"a":1,})",        "{",          "not json", R"({"a":1} // note)",
                             R"({"a":1} {"b":2})", "\xFF\xFE{}", " ",        R"({"a":"\ud800"})",
                             "{\"a\":\"\xC3\"}"};
  for (const auto& text : bad) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(holder.load(text));
    EXPECT_TRUE(holder.contains("x"));
    EXPECT_EQ(holder.value.at("x"), "link");
  }
}

TEST(ParamsTest, LoadReplacesTheValue) {
  params holder;
  ASSERT_TRUE(holder.load(R"({"a":1})"));
  ASSERT_TRUE(holder.load(R"({"b":2})"));
  EXPECT_FALSE(holder.contains("a"));
  EXPECT_TRUE(holder.contains("b"));
}

TEST(ParamsTest, WrongKindsThrowTypeErrors) {
  params holder;
  ASSERT_TRUE(holder.load(R"({"x":5})"));
  EXPECT_THROW((void)holder.value["x"].get<std::string>(), nlohmann::json::type_error);
  ASSERT_TRUE(holder.load("[1]"));
  EXPECT_THROW((void)holder.value.at("x"), nlohmann::json::type_error);
}

}  // namespace
}  // namespace kestrun
