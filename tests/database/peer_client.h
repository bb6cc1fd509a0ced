// A test client for the Database's peers.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "database/agent_wire.h"
#include "database/collector_support.h"
#include "support/frame_client.h"

// The servers' answers to a hello, whole messages: the Manager's, and the Database's (its
// name, the version word and a zero byte).
inline const Bytes kManagerAnswer("\x01\x00\x00\x00\x08\x00MANAGER", 13);
inline const Bytes kDatabaseAnswer("\x01\x00\x00\x00\x0B"
                                   "DATABASE\x30\x06\x00",
                                   16);

// A frame client whose failures to connect or to read the server's frames fail the test.
class PeerClient : public FrameClient {
public:
    explicit PeerClient(unsigned port, size_t area = SOCK_COMPRESS_AREA) : FrameClient(port, area) {
        EXPECT_TRUE(connected()) << strerror(errno);
    }
    ~PeerClient() { EXPECT_FALSE(corrupt()); }
    PeerClient(const PeerClient &) = delete;
    PeerClient &operator=(const PeerClient &) = delete;
};
