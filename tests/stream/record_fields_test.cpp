// The field tables are the one place a field is declared: a member left out of one would
// silently be neither decoded, assembled, captured nor shown in Python.

#include <gtest/gtest.h>

#include <cstddef>
#include <set>
#include <string>
#include <tuple>

#include "msgs/basic_stream_data.hpp"
#include "msgs/extra_stream_data.hpp"
#include "stream/record_fields.hpp"

namespace korvel::quor_impl {
namespace {

using namespace zenoh_msgs::quor_msg;

template <class T, class M>
constexpr std::size_t SizeOfMember(M T::*) {
  return sizeof(M);
}

template <class Tuple>
std::size_t SumOfMembers(const Tuple& members) {
  return std::apply([](auto... m) { return (std::size_t{0} + ... + SizeOfMember(m)); }, members);
}

template <class Table>
std::size_t SumOfRecordFields(const Table& table) {
  std::size_t bytes = 0;
  ForEachField(table, [&](const auto& field) { bytes += SizeOfMember(field.member); });
  return bytes;
}

// True when no two rows of the table share a member: each row's member, written with the
// row's number, still holds it after every row has been written.
template <class Record, class Table>
bool MembersDistinct(const Table& table) {
  Record record;
  double row = 0;
  ForEachField(table, [&](const auto& field) {
    auto& member = record.*field.member;
    if constexpr (requires { member.assign(1, 0.0); }) {
      member.assign(1, row);
    } else {
      member.fill(row);
    }
    ++row;
  });
  row = 0;
  bool distinct = true;
  ForEachField(table, [&](const auto& field) {
    distinct = distinct && (record.*field.member)[0] == row;
    ++row;
  });
  return distinct;
}

template <class Table>
std::set<std::string> Names(const Table& table) {
  std::set<std::string> names;
  ForEachField(table, [&](const auto& field) { names.insert(field.name); });
  return names;
}

// These structs have no padding, so their size is the sum of the members listed: a member
// missing from Fields() (or listed twice) shows as a difference.
TEST(RecordFieldsTest, TheWireFieldListsNameEveryMember) {
  EXPECT_EQ(SumOfMembers(BasicJointData::Fields()), sizeof(BasicJointData));
  EXPECT_EQ(SumOfMembers(BasicCartesianData::Fields()), sizeof(BasicCartesianData));
  EXPECT_EQ(SumOfMembers(ExtraJointData::Fields()), sizeof(ExtraJointData));
  EXPECT_EQ(SumOfMembers(ExtraCartesianData::Fields()), sizeof(ExtraCartesianData));
  EXPECT_EQ(SumOfMembers(AllExtraStreamData::Fields()), sizeof(AllExtraStreamData));
}

// Every member of a record but its timestamp has exactly one row in its table.
TEST(RecordFieldsTest, TheRecordTablesNameEveryMemberOnce) {
  EXPECT_EQ(sizeof(quor::RobotStates::timestamp) + SumOfRecordFields(fields::kStates),
            sizeof(quor::RobotStates));
  EXPECT_EQ(sizeof(quor::RobotActions::timestamp) + SumOfRecordFields(fields::kActions),
            sizeof(quor::RobotActions));
  EXPECT_EQ(Names(fields::kStates).size(), std::tuple_size_v<decltype(fields::kStates)>);
  EXPECT_EQ(Names(fields::kActions).size(), std::tuple_size_v<decltype(fields::kActions)>);
  EXPECT_TRUE(MembersDistinct<quor::RobotStates>(fields::kStates));
  EXPECT_TRUE(MembersDistinct<quor::RobotActions>(fields::kActions));
}

}  // namespace
}  // namespace korvel::quor_impl
