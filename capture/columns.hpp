#pragma once
// Samples of both streams as columns: one row per sample, one array per field, row after
// row (a field of width w holds rows x w values). The per-group values are those the
// client's states() and actions() give for the same sample: the same cut by the layout
// learnt at connection, the same widening, tcp_wrench and raw_tcp_wrench in the world frame.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "client/joint_group.hpp"

namespace korvel::quor {

// One joint group of the basic stream. Joint fields hold rows x dof values, poses rows x 7,
// twists and wrenches rows x 6. A row whose sample did not fit the layout holds NaN.
struct StateColumns {
  std::size_t dof = 0;
  std::vector<double> q, theta, dq, dtheta, tau, tau_dot, tau_ext, tau_interact, temperature;
  std::vector<double> flange_pose, tcp_pose;
  std::vector<double> tcp_twist, tcp_wrench, tcp_wrench_local, raw_tcp_wrench, raw_tcp_wrench_local,
      raw_ft_sensor;

  // The column of each RobotStates field, in the order of its field table
  // (stream/record_fields.hpp), which gives their names and widths.
  static constexpr auto Fields() {
    using C = StateColumns;
    return std::make_tuple(&C::q, &C::theta, &C::dq, &C::dtheta, &C::tau, &C::tau_dot, &C::tau_ext,
                           &C::tau_interact, &C::temperature, &C::flange_pose, &C::tcp_pose,
                           &C::tcp_twist, &C::tcp_wrench, &C::tcp_wrench_local, &C::raw_tcp_wrench,
                           &C::raw_tcp_wrench_local, &C::raw_ft_sensor);
  }
};

// One joint group of the extra stream: rows x dof, rows x 7, rows x 6.
struct ActionColumns {
  std::size_t dof = 0;
  std::vector<double> q_d, dq_d, tau_d;
  std::vector<double> tcp_pose_d;
  std::vector<double> tcp_twist_d, tcp_wrench_d;

  // As StateColumns::Fields, for RobotActions.
  static constexpr auto Fields() {
    using C = ActionColumns;
    return std::make_tuple(&C::q_d, &C::dq_d, &C::tau_d, &C::tcp_pose_d, &C::tcp_twist_d,
                           &C::tcp_wrench_d);
  }
};

// Every sample exactly as it arrived, decodable or not, in arrival order.
struct RawSamples {
  std::vector<std::uint64_t> seq;
  std::vector<std::int64_t> receive_time_ns;  // wall clock, ns since the Unix epoch
  std::vector<std::int64_t> receive_mono_ns;  // monotonic clock (CLOCK_MONOTONIC), ns
  std::vector<std::int32_t> robot_time;       // rows x 2; (0, 0) where it did not decode
  std::vector<std::uint8_t> decoded;          // 1 where the payload decoded
  std::vector<std::uint8_t> data;             // the payloads back to back
  std::vector<std::uint64_t> offsets;         // rows + 1: payload i is [offsets[i], offsets[i+1])
};

// What both streams' batches share. Rows are the samples that decoded, in arrival order.
struct StreamRows {
  std::size_t rows = 0;
  std::vector<std::uint64_t> seq;  // counted per stream from 0, every sample received
  // The robot's timestamp (two words, as states() gives them). The extra stream carries
  // none: its rows hold the latest basic timestamp at arrival, as actions() does.
  std::vector<std::int32_t> robot_time;       // rows x 2
  std::vector<std::int64_t> receive_time_ns;  // wall clock, ns since the Unix epoch
  std::vector<std::int64_t> receive_mono_ns;  // monotonic clock (CLOCK_MONOTONIC), ns
  // 0 where the sample did not fit the layout learnt at connection (then states() or
  // actions() would answer with an empty map; the group values of the row are NaN).
  std::vector<std::uint8_t> layout_ok;
  // Samples whose payload did not decode: their sequence number and size.
  std::vector<std::uint64_t> undecodable_seq;
  std::vector<std::uint32_t> undecodable_size;
  std::vector<std::string> undecodable_reason;  // filled when decoding a recording
  // Oldest samples the capture's buffer dropped, unseen, since the previous batch.
  std::uint64_t dropped = 0;
  RawSamples raw;  // filled only when the capture keeps payloads
};

struct BasicBatch : StreamRows {
  std::vector<std::uint16_t> system_state;
  std::vector<std::int16_t> safety_board_state;
  std::vector<std::uint8_t> estop_released;
  std::vector<std::uint8_t> enabling_device_on;
  std::vector<std::uint8_t> safety_inputs;    // rows x 8
  std::vector<std::uint8_t> digital_inputs;   // rows x 20
  std::vector<std::uint8_t> digital_outputs;  // rows x 20
  std::map<JointGroup, StateColumns> groups;  // the groups the client learnt at connection
};

struct ExtraBatch : StreamRows {
  std::map<JointGroup, ActionColumns> groups;
};

struct CaptureBatch {
  BasicBatch basic;
  ExtraBatch extra;
};

}  // namespace korvel::quor
