// SPDX-License-Identifier: MIT
// A scripted adapter on a pseudo-terminal, and the fixtures that open the program's end of it,
// or of the emulated adapter, each with the block reader of that open.
#pragma once

#include "adapter/block_reader.h"
#include "emulator.h"
#include "serial/serial_port.h"
#include "support/counters.h"
#include "support/pty.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

/// Counts the write system calls made by this thread while it runs body.
template <typename Body> long writes_made_by(Body body) {
    // The sanitizers' type checks probe memory with writes of their own the first time a
    // check runs; the first look at the counter takes those.
    thread_io_counter("syscw:");
    const long before = thread_io_counter("syscw:");
    body();
    const long after = thread_io_counter("syscw:");
    return before < 0 ? -1 : after - before;
}

/// A scripted adapter on the master side of a pseudo-terminal. It records every byte the
/// program sends; when a command byte arrives that matches the next scripted step, it sends
/// that step's reply (possibly nothing), after the step's delay.
class scripted_adapter {
  public:
    using bytes = std::vector<uint8_t>;
    struct step {
        uint8_t command;
        bytes reply;
        int delay_ms = 0;
    };

    scripted_adapter() : thread_([this] { serve(); }) {}
    ~scripted_adapter() {
        stop_ = true;
        thread_.join();
    }
    scripted_adapter(const scripted_adapter&) = delete;
    scripted_adapter& operator=(const scripted_adapter&) = delete;

    const std::string& path() const { return line_.path(); }

    void expect(uint8_t command, bytes reply, int delay_ms = 0) {
        std::lock_guard lock(mutex_);
        script_.push_back({command, std::move(reply), delay_ms});
    }
    /// The same command answered with each of replies in turn.
    void expect_each(uint8_t command, const std::vector<bytes>& replies) {
        for (const bytes& reply : replies) {
            expect(command, reply);
        }
    }

    /// Everything received so far, after the line has been quiet for quiet_ms.
    bytes received(int quiet_ms = 50);
    void clear() {
        received(20);
        std::lock_guard lock(mutex_);
        received_.clear();
    }
    void forget_script() {
        std::lock_guard lock(mutex_);
        script_.clear();
    }

  private:
    void serve();

    pty_pair line_;
    std::mutex mutex_;
    std::deque<step> script_;
    bytes received_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

/// The program's end of a scripted adapter, open at 115200 bit/s.
class adapter_line : public ::testing::Test {
  protected:
    void SetUp() override {
        fd_ = serial_open(peer_.path().c_str(), 115200, &saved_);
        ASSERT_GE(fd_, 0);
        reader_.fd = fd_;
    }
    void TearDown() override { serial_close(fd_, &saved_); }

    scripted_adapter peer_;
    termios saved_{};
    int fd_ = -1;
    block_reader reader_;
};

/// The program's end of the emulated adapter, open at 115200 bit/s.
class emulated_adapter : public ::testing::Test {
  protected:
    void SetUp() override {
        emu_.start();
        fd_ = serial_open(emu_.slave_path().c_str(), 115200, &saved_);
        ASSERT_GE(fd_, 0);
        reader_.fd = fd_;
    }
    void TearDown() override {
        serial_close(fd_, &saved_);
        emu_.stop();
    }

    sim::emulator emu_;
    termios saved_{};
    int fd_ = -1;
    block_reader reader_;
};

} // namespace test_support
