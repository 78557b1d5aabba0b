#pragma once
// Everything the stream and RPC layers share with the facade, in one include.

#include "client/group_layout.hpp"
#include "client/joint_group.hpp"
#include "client/records.hpp"
#include "client/rmx_state.hpp"
#include "client/serial_number.hpp"
#include "client/system_state.hpp"
