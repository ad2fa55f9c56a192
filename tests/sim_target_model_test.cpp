// SPDX-License-Identifier: MIT
// The emulated target: C2 registers, programming mode, the device erase, flash that
// programming only clears, block read, fetch, sum and write; and the faults that act
// inside it. Commands in, replies out, no line.
#include "target_model.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using sim::fault_kind;

struct sim_target_model : ::testing::Test {
    bytes ask(uint8_t command, const bytes& frame = {}) {
        return target.handle({command, frame, false}, &faults);
    }
    bytes block_write(uint16_t a, const bytes& data) {
        bytes req{uint8_t(a >> 8), uint8_t(a), uint8_t(data.size())};
        req.insert(req.end(), data.begin(), data.end());
        return ask(0x21, req);
    }
    bytes block_read(uint16_t a, uint8_t len) {
        return ask(0x22, {uint8_t(a >> 8), uint8_t(a), len});
    }
    void program_mode() { ASSERT_EQ(ask(0x20), bytes{0x00}); }
    void set_flash(uint16_t a, const bytes& data) {
        for (std::size_t i = 0; i < data.size(); ++i) {
            target.flash()[uint16_t(a + i)] = data[i];
        }
    }
    /// Polls the status until it lacks `bit`, or shows it with want_set; the polls made, or -1.
    int poll_status(uint8_t bit, bool want_set) {
        for (int n = 1; n <= 50; ++n) {
            bytes s = ask(0x12);
            if (s.size() == 1 && ((s[0] & bit) != 0) == want_set) {
                return n;
            }
        }
        return -1;
    }
    void erase_start() {
        ask(0x11, {0xB4});
        ask(0x13, {0x03});
    }

    sim::target_model target{sim::config{}};
    sim::fault_injector faults;
};

TEST_F(sim_target_model, IdentifyAndIdentifiers) {
    EXPECT_EQ(ask(0x01), (bytes{'C', '2', 1, 3}));
    ask(0x11, {0x00});
    EXPECT_EQ(ask(0x14), bytes{0x04});
    ask(0x11, {0x01});
    EXPECT_EQ(ask(0x14), bytes{0x02});
    EXPECT_EQ(ask(0x3F), bytes{0x00}); // no erase has been done
    for (uint8_t silent : {0x10, 0x11, 0x13, 0x55}) {
        EXPECT_TRUE(ask(silent).empty()) << int(silent);
    }
}

TEST_F(sim_target_model, BlockWriteRefusals) {
    EXPECT_EQ(block_write(0x0000, {0x12}), bytes{0x01}); // not programming
    program_mode();
    struct {
        uint8_t answer;
        uint16_t address;
        uint8_t length;    // as the request says
        std::size_t given; // data bytes actually in the frame
        const char* what;
    } cases[] = {
        {0x00, 0x1DF0, 16, 16, "last usable block"},
        {0x01, 0x1DF8, 9, 9, "crosses the end"},
        {0x01, 0xFFF8, 9, 9, "would wrap to 0x0000"},
        {0x01, 0x1E00, 1, 1, "beyond the usable flash"},
        {0x01, 0x0000, 17, 17, "too long"},
        {0x01, 0x0000, 0, 0, "empty"},
        {0x01, 0x0000, 3, 1, "length says 3, one byte given"},
    };
    for (const auto& c : cases) {
        bytes frame{uint8_t(c.address >> 8), uint8_t(c.address), c.length};
        frame.resize(3 + c.given, 0x00);
        EXPECT_EQ(ask(0x21, frame), bytes{c.answer}) << c.what;
    }
    EXPECT_EQ(ask(0x21, {0x00, 0x00}), bytes{0x01}) << "no length";
    EXPECT_EQ(target.handle({0x21, bytes{0x00, 0x00, 1, 0x00}, true}), bytes{0x01})
        << "overlong frame";
}

TEST_F(sim_target_model, ProgrammingOnlyClearsBits) {
    set_flash(0x0010, {0xF0, 0xFF});
    program_mode();
    ASSERT_EQ(block_write(0x0010, {0x0F, 0x3C}), bytes{0x00});
    EXPECT_EQ(target.flash()[0x0010], 0x00);
    EXPECT_EQ(target.flash()[0x0011], 0x3C);
}

TEST_F(sim_target_model, BlockReadWrapsAndNeedsProgrammingMode) {
    set_flash(0xFFFE, {0x11, 0x22, 0x33});
    EXPECT_EQ(block_read(0xFFFE, 3), bytes{0x00}); // acknowledged, but nothing taken
    EXPECT_TRUE(ask(0x15).empty());
    program_mode();
    EXPECT_TRUE(ask(0x16).empty()); // no block yet
    block_read(0xFFFE, 3);
    EXPECT_EQ(ask(0x15), (bytes{0x00, 0x11, 0x22, 0x33, 0x00}));
    EXPECT_EQ(ask(0x16), bytes{0x66});
    EXPECT_TRUE(ask(0x10).empty()); // reset leaves programming mode
    EXPECT_TRUE(ask(0x16).empty());
    EXPECT_FALSE(target.programming());
}

TEST_F(sim_target_model, BlockReadAcknowledgementCanBeOff) {
    sim::target_model quiet{sim::config{.block_read_ack = false}};
    quiet.handle({0x20, {}, false});
    EXPECT_TRUE(quiet.handle({0x22, bytes{0x00, 0x00, 0x01}, false}).empty());
    EXPECT_EQ(quiet.handle({0x15, {}, false}), (bytes{0x00, 0xFF, 0x00}));
    target = sim::target_model(sim::config{.block_read_ack_every = 2});
    program_mode();
    for (bool answered : {false, true, false, true}) {
        EXPECT_EQ(block_read(0x0000, 1).empty(), !answered);
    }
}

TEST_F(sim_target_model, BlockOnceServesOneFetchOrSum) {
    target = sim::target_model(sim::config{.block_once = true});
    program_mode();
    block_read(0x0000, 2);
    EXPECT_EQ(ask(0x16), bytes{0xFE});
    EXPECT_TRUE(ask(0x15).empty());
    block_read(0x0000, 2);
    EXPECT_EQ(ask(0x15).size(), 4u);
    EXPECT_TRUE(ask(0x16).empty());
}

TEST_F(sim_target_model, DeviceEraseHandshake) {
    set_flash(0x0000, {0x00, 0x01});
    set_flash(0x8000, {0x00});
    program_mode();
    erase_start();
    EXPECT_EQ(poll_status(0x02, false), 4); // three busy polls, then ready
    EXPECT_EQ(poll_status(0x01, true), 1);
    EXPECT_EQ(ask(0x14), bytes{0x0D});
    for (uint8_t code : {0xDE, 0xAD, 0xA5}) {
        ask(0x13, {code});
        EXPECT_GT(poll_status(0x02, false), 1);
    }
    EXPECT_EQ(target.flash()[0x0000], 0xFF);
    EXPECT_EQ(target.flash()[0x8000], 0xFF);
    EXPECT_EQ(poll_status(0x01, true), 1);
    EXPECT_EQ(ask(0x3F), bytes{0x21});
    program_mode(); // the erase counts only until programming mode is entered again
    EXPECT_EQ(ask(0x3F), bytes{0x00});
}

TEST_F(sim_target_model, EraseRefusedOutOfOrderOrOutsideProgrammingMode) {
    set_flash(0x0000, {0x00});
    erase_start(); // not programming
    EXPECT_EQ(poll_status(0x01, true), -1);
    EXPECT_NE(ask(0x14), bytes{0x0D});
    program_mode();
    erase_start();
    ask(0x13, {0xDE}); // before the 0x0D was read
    ASSERT_GT(poll_status(0x01, true), 0);
    EXPECT_NE(ask(0x14), bytes{0x0D});
    ask(0x13, {0xAD});
    ask(0x13, {0xA5});
    poll_status(0x01, true);
    EXPECT_EQ(target.flash()[0x0000], 0x00);
}

TEST_F(sim_target_model, QueryTellsWhetherTheLastEraseErased) {
    for (bool says_done : {false, true}) {
        target = sim::target_model(sim::config{.query_says_done = says_done});
        program_mode();
        bytes answers;
        for (uint8_t last : {0xA5, 0xA4}) {
            erase_start();
            poll_status(0x01, true);
            ASSERT_EQ(ask(0x14), bytes{0x0D});
            for (uint8_t code : {uint8_t{0xDE}, uint8_t{0xAD}, last}) {
                ask(0x13, {code});
                poll_status(0x02, false);
            }
            answers.push_back(ask(0x3F).at(0));
        }
        // After a good erase, then after one with a corrupted confirmation.
        EXPECT_EQ(answers, (bytes{0x21, uint8_t(says_done ? 0x21 : 0x00)})) << says_done;
    }
}

/// Block reads and writes keep the adapter busy, and so does each erase step: a DATA_WRITE to
/// the flash data register in programming mode, whatever the byte.
TEST_F(sim_target_model, BusyTimeOfEachCommand) {
    target = sim::target_model(
        sim::config{.block_read_busy_us = 1, .block_write_busy_us = 2, .erase_step_busy_us = 3});
    const struct {
        uint8_t command;
        bytes frame;
        long busy_us;
    } steps[] = {
        {0x11, {0xB4}, 0},    {0x13, {0x03}, 0}, // not programming
        {0x20, {}, 0},        {0x13, {0x03}, 3}, {0x13, {0xDE}, 3}, {0x13, {0x42}, 3},
        {0x13, {}, 0},        {0x12, {}, 0},     {0x11, {0x00}, 0}, {0x13, {0x03}, 0},
        {0x22, {0, 0, 1}, 1}, {0x15, {}, 0},     {0x16, {}, 0},     {0x21, {0, 0, 1, 0xFF}, 2},
        {0x3F, {}, 0},
    };
    for (const auto& s : steps) {
        const sim::command_frame c{s.command, s.frame, false};
        EXPECT_EQ(target.busy_us(c), s.busy_us) << int(s.command);
        target.handle(c);
    }
}

TEST_F(sim_target_model, BlockFaultsHitTheirBlockOnly) {
    faults.add({.kind = fault_kind::write_refused, .address = 0x0125, .times = 1}, 0, {});
    faults.add({.kind = fault_kind::wrong_sum, .address = 0x0120}, 0, {});
    faults.add({.kind = fault_kind::short_fetch, .address = 0x0120, .times = 1}, 0, {});
    program_mode();
    EXPECT_EQ(block_write(0x0110, {0x00}), bytes{0x00});       // block before
    EXPECT_EQ(block_write(0x011F, {0x00, 0x00}), bytes{0x01}); // overlaps
    EXPECT_EQ(target.flash()[0x011F], 0xFF);
    EXPECT_EQ(block_write(0x0120, {0x01}), bytes{0x00}); // fired once only
    block_read(0x0120, 2);
    EXPECT_EQ(ask(0x16), bytes{0x01});
    EXPECT_EQ(ask(0x15).size(), 3u);
    EXPECT_EQ(ask(0x15).size(), 4u);
}

TEST_F(sim_target_model, StatusFaults) {
    faults.add({.kind = fault_kind::never_ready}, 0, {});
    faults.add({.kind = fault_kind::always_busy}, 0, {});
    program_mode();
    erase_start();
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(ask(0x12), bytes{0x02});
    }
    EXPECT_EQ(ask(0x14), bytes{0x00}); // the accepted code never shows
}

} // namespace
