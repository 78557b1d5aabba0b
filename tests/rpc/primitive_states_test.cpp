#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "rpc/primitive_states.hpp"

namespace korvel::quor_impl {
namespace {

using quor::JointGroup;
using Value = quor::PrimitiveStates::Value;
using Values = std::map<std::string, Value>;

const GroupNames kNames{{JointGroup::ARMS, "ARMS"}, {JointGroup::ARM_1, "ARM_1"}};

TEST(PrimitiveStatesTest, DecodesOneRecordPerBlock) {
  const auto states =
      DecodePrimitiveStates({"jointGroup = 2", "primitiveName = Hold", "count = 3", "ratio = 0.5",
                             "label = fast lane", "jointGroup = 3", "primitiveName = Home"},
                            kNames);
  ASSERT_EQ(states.size(), 2u);
  EXPECT_EQ(states.at(JointGroup::ARMS).pt_name, "Hold");
  EXPECT_EQ(states.at(JointGroup::ARMS).names_and_values,
            (Values{{"count", 3}, {"label", std::string("fast")}, {"ratio", 0.5}}));
  EXPECT_EQ(states.at(JointGroup::ARM_1).pt_name, "Home");
  EXPECT_TRUE(states.at(JointGroup::ARM_1).names_and_values.empty());
  EXPECT_TRUE(DecodePrimitiveStates({}, kNames).empty());
}

TEST(PrimitiveStatesTest, KeysDropTheCharacterBeforeTheFirstEqualsSign) {
  const auto states = DecodePrimitiveStates(
      {"jointGroup = 2", "primitiveName = Hold", "count=3", "speed = 1", "speed = 2", "a=b = c"},
      kNames);
  EXPECT_EQ(states.at(JointGroup::ARMS).names_and_values,
            (Values{{"coun", 3}, {"speed", 1}, {"", std::string("b")}}));
}

TEST(PrimitiveStatesTest, ValuesAreTypedByTheirFirstToken) {
  const std::vector<std::pair<std::string, Value>> cases = {{" fast lane", std::string("fast")},
                                                            {" +5", 5.0},
                                                            {" 007", 7},
                                                            {" 1e3", 1000.0},
                                                            {" -12 mm", -12},
                                                            {"\t0.5\n", 0.5},
                                                            {" 5.", 5.0},
                                                            {" 0x1A", std::string("0x1A")},
                                                            {" nan", std::string("nan")},
                                                            {" inf", std::string("inf")},
                                                            {" 1e", std::string("1e")},
                                                            {" --5", std::string("--5")},
                                                            {"", std::string()},
                                                            {"   ", std::string()}};
  for (const auto& [text, value] : cases) {
    EXPECT_EQ(TypePrimitiveValue(text), value) << "'" << text << "'";
  }
  EXPECT_THROW(TypePrimitiveValue(" -"), std::invalid_argument);
  EXPECT_THROW(TypePrimitiveValue(" 99999999999"), std::out_of_range);
}

TEST(PrimitiveStatesTest, CorruptedListsHoldAnEmptyEntry) {
  EXPECT_TRUE(IsCorruptedPtStatesList({"jointGroup = 2", ""}));
  EXPECT_TRUE(IsCorruptedPtStatesList({""}));
  EXPECT_FALSE(IsCorruptedPtStatesList({}));
  EXPECT_FALSE(IsCorruptedPtStatesList({" ", "x"}));
}

// Runs `call` and returns "<kind>: <what>" of what it threw, or "no exception".
std::string Thrown(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::runtime_error& e) {
    return std::string("runtime_error: ") + e.what();
  } catch (const std::invalid_argument& e) {
    return std::string("invalid_argument: ") + e.what();
  } catch (const std::out_of_range& e) {
    return std::string("out_of_range: ") + e.what();
  } catch (const std::bad_variant_access&) {
    return "bad_variant_access";
  }
  return "no exception";
}

TEST(PrimitiveStatesTest, MalformedListsThrow) {
  const std::string prefix = "runtime_error: [korvel::quor::Client::primitive_states] ";
  const std::string missing =
      prefix + "Malformed primitive states: jointGroup or primitiveName missing";
  const std::string malformed = prefix + "Malformed primitive state entry";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"jointGroup=2", "primitiveName = Hold"}, missing},  // key "jointGrou"
      {{"jointGroupX = 2", "primitiveName = Hold"}, missing},
      {{"jointGroup = 2", "count = 1"}, missing},
      {{"jointGroup = 2.0", "primitiveName = Hold"}, "bad_variant_access"},
      {{"jointGroup = 2", "primitiveName = 7"}, "bad_variant_access"},
      {{"jointGroup = 2", "primitiveName = A", "jointGroup = 2", "primitiveName = B"},
       prefix + "Duplicate primitive states for a joint group"},
      {{"jointGroup = 4", "primitiveName = A"},
       prefix + "Received primitive states for unknown joint group"},
      {{"primitiveName = A", "jointGroup = 2"},
       prefix + "Malformed primitive states: missing jointGroup marker"},
      {{"jointGroup = 2", "primitiveName = A", "novalue"}, malformed},
      {{"jointGroup = 2", "primitiveName = A", "= 3"}, malformed},
      {{"jointGroup = 2", ""}, malformed},
      {{"jointGroup 2"}, malformed},
      {{"jointGroup = x"}, "invalid_argument: stoi"},
      {{"jointGroup = 2", "primitiveName = A", "n = 99999999999"}, "out_of_range: stoi"},
  };
  for (const auto& [list, thrown] : cases) {
    EXPECT_EQ(Thrown([&] { DecodePrimitiveStates(list, kNames); }), thrown) << list.front();
  }
  // A group absent from the basic stream at connection is unknown.
  EXPECT_EQ(Thrown([] { DecodePrimitiveStates({"jointGroup = 2", "primitiveName = A"}, {}); }),
            prefix + "Received primitive states for unknown joint group");
}

}  // namespace
}  // namespace korvel::quor_impl
