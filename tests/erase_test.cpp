// SPDX-License-Identifier: MIT
// The device-erase and reset commands end to end: the real binary against the emulated adapter
// over a pseudo-terminal, byte by byte on the line, refused at each step and proven on the chip.
#include "support/emulated_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using test_support::command_fault;
using test_support::concat;
using test_support::emulated_line;
using test_support::id_read;
using test_support::side_by_side;

constexpr uint8_t IDENTIFY = 0x01, RESET = 0x10, DATA_READ = 0x14, PROGRAM_MODE = 0x20,
                  BLOCK_WRITE = 0x21, QUERY = 0x3F;

// The line sequence of a confirmed erase, polls left out.
bytes without_polls(const bytes& line) {
    bytes out;
    for (uint8_t byte : line) {
        if (byte != 0x12) {
            out.push_back(byte);
        }
    }
    return out;
}

const bytes erase_sequence = {0x00, 0xC0, 0xB4, 0x11, 0x00, 0x80, 0x83, 0x13, 0x14, 0x00, 0xC0,
                              0xDE, 0x13, 0x00, 0xC0, 0xAD, 0x13, 0x00, 0xC0, 0xA5, 0x13, 0x3F};
// The first block read twice, compared, and the replies proven in step by an identification:
// before the erase, to see whether it holds data, and after it, where it must be blank.
const bytes first_block_read = {0x00, 0x80, 0x80, 0x80, 0x90, 0x22, 0x15};
const bytes erase_check = concat({first_block_read, first_block_read, {IDENTIFY}});
// Programming mode reached, the chip identified by two reads of its device identifier alike,
// and programming mode again, which the identifier reads leave.
const bytes programming_start = concat({{PROGRAM_MODE}, id_read(0), id_read(0), {PROGRAM_MODE}});
// Before the erase of a chip whose first block is blank, one byte at 0x0000 programmed to 0x00
// for the erase to clear.
const bytes erase_mark = {0x00, 0x80, 0x80, 0x80, 0x81, 0x80, 0x21};

bytes erase_until(std::ptrdiff_t sent) {
    return bytes(erase_sequence.begin(), erase_sequence.begin() + sent);
}

// With --reset, the reset follows the erase and takes the chip out of programming mode.
TEST(DeviceErase, Succeeds) {
    emulated_line line;
    line.emu.set_flash(0x0100, {0x12, 0x34});
    auto r = line.run({"--device-erase", "--reset"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(
        without_polls(line.emu.received()),
        concat({programming_start, erase_check, erase_mark, erase_sequence, erase_check, {RESET}}));
    EXPECT_EQ(line.emu.flash()[0x0100], 0xFF);
    EXPECT_FALSE(line.emu.programming_mode());
}

// The erase alone and the one a write starts with fail alike; one that fails on a chip that
// holds a program leaves every byte of it as it was.
TEST(DeviceErase, Refused) {
    struct refusal {
        const char* name;
        std::vector<sim::fault> faults;
        std::string err;
        bytes line;             // without the status polls; empty: not checked
        bool programmed = true; // else the first block is blank and gets the mark
        uint8_t device_id = 0x04;
    };
    const std::string FAILED = "Device erase failed.\n";
    const bytes unmarked = concat({programming_start, erase_check});
    const std::vector<refusal> cases = {
        {"programming mode",
         {command_fault(sim::fault_kind::no_reply, PROGRAM_MODE)},
         "Cannot switch to flash programming mode.\n",
         bytes(10, PROGRAM_MODE)},
        {"query",
         {command_fault(sim::fault_kind::wrong_reply, QUERY, 1, {0x20})},
         FAILED,
         concat({programming_start, erase_check, erase_mark, erase_sequence}),
         false},
        {"query silent",
         {command_fault(sim::fault_kind::no_reply, QUERY)},
         FAILED,
         concat({programming_start, erase_check, erase_mark, erase_sequence}),
         false},
        // The third data read: the two before it read the device identifier.
        {"erase command",
         {command_fault(sim::fault_kind::wrong_reply, DATA_READ, 3, {0x0E})},
         FAILED,
         concat({unmarked, erase_until(9)})},
        {"status busy",
         {{.kind = sim::fault_kind::always_busy}},
         FAILED,
         concat({unmarked, erase_until(8)})},
        {"never ready",
         {{.kind = sim::fault_kind::never_ready}},
         FAILED,
         concat({unmarked, erase_until(8)})},
        // Another chip than a C8051F30x is not touched: its identity is read, and nothing more.
        {"another chip",
         {},
         "Device identifier 0x0A: not a C8051F30x (0x04); the chip was not changed. "
         "VANTREL_ANY_DEVICE=1 goes on anyway.\n",
         concat({{PROGRAM_MODE}, id_read(0), id_read(0)}),
         false,
         0x0A},
        {"a chip that cannot be identified",
         {command_fault(sim::fault_kind::no_reply, DATA_READ)},
         "Cannot identify the chip: its device identifier does not read back alike.\n",
         concat({{PROGRAM_MODE}, id_read(0), id_read(0), id_read(0), id_read(0), id_read(0)})},
    };
    const bytes program = {0x02, 0x01, 0x00, 0x75, 0x81, 0x20};
    side_by_side(cases, [&](const refusal& c) {
        side_by_side({false, true}, [&](bool writing) {
            SCOPED_TRACE(std::string(c.name) + (writing ? ", -w" : ", --device-erase"));
            sim::config chip;
            chip.device_id = c.device_id;
            emulated_line line(chip);
            line.emu.set_flash(c.programmed ? 0x0000 : 0x0100, program);
            const auto before = line.emu.flash();
            for (const sim::fault& f : c.faults) {
                line.emu.add_fault(f);
            }
            auto r = writing ? line.run({"-w"}, {.stdin_data = ":0100000011EE\n:00000001FF\n"})
                             : line.run({"--device-erase"});
            EXPECT_EQ(r.exit_status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, c.err);
            if (!c.line.empty()) {
                EXPECT_EQ(without_polls(line.emu.received()), c.line);
            }
            if (c.programmed || c.device_id != 0x04) {
                EXPECT_TRUE(line.emu.flash() == before) << "the chip changed";
            }
        });
    });
}

// A late answer to the mark would shift every status poll of the erase after it: the line is let
// go quiet first, and the erase goes on.
TEST(DeviceErase, MarkAnsweredLateStillErases) {
    side_by_side({false, true}, [](bool writing) {
        SCOPED_TRACE(writing ? "-w" : "--device-erase");
        emulated_line line;
        line.emu.add_fault(command_fault(sim::fault_kind::delay_reply, BLOCK_WRITE, 1, {}, 150));
        auto r = writing ? line.run({"-w"}, {.stdin_data = ":0100000011EE\n:00000001FF\n"})
                         : line.run({"--device-erase"});
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(line.emu.flash()[0], writing ? 0x11 : 0xFF);
    });
}

// The reset after a successful command: DeviceErase.Succeeds.
TEST(Reset, AloneAndAfterCommands) {
    {
        emulated_line line;
        auto r = line.run({"--reset"});
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(line.emu.received(), bytes{RESET});
    }
    {
        // A failed command is still followed by the reset.
        emulated_line line;
        line.emu.add_fault({.kind = sim::fault_kind::no_reply, .command = PROGRAM_MODE});
        auto r = line.run({"-r", "--reset"});
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Cannot switch to flash programming mode.\n");
        EXPECT_EQ(line.emu.received(), concat({bytes(10, PROGRAM_MODE), {RESET}}));
    }
    for (auto args :
         std::vector<std::vector<std::string>>{{"--test", "--reset"}, {"-h", "--reset"}}) {
        emulated_line line;
        auto r = line.run(args);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(line.emu.received(), bytes{RESET});
    }
}

} // namespace
