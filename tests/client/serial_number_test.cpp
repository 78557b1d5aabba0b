#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "client/serial_number.hpp"

namespace korvel::quor_impl {
namespace {

using namespace std::string_literals;

TEST(SerialNumberTest, AcceptedSerialNumbersAreNormalized) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"AB 4s-012345", "AB-4s-012345"},   {"AB-4s-012345", "AB-4s-012345"},
      {"AB 4s-01 23", "AB-4s-01 23"},  // the unit part keeps its space
      {"AB-4s 7 x-9", "AB-4s-7-x-9"},     {"A-1", "A-1"},
      {"AB-\xC3\xA9 ~", "AB-\xC3\xA9 ~"},  // the unit part is not examined beyond its specials
  };
  for (const auto& [input, normal] : cases) {
    EXPECT_EQ(NormalizeSerialNumber(input), std::optional<std::string>(normal)) << input;
  }
}

TEST(SerialNumberTest, MalformedSerialNumbersAreRejected) {
  const std::vector<std::string> cases = {
      "", "AB  4s-012345", " AB-012345", "AB -012345", "AB--012345", "AB_4s-012345", "AB-01_23",
      "AB.4s-012345", "AB4s012345", "-012345", "AB-", "-", "AB\t4-1", "AB\xC3\xA9-1", "AB\0C-1"s,
      // Characters with a meaning in zenoh key expressions would reach other robots' topics.
      "AB-1*", "AB-**", "AB-$*", "AB-1/2", "AB-1?x", "AB-#1",
      // Control characters anywhere (a NUL would also cut every message naming the serial),
      // and serials longer than any real one.
      "AB-01\0"s,
      "AB-0\x1F"
      "1",
      "AB-\x7F", "AB-\n", "AB-" + std::string(254, '0')};
  EXPECT_NE(NormalizeSerialNumber("AB-" + std::string(253, '0')), std::nullopt) << "256 bytes";
  for (const auto& input : cases) {
    EXPECT_EQ(NormalizeSerialNumber(input), std::nullopt) << input;
  }
}

// Every string of up to four bytes over an alphabet of the interesting byte classes: an
// accepted serial number keeps its length, has a clean model part and is its own normal form.
TEST(SerialNumberTest, NormalFormsAreWellFormedAndStable) {
  const std::string alphabet = "A1 -_.*\x80"s + '\0';
  std::vector<std::string> inputs = {""};
  for (int length = 1; length <= 4; ++length) {
    std::vector<std::string> longer;
    for (const auto& prefix : inputs) {
      if (prefix.size() + 1 != static_cast<std::size_t>(length)) continue;
      for (const char c : alphabet) longer.push_back(prefix + c);
    }
    inputs.insert(inputs.end(), longer.begin(), longer.end());
  }
  int accepted = 0;
  for (const auto& input : inputs) {
    const auto normal = NormalizeSerialNumber(input);
    if (!normal) continue;
    ++accepted;
    ASSERT_EQ(normal->size(), input.size()) << input;
    const std::string model = normal->substr(0, normal->rfind('-'));
    EXPECT_EQ(model.find_first_not_of("A1-"), std::string::npos) << input;
    EXPECT_EQ(NormalizeSerialNumber(*normal), normal) << input;
  }
  EXPECT_GT(accepted, 0);
}

}  // namespace
}  // namespace korvel::quor_impl
