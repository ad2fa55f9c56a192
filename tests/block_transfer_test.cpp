// SPDX-License-Identifier: MIT
// Flash block transfers byte for byte over a real pseudo-terminal: block writes, and block
// reads and sums through a block reader; then against the emulated adapter.
#include "adapter/adapter_link.h"
#include "adapter/block_reader.h"
#include "adapter/c2_control.h"
#include "adapter/flash_block.h"
#include "serial/serial_port.h"

#include "support/clock.h"
#include "support/counters.h"
#include "support/scripted_adapter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using test_support::adapter_line;
using test_support::elapsed_us;
using test_support::emulated_adapter;
using test_support::steady;
using test_support::thread_io_counter;
using test_support::writes_made_by;

TEST_F(adapter_line, block_write_frames_and_answers) {
    const bytes five = {0x02, 0x00, 0x80, 0xFF, 0x75};
    const struct {
        const char* name;
        bytes answer;
        int result;
    } cases[] = {{"accepted", {0x00}, 1}, {"refused", {0x01}, 0}, {"silent", {}, 0}};
    for (const auto& c : cases) {
        peer_.expect(ADP_BLOCK_WRITE, c.answer);
        const long writes = writes_made_by(
            [&] { EXPECT_EQ(flash_block_write(fd_, five.data(), 0x1234, 5), c.result); });
        EXPECT_EQ(peer_.received(),
                  (bytes{0x00, 0x83, 0x92, 0xB4, 0x85, 0x82, 0x80, 0x80, 0xFF, 0x80, 0xF5, 0x21}))
            << c.name;
        if (writes >= 0) {
            EXPECT_EQ(writes, 1) << c.name;
        }
        peer_.clear();
    }
}

/// The pieces a run of block writes put on the line: (address, length) per frame.
std::vector<std::pair<int, int>> write_pieces(const bytes& line) {
    std::vector<std::pair<int, int>> pieces;
    for (std::size_t at = 0; at + 4 < line.size(); ++at) {
        if (line[at] != 0x00) {
            continue;
        }
        const uint8_t header = line[at + 1];
        auto restore = [&](std::size_t k) {
            return static_cast<uint8_t>((line[at + 2 + k] & 0x7F) |
                                        (((header >> (6 - k)) & 1U) << 7));
        };
        pieces.emplace_back(restore(0) << 8 | restore(1), restore(2));
    }
    return pieces;
}

TEST_F(adapter_line, block_write_pieces_and_first_failure) {
    const bytes data(255, 0x3C);
    const struct {
        uint8_t length;
        uint16_t address;
        std::vector<std::pair<int, int>> pieces;
    } cases[] = {
        {16, 0x0100, {{0x0100, 16}}},
        {17, 0x0100, {{0x0100, 16}, {0x0110, 1}}},
        {20, 0xFFF8, {{0xFFF8, 16}, {0x0008, 4}}},
    };
    for (const auto& c : cases) {
        peer_.expect_each(ADP_BLOCK_WRITE, std::vector<bytes>(c.pieces.size(), bytes{0x00}));
        EXPECT_EQ(flash_block_write(fd_, data.data(), c.address, c.length), 1);
        EXPECT_EQ(write_pieces(peer_.received()), c.pieces) << int(c.length);
        peer_.clear();
    }

    peer_.expect_each(ADP_BLOCK_WRITE, std::vector<bytes>(16, bytes{0x00}));
    EXPECT_EQ(flash_block_write(fd_, data.data(), 0x0000, 255), 1);
    const auto pieces = write_pieces(peer_.received());
    ASSERT_EQ(pieces.size(), 16U);
    EXPECT_EQ(pieces.back(), std::make_pair(0x00F0, 15));
    peer_.clear();

    peer_.expect_each(ADP_BLOCK_WRITE, {{0x00}, {0x01}, {0x00}});
    EXPECT_EQ(flash_block_write(fd_, data.data(), 0x0000, 48), 0);
    EXPECT_EQ(write_pieces(peer_.received(150)).size(), 2U) << "sent on after a refusal";
}

/// The fetch reply for a piece: a leading byte, the flash bytes, a trailing byte.
bytes fetch_reply(const bytes& flash, uint8_t edge = 0x00) {
    bytes reply(flash.size() + 2, edge);
    std::copy(flash.begin(), flash.end(), reply.begin() + 1);
    return reply;
}

bytes counting(uint8_t first, std::size_t count) {
    bytes out(count);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = static_cast<uint8_t>(first + i);
    }
    return out;
}

TEST_F(adapter_line, block_reads_go_in_pieces_and_wrap_past_the_top_address) {
    const struct {
        uint16_t address;
        uint8_t length;
        bytes line;
    } cases[] = {
        {0x01F0, 40, {0x00, 0xA0, 0x81, 0xF0, 0x90, 0x22, 0x15, 0x00, 0x80, 0x82, 0x80,
                      0x90, 0x22, 0x15, 0x00, 0x80, 0x82, 0x90, 0x88, 0x22, 0x15}},
        {0xFFF8,
         20,
         {0x00, 0xE0, 0xFF, 0xF8, 0x90, 0x22, 0x15, 0x00, 0x80, 0x80, 0x88, 0x84, 0x22, 0x15}},
    };
    for (const auto& c : cases) {
        const bytes flash = counting(0x40, c.length);
        for (uint8_t at = 0; at < c.length; at += 16) {
            // The answer to block read and the edges of a fetch reply are not looked at.
            peer_.expect(ADP_BLOCK_READ, {static_cast<uint8_t>(at == 32 ? 0x7E : 0x00)});
            const auto end = flash.begin() + std::min<int>(at + 16, c.length);
            peer_.expect(ADP_BLOCK_FETCH, fetch_reply(bytes(flash.begin() + at, end), at + 0xAB));
        }
        bytes destination(c.length, 0xEE);
        EXPECT_EQ(flash_block_read(reader_, destination.data(), c.address, c.length), 1);
        EXPECT_EQ(destination, flash) << c.address;
        EXPECT_EQ(peer_.received(), c.line) << c.address;
        peer_.clear();
    }
}

TEST_F(adapter_line, short_fetch_fails_and_keeps_the_piece_unwritten) {
    peer_.expect(ADP_BLOCK_READ, {0x00});
    peer_.expect(ADP_BLOCK_FETCH, fetch_reply(counting(0x20, 16)));
    peer_.expect(ADP_BLOCK_READ, {0x00});
    bytes one_short = fetch_reply(counting(0x30, 8));
    one_short.pop_back();
    peer_.expect(ADP_BLOCK_FETCH, one_short);
    bytes destination(40, 0xEE);
    const auto start = steady::now();
    EXPECT_EQ(flash_block_read(reader_, destination.data(), 0x0000, 40), 0);
    EXPECT_GE(elapsed_us(start), READ_TIMEOUT_US);
    bytes expected(40, 0xEE); // the first piece only
    const bytes first_piece = counting(0x20, 16);
    std::copy(first_piece.begin(), first_piece.end(), expected.begin());
    EXPECT_EQ(destination, expected);
    EXPECT_EQ(peer_.received(150).size(), 14U) << "sent on after the short piece";
}

TEST_F(adapter_line, block_sums_add_modulo_256) {
    peer_.expect(ADP_BLOCK_READ, {0x00});
    peer_.expect(ADP_BLOCK_SUM, {0xFF});
    peer_.expect(ADP_BLOCK_READ, {});
    peer_.expect(ADP_BLOCK_SUM, {0x02});
    EXPECT_EQ(flash_block_sum(reader_, 0x1234, 20), 0x01);
    EXPECT_EQ(peer_.received(), (bytes{0x00, 0x80, 0x92, 0xB4, 0x90, 0x22, 0x16, 0x00, 0x80, 0x92,
                                       0xC4, 0x84, 0x22, 0x16}));
    peer_.clear();

    peer_.expect(ADP_BLOCK_READ, {0x00});
    peer_.expect(ADP_BLOCK_SUM, {});
    EXPECT_EQ(flash_block_sum(reader_, 0x0000, 32), -1);
    EXPECT_EQ(peer_.received(150).size(), 7U) << "sent on after a missing sum";
}

TEST_F(adapter_line, zero_length_blocks_cause_no_traffic) {
    uint8_t buffer[1] = {0xEE};
    EXPECT_EQ(flash_block_read(reader_, buffer, 0x0100, 0), 1);
    EXPECT_EQ(flash_block_write(fd_, buffer, 0x0100, 0), 1);
    EXPECT_EQ(flash_block_sum(reader_, 0x0100, 0), 0);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_TRUE(peer_.received(100).empty());
}

// ---- against the emulated adapter ----

TEST_F(emulated_adapter, write_read_and_sum_round_trip) {
    ASSERT_EQ(enter_programming_mode(fd_), 1);
    ASSERT_EQ(c2_device_erase(fd_), 1);
    bytes data = counting(0x90, 40);
    EXPECT_EQ(flash_block_write(fd_, data.data(), 0x0100, 40), 1);
    bytes back(40, 0);
    EXPECT_EQ(flash_block_read(reader_, back.data(), 0x0100, 40), 1);
    EXPECT_EQ(back, data);
    int sum = 0;
    for (const uint8_t b : data) {
        sum = (sum + b) & 0xFF;
    }
    EXPECT_EQ(flash_block_sum(reader_, 0x0100, 40), sum);
    const auto flash = emu_.flash();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin() + 0x0100));
}

TEST_F(emulated_adapter, hang_up_fails_everything_without_spinning) {
    ASSERT_EQ(enter_programming_mode(fd_), 1);
    emu_.hang_up();
    const long reads_before = thread_io_counter("syscr:");
    uint8_t buffer[100] = {};
    EXPECT_EQ(adapter_identify(fd_, buffer, 100), 0);
    EXPECT_EQ(flash_block_read(reader_, buffer, 0x0000, 16), 0);
    EXPECT_EQ(flash_block_sum(reader_, 0x0000, 16), -1);
    EXPECT_EQ(c2_device_erase(fd_), 0);
    EXPECT_EQ(enter_programming_mode(fd_), 0);
    const long reads_after = thread_io_counter("syscr:");
    if (reads_before >= 0) {
        EXPECT_LE(reads_after - reads_before, 100) << "reads loop on a dead line";
    }
}

} // namespace
