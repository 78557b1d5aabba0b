#pragma once
// Owns the middleware of one client: the two nodes on the shared zenoh session, the stream
// side and the query side. Starts the communication services and finds the robot.

#include <string>

#include "middleware/nodes.hpp"
#include "rpc/data_rpc.hpp"
#include "stream/data_stream.hpp"

namespace korvel::quor_impl {

class QuorClient {
 public:
  // Opens or joins the process-wide zenoh session; logs nothing.
  explicit QuorClient(bool verbose);
  // Logs the exit line, then drops the query side, the streams and the nodes.
  virtual ~QuorClient();

  QuorClient(const QuorClient&) = delete;
  QuorClient& operator=(const QuorClient&) = delete;

  // Starts the communication services and probes the robot up to three times; throws
  // std::runtime_error when either fails.
  void Init(const std::string& robot_sn);
  RmxState InitMiddleware(const std::string& robot_sn);
  bool IsConnected();

  zenoh_mdw::ReliableNode reliable_node;
  zenoh_mdw::RealtimeNode realtime_node;
  DataStream data_stream;
  DataRpc data_rpc;
  bool verbose;
};

}  // namespace korvel::quor_impl
