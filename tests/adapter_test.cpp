// SPDX-License-Identifier: MIT
// The adapter link and C2 control byte for byte over a real pseudo-terminal: framing, command
// bytes, register access, programming mode and device erase; then faults from the emulator.
#include "adapter/adapter_link.h"
#include "adapter/c2_control.h"
#include "serial/serial_port.h"

#include "support/clock.h"
#include "support/scripted_adapter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using test_support::adapter_line;
using test_support::elapsed_us;
using test_support::emulated_adapter;
using test_support::steady;
using test_support::writes_made_by;

/// The data bytes of the worked framing example.
const bytes EXAMPLE = {0x01, 0x80, 0x7F, 0xFF, 0x00, 0xC3, 0x3C, 0x9A,
                       0x10, 0x20, 0xA0, 0x00, 0xFE, 0x11, 0x80};

struct frame_case {
    const char* name;
    bytes data;
    bytes line;
};

const std::vector<frame_case>& frame_cases() {
    static const std::vector<frame_case> cases = {
        {"empty", {}, {0x00}},
        {"seven",
         bytes(EXAMPLE.begin(), EXAMPLE.begin() + 7),
         {0x00, 0xAA, 0x81, 0x80, 0xFF, 0xFF, 0x80, 0xC3, 0xBC}},
        {"eight",
         bytes(EXAMPLE.begin(), EXAMPLE.begin() + 8),
         {0x00, 0xAA, 0x81, 0x80, 0xFF, 0xFF, 0x80, 0xC3, 0xBC, 0xC0, 0x9A}},
        {"fourteen",
         bytes(EXAMPLE.begin(), EXAMPLE.begin() + 14),
         {0x00, 0xAA, 0x81, 0x80, 0xFF, 0xFF, 0x80, 0xC3, 0xBC, 0xCA, 0x9A, 0x90, 0xA0, 0xA0, 0x80,
          0xFE, 0x91}},
        {"fifteen",
         EXAMPLE,
         {0x00, 0xAA, 0x81, 0x80, 0xFF, 0xFF, 0x80, 0xC3, 0xBC, 0xCA, 0x9A, 0x90, 0xA0, 0xA0, 0x80,
          0xFE, 0x91, 0xC0, 0x80}},
        {"all high bits",
         {0x80, 0x81, 0x90, 0xA0, 0xC0, 0xFE, 0xFF},
         {0x00, 0xFF, 0x80, 0x81, 0x90, 0xA0, 0xC0, 0xFE, 0xFF}},
        {"no high bits",
         {0x00, 0x01, 0x10, 0x20, 0x40, 0x7E, 0x7F},
         {0x00, 0x80, 0x80, 0x81, 0x90, 0xA0, 0xC0, 0xFE, 0xFF}},
        {"zero and 0x80", {0x00, 0x80}, {0x00, 0xA0, 0x80, 0x80}},
        {"nineteen", bytes(19, 0x80), {0x00, 0xFF, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                       0x80, 0xFF, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                       0x80, 0xFC, 0x80, 0x80, 0x80, 0x80, 0x80}},
    };
    return cases;
}

// ---- framing and command bytes ----

TEST_F(adapter_line, long_data_frame_is_not_cut_short) {
    bytes data(100);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 37);
    }
    adapter_send_data(fd_, data.data(), static_cast<int>(data.size()));
    const bytes line = peer_.received();
    ASSERT_EQ(line.size(), 1U + 100U + 15U);
    // Decode it back: headers at every eighth body byte.
    bytes decoded;
    for (std::size_t at = 1; at < line.size(); at += 8) {
        const uint8_t header = line[at];
        for (std::size_t k = 0; k < 7 && at + 1 + k < line.size(); ++k) {
            const uint8_t top = ((header >> (6 - k)) & 1U) << 7;
            decoded.push_back(static_cast<uint8_t>((line[at + 1 + k] & 0x7F) | top));
        }
    }
    EXPECT_EQ(decoded, data);
}

TEST_F(adapter_line, frames_are_byte_exact_and_go_out_with_a_command_in_one_write) {
    for (const frame_case& c : frame_cases()) {
        adapter_send_data(fd_, c.data.data(), static_cast<int>(c.data.size()));
        EXPECT_EQ(peer_.received(), c.line) << c.name;
        peer_.clear();
        const long writes = writes_made_by([&] {
            adapter_send_frame_command(fd_, c.data.data(), static_cast<int>(c.data.size()),
                                       ADP_BLOCK_WRITE);
        });
        bytes expected = c.line;
        expected.push_back(ADP_BLOCK_WRITE);
        EXPECT_EQ(peer_.received(), expected) << c.name;
        if (writes >= 0) {
            EXPECT_EQ(writes, 1) << c.name;
        }
        peer_.clear();
    }
    const uint8_t unused = 0x55;
    adapter_send_data(fd_, &unused, -3);
    EXPECT_EQ(peer_.received(), bytes{0x00}) << "negative count";
}

TEST_F(adapter_line, one_byte_commands_take_four_bytes_in_one_write) {
    const struct {
        void (*operation)(int, uint8_t);
        uint8_t argument;
        bytes line;
    } cases[] = {
        {c2_address_write, 0x00, {0x00, 0x80, 0x80, 0x11}},
        {c2_address_write, 0xB4, {0x00, 0xC0, 0xB4, 0x11}},
        {c2_data_write, 0x03, {0x00, 0x80, 0x83, 0x13}},
    };
    for (const auto& c : cases) {
        const long writes = writes_made_by([&] { c.operation(fd_, c.argument); });
        EXPECT_EQ(peer_.received(), c.line) << int(c.argument);
        if (writes >= 0) {
            EXPECT_EQ(writes, 1) << int(c.argument);
        }
        peer_.clear();
    }
}

TEST_F(adapter_line, identify_collects_the_reply_until_silence) {
    peer_.expect(ADP_IDENTIFY, {0x43, 0x32, 0x02, 0x07});
    uint8_t buffer[100] = {};
    const auto start = steady::now();
    EXPECT_EQ(adapter_identify(fd_, buffer, 100), 4);
    EXPECT_GE(elapsed_us(start), READ_TIMEOUT_US);
    EXPECT_EQ(bytes(buffer, buffer + 4), (bytes{0x43, 0x32, 0x02, 0x07}));
    EXPECT_EQ(peer_.received(), bytes{ADP_IDENTIFY});
    EXPECT_EQ(adapter_identify(fd_, buffer, 100), 0) << "silent adapter";
}

// ---- C2 register access and identifiers ----

TEST_F(adapter_line, identifiers_reset_select_and_read) {
    const struct {
        int (*operation)(int);
        uint8_t address_frame;
        bytes reply;
        int result;
    } cases[] = {
        {read_device_id, 0x80, {0x04}, 0x04},
        {read_revision_id, 0x81, {0xFE}, 0xFE},
        {read_device_id, 0x80, {}, -1},
    };
    for (const auto& c : cases) {
        peer_.expect(ADP_DATA_READ, c.reply);
        EXPECT_EQ(c.operation(fd_), c.result);
        EXPECT_EQ(peer_.received(), (bytes{0x10, 0x00, 0x80, c.address_frame, 0x11, 0x14}));
        peer_.clear();
    }
}

TEST_F(adapter_line, register_reads_hand_up_the_byte_or_silence) {
    peer_.expect(ADP_ADDRESS_READ, {0x83});
    peer_.expect(ADP_DATA_READ, {0x00});
    EXPECT_EQ(c2_address_read(fd_), 0x83);
    EXPECT_EQ(c2_data_read(fd_), 0x00);
    EXPECT_EQ(c2_address_read(fd_), -1);
    EXPECT_EQ(c2_data_read(fd_), -1);
    c2_target_reset(fd_);
    EXPECT_EQ(peer_.received(), (bytes{0x12, 0x14, 0x12, 0x14, 0x10}));
}

TEST_F(adapter_line, status_waits_poll_for_their_own_bit_until_two_silent_polls) {
    peer_.expect_each(ADP_ADDRESS_READ, {{0x03}, {0x03}, {0x01}, {0x01}});
    EXPECT_EQ(c2_wait_not_busy(fd_), 1);
    EXPECT_EQ(c2_wait_out_ready(fd_), 1);
    EXPECT_EQ(peer_.received(), (bytes{0x12, 0x12, 0x12, 0x12}));

    peer_.clear();
    peer_.expect_each(ADP_ADDRESS_READ, {{0x00}, {0x02}, {0x01}});
    EXPECT_EQ(c2_wait_out_ready(fd_), 1);
    EXPECT_EQ(peer_.received(), (bytes{0x12, 0x12, 0x12}));

    // A poll lost while the adapter was busy with a data write is asked again.
    peer_.clear();
    peer_.expect_each(ADP_ADDRESS_READ, {{}, {0x00}});
    EXPECT_EQ(c2_wait_not_busy(fd_), 1);
    EXPECT_EQ(peer_.received(), (bytes{0x12, 0x12}));

    peer_.clear();
    peer_.forget_script();
    EXPECT_EQ(c2_wait_not_busy(fd_), 0);
    EXPECT_EQ(c2_wait_out_ready(fd_), 0);
    EXPECT_EQ(peer_.received(), (bytes{0x12, 0x12, 0x12, 0x12}));
}

// ---- programming mode ----

TEST_F(adapter_line, programming_mode_attempts_each_start_with_a_drain) {
    const struct {
        const char* name;
        std::vector<bytes> replies;
        int attempts;
        int result;
    } cases[] = {
        {"at once", {{0x00}}, 1, 1},
        // The surplus 0x00 after the 0x05 would pass for success without the drain.
        {"refused, silent, accepted", {{0x05, 0x00}, {}, {0x00}}, 3, 1},
        {"ten refusals", std::vector<bytes>(10, bytes{0x05}), 10, 0},
    };
    for (const auto& c : cases) {
        peer_.expect_each(ADP_PROGRAM_MODE, c.replies);
        peer_.expect(ADP_PROGRAM_MODE, {0x00}); // an eleventh attempt would succeed
        const auto start = steady::now();
        EXPECT_EQ(enter_programming_mode(fd_), c.result) << c.name;
        EXPECT_GE(elapsed_us(start), c.attempts * READ_TIMEOUT_US) << c.name;
        EXPECT_EQ(peer_.received(), bytes(static_cast<std::size_t>(c.attempts), 0x20)) << c.name;
        peer_.forget_script();
        serial_drain(fd_, READ_TIMEOUT_US);
        peer_.clear();
    }
}

TEST_F(adapter_line, start_programming_reports_failure_once) {
    peer_.expect_each(ADP_PROGRAM_MODE, std::vector<bytes>(10, bytes{0x01}));
    testing::internal::CaptureStderr();
    EXPECT_EQ(start_programming(fd_), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Cannot switch to flash programming mode.\n");
    EXPECT_EQ(peer_.received(), bytes(10, 0x20));

    peer_.clear();
    peer_.expect(ADP_PROGRAM_MODE, {0x00});
    testing::internal::CaptureStderr();
    EXPECT_EQ(start_programming(fd_), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// ---- device erase ----

TEST_F(adapter_line, device_erase_line_sequence) {
    peer_.expect_each(ADP_ADDRESS_READ, {{0x02}, {0x00}, {0x00}, {0x01}});
    peer_.expect(ADP_DATA_READ, {0x0D});
    for (int confirmation = 0; confirmation < 3; ++confirmation) {
        peer_.expect_each(ADP_ADDRESS_READ, {{0x02}, {0x00}});
    }
    peer_.expect(ADP_ADDRESS_READ, {0x01});
    peer_.expect(ADP_QUERY, {0x21});
    EXPECT_EQ(c2_device_erase(fd_), 1);
    const bytes expected = {0x00, 0xC0, 0xB4, 0x11, 0x00, 0x80, 0x83, 0x13, 0x12, 0x12, 0x12,
                            0x12, 0x14, 0x00, 0xC0, 0xDE, 0x13, 0x12, 0x12, 0x00, 0xC0, 0xAD,
                            0x13, 0x12, 0x12, 0x00, 0xC0, 0xA5, 0x13, 0x12, 0x12, 0x12, 0x3F};
    EXPECT_EQ(peer_.received(), expected);
}

TEST_F(adapter_line, device_erase_refusals) {
    const bytes up_to_the_read = {0x00, 0xC0, 0xB4, 0x11, 0x00, 0x80, 0x83, 0x13, 0x12, 0x12, 0x14};
    const struct {
        const char* name;
        bytes answer_to_read;
        bytes answer_to_query;
        bool reaches_query;
    } cases[] = {
        {"refused with 0x0E", {0x0E}, {0x21}, false},
        {"no answer to the read", {}, {0x21}, false},
        {"query answered 0x20", {0x0D}, {0x20}, true},
        {"query not answered", {0x0D}, {}, true},
    };
    for (const auto& c : cases) {
        peer_.expect_each(ADP_ADDRESS_READ, {{0x00}, {0x01}});
        peer_.expect(ADP_DATA_READ, c.answer_to_read);
        if (c.reaches_query) {
            peer_.expect_each(ADP_ADDRESS_READ, {{0x00}, {0x00}, {0x00}, {0x01}});
            peer_.expect(ADP_QUERY, c.answer_to_query);
        }
        EXPECT_EQ(c2_device_erase(fd_), 0) << c.name;
        const bytes line = peer_.received(150);
        if (c.reaches_query) {
            ASSERT_FALSE(line.empty());
            EXPECT_EQ(line.back(), ADP_QUERY) << c.name;
        } else {
            EXPECT_EQ(line, up_to_the_read) << c.name << ": nothing may follow the 14";
        }
        peer_.clear();
    }
}

TEST_F(adapter_line, device_erase_stops_at_two_silent_status_polls) {
    peer_.expect(ADP_ADDRESS_READ, {0x02});
    EXPECT_EQ(c2_device_erase(fd_), 0);
    EXPECT_EQ(peer_.received(150),
              (bytes{0x00, 0xC0, 0xB4, 0x11, 0x00, 0x80, 0x83, 0x13, 0x12, 0x12, 0x12}));
}

// ---- against the emulated adapter and its faults ----

TEST_F(emulated_adapter, status_that_never_comes_ends_the_erase) {
    const sim::fault_kind kinds[] = {sim::fault_kind::always_busy, sim::fault_kind::never_ready};
    for (const sim::fault_kind kind : kinds) {
        ASSERT_EQ(enter_programming_mode(fd_), 1);
        emu_.clear_faults();
        emu_.clear_transcript();
        emu_.add_fault({kind});
        EXPECT_EQ(c2_device_erase(fd_), 0);
        // It polls on until its bound (or until a poll misses its reply window on a loaded
        // machine, which also ends it); giving up at the first unwanted status is a fault.
        EXPECT_GT(emu_.command_count(ADP_ADDRESS_READ), 10) << int(kind);
        EXPECT_EQ(emu_.command_count(ADP_DATA_READ), 0) << "erase went on after the wait";
        EXPECT_EQ(emu_.command_count(ADP_QUERY), 0);
        emu_.clear_faults();
    }
}

TEST_F(emulated_adapter, stale_bytes_do_not_pass_for_the_mode_answer) {
    emu_.inject({0x00, 0x00, 0x00});
    emu_.add_fault({.kind = sim::fault_kind::wrong_reply,
                    .command = ADP_PROGRAM_MODE,
                    .nth = 1,
                    .bytes = {0x07}});
    EXPECT_EQ(enter_programming_mode(fd_), 1);
    EXPECT_EQ(emu_.command_count(ADP_PROGRAM_MODE), 2);
}

} // namespace
