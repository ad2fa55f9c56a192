// SPDX-License-Identifier: MIT
// The serial port under test on a pseudo-terminal: the code under test opens the slave by its
// path, the test plays the adapter on the master and keeps a slave descriptor of its own to
// look at the settings.
#pragma once

#include "serial/serial_port.h"
#include "support/pty.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <cstdint>
#include <vector>

namespace test_support {

/// The port under test, opened on the line by open_port() and closed after each test.
class pty_line : public ::testing::Test {
  protected:
    void TearDown() override {
        if (port_ >= 0) {
            serial_close(port_, &saved_);
        }
    }

    void open_port(int baud = 19200) {
        port_ = serial_open(line_.path().c_str(), baud, &saved_);
        ASSERT_GE(port_, 0);
    }
    void close_master() { line_.close_master(); }
    void to_port(const std::vector<uint8_t>& data) const { ASSERT_TRUE(line_.send(data)); }
    /// Everything the port sent, until the line stays quiet for quiet_ms.
    std::vector<uint8_t> from_port(int quiet_ms = 100) const {
        std::vector<uint8_t> got;
        for (std::vector<uint8_t> chunk = line_.receive(quiet_ms); !chunk.empty();
             chunk = line_.receive(quiet_ms)) {
            got.insert(got.end(), chunk.begin(), chunk.end());
        }
        return got;
    }

    test_support::pty_pair line_;
    int port_ = -1;
    termios saved_{};
};

} // namespace test_support
