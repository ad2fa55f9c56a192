// SPDX-License-Identifier: MIT
// The serial port's reads and writes over a real pseudo-terminal: timed reads, drains, complete
// writes, and the behaviour on hang-up, interrupts and high descriptors.
#include "serial/serial_port.h"
#include "support/clock.h"
#include "support/counters.h"
#include "support/serial_line.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using test_support::elapsed_us;
using test_support::pty_line;
using test_support::steady;

long thread_read_calls() {
    return test_support::thread_io_counter("syscr:");
}

TEST_F(pty_line, read_of_nothing_takes_nothing) {
    open_port();
    to_port({0x42});
    uint8_t buffer[4] = {};
    EXPECT_EQ(serial_read_timed(port_, buffer, 0, READ_TIMEOUT_US), 0);
    EXPECT_EQ(serial_read_byte(port_, READ_TIMEOUT_US), 0x42);
}

TEST_F(pty_line, short_reply_ends_after_one_quiet_wait) {
    open_port();
    to_port({0x43, 0x32, 0x01, 0x03});
    uint8_t buffer[100] = {};
    const auto start = steady::now();
    EXPECT_EQ(serial_read_timed(port_, buffer, 100, READ_TIMEOUT_US), 4);
    EXPECT_GE(elapsed_us(start), READ_TIMEOUT_US);
    EXPECT_EQ(bytes(buffer, buffer + 4), (bytes{0x43, 0x32, 0x01, 0x03}));
}

TEST_F(pty_line, bursts_within_the_timeout_are_collected_in_order) {
    open_port();
    std::thread sender([this] {
        const bytes bursts[] = {{1, 2, 3}, {4, 5}, {6, 7, 8, 9}};
        for (const bytes& burst : bursts) {
            to_port(burst);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    });
    uint8_t buffer[100] = {};
    const int got = serial_read_timed(port_, buffer, 100, READ_TIMEOUT_US);
    sender.join();
    ASSERT_EQ(got, 9);
    EXPECT_EQ(bytes(buffer, buffer + 9), (bytes{1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(pty_line, read_byte_is_unsigned_or_minus_one) {
    open_port();
    for (const int value : {0x00, 0x7F, 0x80, 0xFF}) {
        to_port({static_cast<uint8_t>(value)});
        EXPECT_EQ(serial_read_byte(port_, READ_TIMEOUT_US), value);
    }
    const auto start = steady::now();
    EXPECT_EQ(serial_read_byte(port_, READ_TIMEOUT_US), -1);
    EXPECT_GE(elapsed_us(start), READ_TIMEOUT_US);
    // A byte that is already here counts even when the wait is over before it begins, as it is
    // for a program held up past its deadline.
    to_port({0x5A});
    ASSERT_TRUE(test_support::wait_for([this] { return serial_pending(port_) > 0; },
                                       std::chrono::seconds(5)));
    EXPECT_EQ(serial_read_byte(port_, 0), 0x5A);
    EXPECT_EQ(serial_read_byte(port_, 0), -1);
}

TEST_F(pty_line, interrupted_waits_go_on) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: every signal interrupts the wait
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    open_port();

    const pthread_t reader = pthread_self();
    std::atomic<bool> done{false};
    std::thread interrupter([&] {
        for (int i = 0; i < 25 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            pthread_kill(reader, SIGUSR1);
        }
        to_port({0x11, 0x22});
    });
    uint8_t buffer[2] = {};
    const int got = serial_read_timed(port_, buffer, 2, 900000);
    done = true;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(got, 2);
    EXPECT_EQ(bytes(buffer, buffer + 2), (bytes{0x11, 0x22}));
}

TEST_F(pty_line, hang_up_mid_read_returns_what_was_stored) {
    open_port();
    to_port({0xA1, 0xA2, 0xA3});
    std::thread hang_up([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        close_master();
    });
    const long reads_before = thread_read_calls();
    uint8_t buffer[10] = {};
    const int got = serial_read_timed(port_, buffer, 10, READ_TIMEOUT_US);
    const long reads_after = thread_read_calls();
    hang_up.join();
    EXPECT_EQ(got, 3);
    EXPECT_EQ(bytes(buffer, buffer + 3), (bytes{0xA1, 0xA2, 0xA3}));
    // A dead line ends further calls too, and none of them loops on the failing read.
    EXPECT_EQ(serial_read_byte(port_, READ_TIMEOUT_US), -1);
    serial_drain(port_, READ_TIMEOUT_US);
    const long reads_end = thread_read_calls();
    if (reads_before >= 0) {
        EXPECT_LE(reads_after - reads_before, 5);
        EXPECT_LE(reads_end - reads_after, 5);
    }
}

// ---- drains ----

TEST_F(pty_line, pending_input_goes_in_batches_of_256) {
    open_port();
    to_port(bytes(300, 0x55));
    uint8_t scratch[256];
    const auto start = steady::now();
    EXPECT_EQ(serial_read_timed(port_, scratch, 256, READ_TIMEOUT_US), 256);
    EXPECT_EQ(serial_read_timed(port_, scratch, 256, READ_TIMEOUT_US), 44);
    EXPECT_GE(elapsed_us(start), READ_TIMEOUT_US);
    EXPECT_EQ(serial_read_timed(port_, scratch, 256, READ_TIMEOUT_US), 0);
    EXPECT_GE(elapsed_us(start), 2 * READ_TIMEOUT_US);
}

TEST_F(pty_line, drain_discards_everything_pending) {
    open_port();
    to_port(bytes(300, 0x55));
    const auto start = steady::now();
    serial_drain(port_, READ_TIMEOUT_US);
    EXPECT_GE(elapsed_us(start), 2 * READ_TIMEOUT_US); // the batch of 44 and the quiet wait
    to_port({0x77});
    EXPECT_EQ(serial_read_byte(port_, READ_TIMEOUT_US), 0x77);
}

TEST_F(pty_line, drain_ends_on_a_line_that_never_goes_quiet) {
    open_port();
    std::atomic<bool> stop{false};
    std::atomic<bool> noise_over{false};
    std::thread noise([&] {
        const auto until = steady::now() + std::chrono::seconds(6);
        while (!stop && steady::now() < until) {
            to_port({0x55});
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        noise_over = true;
    });
    const auto start = steady::now();
    serial_drain(port_, READ_TIMEOUT_US);
    const long took = elapsed_us(start);
    const bool ended_by_bound = !noise_over;
    stop = true;
    noise.join();
    EXPECT_GE(took, SERIAL_DRAIN_LIMIT_US);
    EXPECT_TRUE(ended_by_bound) << "the drain waited for the noise to stop";
}

// ---- writes ----

TEST_F(pty_line, send_completes_a_write_the_line_takes_in_parts) {
    open_port();
    bytes data(60000);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    bytes got;
    std::thread reader([&] {
        // Slow at first, so that the port's queue fills and writes come back short.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        while (got.size() < data.size()) {
            const bytes chunk = line_.receive(2000);
            if (chunk.empty()) {
                return;
            }
            got.insert(got.end(), chunk.begin(), chunk.end());
        }
    });
    serial_send(port_, data.data(), data.size());
    serial_wait_sent(port_);
    reader.join();
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "bytes lost or reordered";
}

TEST_F(pty_line, send_gives_up_on_a_line_that_takes_nothing) {
    open_port();
    bytes data(1 << 20, 0x41); // far more than the line buffers while nobody reads
    const auto start = steady::now();
    serial_send(port_, data.data(), data.size());
    EXPECT_GE(elapsed_us(start), 900000);
}

TEST_F(pty_line, descriptor_above_select_limit_reads_and_writes) {
    constexpr int HIGH_FD = 1500;
    static_assert(HIGH_FD >= FD_SETSIZE);
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur <= static_cast<rlim_t>(HIGH_FD)) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= static_cast<rlim_t>(HIGH_FD)) {
            GTEST_SKIP() << "descriptor limit too low";
        }
        limit.rlim_cur = HIGH_FD + 1;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    open_port();
    ASSERT_EQ(dup2(port_, HIGH_FD), HIGH_FD);
    close(port_);
    port_ = HIGH_FD;

    to_port({0x10, 0x20, 0x30});
    uint8_t buffer[8] = {};
    EXPECT_EQ(serial_read_timed(port_, buffer, 8, READ_TIMEOUT_US), 3);
    EXPECT_EQ(bytes(buffer, buffer + 3), (bytes{0x10, 0x20, 0x30}));
    EXPECT_EQ(serial_read_byte(port_, READ_TIMEOUT_US), -1);
    serial_drain(port_, READ_TIMEOUT_US);
    const uint8_t out[] = {0x01, 0x3F};
    serial_send(port_, out, sizeof out);
    serial_wait_sent(port_);
    EXPECT_EQ(from_port(), (bytes{0x01, 0x3F}));
}

} // namespace
