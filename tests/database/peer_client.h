// A test client for the Database's peers.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "database/agent_wire.h"
#include "database/collector_support.h"
#include "support/frame_client.h"

// A frame client whose failures to connect or to read the server's frames fail the test.
class PeerClient : public FrameClient {
public:
    explicit PeerClient(unsigned port, size_t area = SOCK_COMPRESS_AREA)
        : FrameClient(port, area) {
        EXPECT_TRUE(connected()) << strerror(errno);
    }
    ~PeerClient() { EXPECT_FALSE(corrupt()); }
    PeerClient(const PeerClient &) = delete;
    PeerClient &operator=(const PeerClient &) = delete;
};
