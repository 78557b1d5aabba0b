#include "zenoh/keyexpr.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

struct KeyExprCase {
  const char* input;
  const char* canonical;
};

TEST(KeyExpr, AutocanonizationRewritesToTheCanonicalForm) {
  const KeyExprCase cases[] = {
      {"korvel/robot/AB-4s-012345/rpc", "korvel/robot/AB-4s-012345/rpc"},
      {"a/**/**/b", "a/**/b"},
      {"a/**/*/b", "a/*/**/b"},
      {"a/$*/b", "a/*/b"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zenoh::KeyExpr(c.input).as_string_view(), c.canonical) << c.input;
  }
}

TEST(KeyExpr, RefusedExpressionThrowsWithTheExpressionInTheMessage) {
  // Beyond 1024 bytes a key expression no longer fits zenoh's messages safely (at some
  // 65 000 bytes zenoh's own pipeline panics and the session goes dead): refused up front.
  const std::string refused[] = {"",
                                 "a//b",
                                 "/a",
                                 "a/",
                                 "a?b",
                                 "a#b",
                                 "korvel/robot/AB 4s-0/$x",
                                 "korvel/robot/AB-" + std::string(70000, '0') + "/rpc",
                                 std::string(1025, 'k')};
  EXPECT_EQ(zenoh::KeyExpr(std::string(1024, 'k')).as_string_view().size(), 1024u);
  for (const std::string& text : refused) {
    try {
      zenoh::KeyExpr ke(text);
      ADD_FAILURE() << "accepted: '" << text << "' as '" << ke.as_string_view() << "'";
    } catch (const zenoh::ZException& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Failed to construct KeyExpr from: ") + text);
      EXPECT_LT(e.get_error_code(), 0);
    }
  }
}

TEST(KeyExpr, WithoutAutocanonizationANonCanonicalFormIsRefused) {
  EXPECT_THROW(zenoh::KeyExpr("a/**/**/b", false), zenoh::ZException);
  EXPECT_EQ(zenoh::KeyExpr("a/**/b", false).as_string_view(), "a/**/b");
}

TEST(KeyExpr, ResultSinkReceivesTheCodeInsteadOfAnException) {
  zenoh::ZResult err = zenoh::Z_OK;
  zenoh::KeyExpr ke("a//b", true, &err);
  EXPECT_LT(err, 0);
  zenoh::KeyExpr good("a/b", true, &err);
  EXPECT_EQ(err, zenoh::Z_OK);
}

}  // namespace
