#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include "client/records.hpp"
#include "rpc/classic_stod.hpp"
#include "rpc/plan_info.hpp"
#include "rpc/primitive_states.hpp"

namespace korvel::quor_impl {
namespace {

TEST(ClassicStodTest, BehavesAsStodInTheCLocale) {
  const std::vector<std::pair<std::string, double>> values = {
      {"0.5 m/s", 0.5}, {"  -2.25", -2.25}, {"+5", 5.0}, {"1e3x", 1000.0}, {"0x1A", 26.0}};
  for (const auto& [text, value] : values) {
    EXPECT_EQ(ClassicStod(text), value) << text;
  }
  for (const std::string text : {"", "  ", "m/s", "-"}) {
    EXPECT_THROW(ClassicStod(text), std::invalid_argument) << text;
  }
  for (const std::string text : {"1e999", "-1e999", "1e-400"}) {
    EXPECT_THROW(ClassicStod(text), std::out_of_range) << text;
  }
}

// A host program may switch LC_NUMERIC to a locale with a decimal comma; the robot's texts
// use a decimal point regardless. The locale is compiled for the test from the sources of
// Debian's "locales" package, which scripts/setup installs: without them the test fails
// rather than pass unnoticed as skipped.
TEST(ClassicStodTest, DecimalCommaLocaleDoesNotChangeTheRobotsNumbers) {
  // Per process: other build trees may run this test at the same moment.
  const auto dir =
      std::filesystem::temp_directory_path() / ("kq_rpc_locale_test_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string command =
      "localedef -i de_DE -f UTF-8 '" + (dir / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0)
      << "cannot compile the de_DE locale (localedef and Debian's locales package needed)";
  setenv("LOCPATH", dir.c_str(), 1);
  ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr) << "de_DE.UTF-8 not loadable";
  ASSERT_EQ(std::stod("0.5"), 0.0) << "the locale should break std::stod, or the test is moot";

  quor::PlanInfo info;
  const RmxState state = ReadPlanInfo({"a", "b", "c", "d", "e", "f", "0.5 m/s", "1"}, info);
  const auto typed = TypePrimitiveValue(" 0.25");
  std::setlocale(LC_NUMERIC, "C");
  unsetenv("LOCPATH");
  std::filesystem::remove_all(dir);

  EXPECT_EQ(state.code, OK);
  EXPECT_EQ(info.velocity_scale, 0.5);
  EXPECT_EQ(typed, quor::PrimitiveStates::Value(0.25));
}

}  // namespace
}  // namespace korvel::quor_impl
