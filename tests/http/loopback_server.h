// The transport tests' names for the shared scripted loopback server
// (support/loopback_server.h): scripts of steps that read requests, send
// pieces with delays between them, drip, flood, close or reset.
#pragma once

#include "support/loopback_server.h"

namespace corvel::http::testing {

using corvel::testing::CloseConnection;
using corvel::testing::Delay;
using corvel::testing::Drip;
using corvel::testing::Flood;
using corvel::testing::FloodWith;
using corvel::testing::HoldOpen;
using corvel::testing::LoopbackServer;
using corvel::testing::Paced;
using corvel::testing::ReadRequest;
using corvel::testing::Repeat;
using corvel::testing::ResetConnection;
using corvel::testing::Script;
using corvel::testing::SendBytes;
using corvel::testing::Step;
using corvel::testing::UnusedPort;

}  // namespace corvel::http::testing
