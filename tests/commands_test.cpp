// SPDX-License-Identifier: MIT
// The inquire, device-erase, reset and read commands, end to end: the real
// binary against the emulated adapter over a pseudo-terminal; and read and write beside an
// adapter that leaves out the answer to block read.
#include "support/emulated_line.h"
#include "support/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using test_support::command_fault;
using test_support::emulated_line;
using test_support::hex_record;
using test_support::side_by_side;

constexpr uint8_t IDENTIFY = 0x01, RESET = 0x10, DATA_READ = 0x14, PROGRAM_MODE = 0x20,
                  BLOCK_FETCH = 0x15, BLOCK_READ = 0x22, BLOCK_WRITE = 0x21, QUERY = 0x3F;
/// The longest the program waits for a reply, in microseconds.
constexpr long READ_TIMEOUT_US = 100000;

// The exchange of one identifier read: reset, address write, data read.
bytes id_read(uint8_t address) {
    return {RESET, 0x00, 0x80, static_cast<uint8_t>(0x80 | address), 0x11, DATA_READ};
}

bytes concat(std::initializer_list<bytes> parts) {
    bytes all;
    for (const auto& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

TEST(Inquire, AdapterAndTargetFound) {
    struct inquire_case {
        const char* name;
        sim::config cfg;
        std::string adapter_line, device_line, revision_line;
        bytes line = concat({{IDENTIFY, IDENTIFY}, id_read(0), id_read(0), id_read(1), id_read(1)});
    };
    sim::config v13;
    sim::config v200;
    v200.version_major = 0xC8;
    v200.version_minor = 0;
    v200.revision_id = 0xFE;
    sim::config id8;
    id8.device_id = 8;
    id8.revision_id = 0;
    sim::config id255;
    id255.device_id = 0xFF;
    id255.revision_id = 0xFF;
    sim::config slow; // every reply comes after the wait for it: each identifier asked 5 times
    slow.latency_us = 150000;
    const inquire_case cases[] = {
        {"1.3", v13, "Adapter: 1.3\n", "DeviceID: 0x04 (C8051F30x)\n", "RevisionID: 0x02\n"},
        {"200", v200, "Adapter: 200.0\n", "DeviceID: 0x04 (C8051F30x)\n", "RevisionID: 0xFE\n"},
        {"id8", id8, "Adapter: 1.3\n", "DeviceID: 0x08\n", "RevisionID: 0x00\n"},
        {"id255", id255, "Adapter: 1.3\n", "DeviceID: FAILED\n", "RevisionID: FAILED\n"},
        // The identifications that find the adapter depend on how late the replies come; the
        // identifier reads after them do not.
        {"slow", slow, "Adapter: 1.3\n", "DeviceID: FAILED\n", "RevisionID: FAILED\n",
         concat({id_read(0), id_read(0), id_read(0), id_read(0), id_read(0), id_read(1), id_read(1),
                 id_read(1), id_read(1), id_read(1)})},
    };
    side_by_side(cases, [](const inquire_case& c) {
        emulated_line line(c.cfg);
        auto r = line.run({"-i"});
        EXPECT_EQ(r.exit_status, 0) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(r.out, line.port_line() + c.adapter_line + c.device_line + c.revision_line)
            << c.name;
        bytes received = line.emu.received();
        if (c.line.front() != IDENTIFY) {
            received.erase(received.begin(), std::find(received.begin(), received.end(), RESET));
        }
        EXPECT_EQ(received, c.line) << c.name;
    });
}

TEST(Inquire, TargetSilent) {
    emulated_line line;
    line.emu.add_fault({.kind = sim::fault_kind::no_reply, .command = DATA_READ});
    auto r = line.run({"-i"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, line.port_line() + "Adapter: 1.3\nDeviceID: FAILED\nRevisionID: FAILED\n");
}

// Replies that fail the first attempt; the second attempt finds the adapter, or the identifier.
TEST(Inquire, FirstAttemptFailsSecondSucceeds) {
    struct retry_case {
        const char* name;
        std::vector<sim::fault> faults;
        bool stale;
        int identifies; // ADP_IDENTIFY bytes sent in all
    };
    const auto identify_reply = [](int nth, bytes reply) {
        return command_fault(sim::fault_kind::wrong_reply, IDENTIFY, nth, std::move(reply));
    };
    const retry_case cases[] = {
        {"stale bytes", {}, true, 3},
        {"differing replies", {identify_reply(2, {0x43, 0x32, 0x01, 0x04})}, false, 4},
        {"five-byte reply",
         {command_fault(sim::fault_kind::surplus_reply, IDENTIFY, 1, {0})},
         false,
         3},
        {"not C2",
         {identify_reply(1, {0x43, 0x33, 0x01, 0x03}), identify_reply(2, {0x43, 0x33, 0x01, 0x03})},
         false,
         4},
        {"late device identifier",
         {command_fault(sim::fault_kind::delay_reply, DATA_READ, 1, {}, 150)},
         false,
         2},
    };
    side_by_side(cases, [](const retry_case& c) {
        emulated_line line;
        for (const auto& f : c.faults) {
            line.emu.add_fault(f);
        }
        if (c.stale) {
            line.emu.inject({0x55, 0xAA});
        }
        auto r = line.run({"-i"});
        EXPECT_EQ(r.exit_status, 0) << c.name;
        EXPECT_EQ(r.err, "") << c.name;
        EXPECT_EQ(r.out, line.port_line() + "Adapter: 1.3\nDeviceID: 0x04 (C8051F30x)\n"
                                            "RevisionID: 0x02\n")
            << c.name;
        EXPECT_EQ(line.emu.command_count(IDENTIFY), c.identifies) << c.name;
    });
}

TEST(Inquire, NoAdapterIsNoFailure) {
    emulated_line line;
    line.emu.add_fault({.kind = sim::fault_kind::no_reply, .command = IDENTIFY});
    auto r = line.run({"-i"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, line.port_line());
    EXPECT_EQ(r.err, "C2 interface adapter not found.\n");
    EXPECT_EQ(line.emu.received(), bytes(5, IDENTIFY));
}

TEST(Inquire, OptionErrorsAndTheCommand) {
    struct option_case {
        std::vector<std::string> args;
        int status;
        std::string err;
        bool runs; // the inquiry reaches the line
    };
    const option_case cases[] = {
        {{"-i", "--speed"}, 1, "Baud rate is required: --speed <bits per second>\n", false},
        {{"-i", "--reset", "-f"}, 1, "File name is required: --file <path>\n", false},
        {{"-i", "--speed", "1234"}, 0, "Invalid baud rate: --speed <bits per second>\n", true},
        {{"-i", "--bogus"}, 0, "Unknown option: --bogus\n", true},
    };
    for (const auto& c : cases) {
        emulated_line line;
        auto r = line.run(c.args);
        EXPECT_EQ(r.exit_status, c.status) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out.rfind(line.port_line() + "Adapter: 1.3\n", 0) == 0, c.runs) << c.err;
        EXPECT_EQ(line.emu.received().empty(), !c.runs) << c.err;
    }
}

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

TEST(DeviceErase, Succeeds) {
    emulated_line line;
    line.emu.set_flash(0x0100, {0x12, 0x34});
    auto r = line.run({"--device-erase"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(without_polls(line.emu.received()),
              concat({programming_start, erase_check, erase_mark, erase_sequence, erase_check}));
    EXPECT_EQ(line.emu.flash()[0x0100], 0xFF);
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
        emulated_line line;
        auto r = line.run({"--device-erase", "--reset"});
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(without_polls(line.emu.received()), concat({programming_start,
                                                              erase_check,
                                                              erase_mark,
                                                              erase_sequence,
                                                              erase_check,
                                                              {RESET}}));
        EXPECT_FALSE(line.emu.programming_mode());
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

// Standard error of a read run without failures over blocks from 0.
std::string read_progress(unsigned blocks) {
    std::string err;
    char line[32];
    for (unsigned i = 0; i < blocks; ++i) {
        std::snprintf(line, sizeof line, "%04X: reading.\r", i * 16);
        err += line;
    }
    return err;
}

// A data record of a dump, line end included.
std::string record(uint16_t address, const bytes& data) {
    return hex_record(0x00, address, data) + "\n";
}

TEST(Read, ErasedChip) {
    emulated_line line;
    auto r = line.run({"-r"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, ":00000001FF\n");
    EXPECT_EQ(r.err, read_progress(480) + "              \rCompleted.\n");
    EXPECT_EQ(line.emu.command_count(BLOCK_FETCH), 2 * 480); // each block fetched twice, compared
}

TEST(Read, KnownContents) {
    emulated_line line;
    line.emu.set_flash(0x0100, {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,
                                0x0B, 0x0C, 0x0D, 0x0E, 0x0F});
    line.emu.set_flash(0x0010, {0x12});
    line.emu.set_flash(0x1DFF, {0xAB});
    line.emu.set_flash(0x1E00, {0x01}); // beyond the covered range
    auto r = line.run({"-r"});
    EXPECT_EQ(r.exit_status, 0);
    bytes last(16, 0xFF);
    last[15] = 0xAB;
    EXPECT_EQ(r.out, ":1000100012FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFDD\n"
                     ":10010000000102030405060708090A0B0C0D0E0F77\n" +
                         record(0x1DF0, last) + ":00000001FF\n");
    EXPECT_EQ(r.err, read_progress(480) + "              \rCompleted.\n");
    // Each fetch goes out behind its block read, both replies in one round trip, and the
    // replies are proven in step in batches: a whole read waits about 1000 times, not 2400.
    EXPECT_LE(test_support::round_trips(line.emu), 1000U);
}

TEST(Read, OneFailedBlockStillFails) {
    emulated_line line;
    line.emu.set_flash(0x0000, {0x11});
    line.emu.set_flash(0x0200, {0x22});
    line.emu.add_fault({.kind = sim::fault_kind::short_fetch, .address = 0x0100, .times = 1});
    auto r = line.run({"-r"});
    EXPECT_EQ(r.exit_status, 1);
    bytes first(16, 0xFF);
    first[0] = 0x11;
    bytes second(16, 0xFF);
    second[0] = 0x22;
    EXPECT_EQ(r.out, record(0x0000, first) + record(0x0200, second)); // no end record
    std::string progress = read_progress(480);
    std::string expected = progress.substr(0, 15 * 0x11) + "\r0100-010F: read error, retry\n" +
                           progress.substr(15 * 0x10) + "Failed.\n";
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(line.emu.command_count(PROGRAM_MODE), 3); // at the start, after the identity, retry
}

TEST(Read, SixthFailureEndsTheRun) {
    emulated_line line;
    line.emu.set_flash(0x0000, {0x11});
    line.emu.add_fault({.kind = sim::fault_kind::short_fetch, .address = 0x0100});
    auto r = line.run({"-r"});
    EXPECT_EQ(r.exit_status, 1);
    bytes first(16, 0xFF);
    first[0] = 0x11;
    EXPECT_EQ(r.out, record(0x0000, first));
    std::string expected = read_progress(0x10);
    for (int i = 0; i < 5; ++i) {
        expected += "0100: reading.\r\r0100-010F: read error, retry\n";
    }
    expected += "0100: reading.\rFailed.\n";
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(line.emu.command_count(BLOCK_FETCH), 2 * 0x10 + 6);
}

TEST(Read, OutputThatCannotBeWrittenIsAFailure) {
    emulated_line line;
    line.emu.set_flash(0x0000, {0x11});
    auto r = line.run({"-r"}, {.stdout_file = "/dev/full"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.err.find("Cannot write the output: "), std::string::npos);
    EXPECT_EQ(r.err.substr(r.err.size() - 8), "Failed.\n");
    EXPECT_EQ(r.err.find("Completed."), std::string::npos);
}

// A reply byte that comes late or in surplus shifts the next fetch reply by one; the dump
// must then fail rather than hold bytes from the wrong addresses.
// A byte too many fails the block; an answer so late that the fetch sent behind its block read
// comes late too makes the run wait for every reply, and read the block again.
TEST(Read, ShiftedFetchReplyIsAFailureNotAWrongDump) {
    struct shift_case {
        const char* name;
        sim::fault fault;
        int status;
        std::string said;
    };
    const std::string retry = "\r0020-002F: read error, retry\n";
    const shift_case cases[] = {
        {"surplus after the block read answer",
         {.kind = sim::fault_kind::surplus_reply, .command = 0x22, .nth = 5, .bytes = {0x77}},
         1,
         retry},
        {"block read answer too late",
         {.kind = sim::fault_kind::delay_reply, .command = 0x22, .nth = 5, .delay_ms = 150},
         0,
         "Adapter did not answer a fetch sent while it was busy; waiting for every reply.\n"},
        {"surplus after a fetch",
         {.kind = sim::fault_kind::surplus_reply, .command = 0x15, .nth = 5, .bytes = {0x5A}},
         1,
         retry},
    };
    side_by_side(cases, [](const shift_case& c) {
        emulated_line line;
        for (unsigned a = 0; a < 0x40; ++a) {
            line.emu.set_flash(static_cast<uint16_t>(a), {static_cast<uint8_t>(a)});
        }
        line.emu.add_fault(c.fault);
        auto r = line.run({"-r"});
        EXPECT_EQ(r.exit_status, c.status) << c.name;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << c.name << r.err;
        bytes third(16);
        for (unsigned i = 0; i < 16; ++i) {
            third[i] = static_cast<uint8_t>(0x20 + i);
        }
        // Whatever was dumped for the block is its real content.
        auto at = r.out.find(":10002000");
        if (at != std::string::npos) {
            EXPECT_EQ(r.out.substr(at, 44), record(0x0020, third)) << c.name;
        }
    });
}

// Gaps between each block-read request and the command after it, in microseconds: the time
// the program waited for the answer to block read.
std::vector<long> block_read_waits(const sim::emulator& emu) {
    std::vector<long> waits;
    const auto log = emu.transcript();
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i].dir != sim::direction::to_adapter || log[i].byte != BLOCK_READ) {
            continue;
        }
        for (std::size_t j = i + 1; j < log.size(); ++j) {
            if (log[j].dir == sim::direction::to_adapter) {
                waits.push_back(
                    std::chrono::duration_cast<std::chrono::microseconds>(log[j].when - log[i].when)
                        .count());
                break;
            }
        }
    }
    return waits;
}

// An adapter that leaves out the answer to block read is learned from the first two block
// reads; an answer that comes after all sends the run back to waiting, and a dump is only ever
// the chip's. One that serves a block to a single fetch is read all the same, since each of a
// block's two fetches comes from a block read of its own.
TEST(Read, AdapterThatDoesNotAnswerBlockRead) {
    constexpr int BYTES = 64;
    const std::string NOT_WAITING = "Adapter does not answer block read; not waiting for it.\n";
    test_support::flash_array chip = test_support::erased_flash();
    for (int i = 0; i < BYTES; ++i) {
        chip[static_cast<std::size_t>(i)] = static_cast<uint8_t>(0x3D * i + 7);
    }
    // The second block, read one byte late behind an answer to block read that came after all,
    // is shifted alike in both its fetches, which then agree. Only the in-step check shows it
    // wrong, so a block read while not waiting must not be printed before it.
    const bytes passes_when_shifted = {0x01, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x55};
    std::copy(passes_when_shifted.begin(), passes_when_shifted.end(), chip.begin() + 16);
    const std::string dump = sim::hex_text(chip, 0, BYTES);
    const auto unanswered = [](int nth) {
        return command_fault(sim::fault_kind::no_reply, BLOCK_READ, nth);
    };
    // Replies handed over byte by byte, so that no byte of a reply is waiting early.
    sim::config uart;
    uart.byte_gap_us = 520;
    sim::config silent = uart;
    silent.block_read_ack = false;
    sim::config once = uart; // serves a block to one fetch or sum only
    once.block_once = true;
    struct adapter_case {
        const char* name;
        sim::config cfg;
        std::vector<sim::fault> faults;
        int status;
    };
    const adapter_case cases[] = {
        {"answering", uart, {}, 0},
        {"silent", silent, {}, 0},
        {"serving each block once", once, {}, 0},
        {"silent for two block reads, then answering", uart, {unanswered(1), unanswered(2)}, 0},
        {"silent for three block reads, then answering",
         uart,
         {unanswered(1), unanswered(2), unanswered(3)},
         0},
        {"answering late once the run has stopped waiting",
         uart,
         {unanswered(1), unanswered(2),
          command_fault(sim::fault_kind::delay_reply, BLOCK_READ, 0, {}, 150)},
         1},
    };
    std::vector<bytes> received(std::size(cases));
    side_by_side(cases, [&](const adapter_case& c) {
        SCOPED_TRACE(c.name);
        emulated_line line(c.cfg);
        line.program = {test_support::short_range_binary(), std::to_string(BYTES)};
        line.emu.set_flash(0, bytes(chip.begin(), chip.begin() + BYTES));
        for (const auto& f : c.faults) {
            line.emu.add_fault(f);
        }
        const auto r = line.run({"-r"});
        EXPECT_EQ(r.exit_status, c.status) << r.err;
        EXPECT_TRUE(dump.starts_with(r.out)) << "a record that is not the chip's:\n" << r.out;
        const bool learned = !c.cfg.block_read_ack || !c.faults.empty();
        EXPECT_EQ(r.err.find(NOT_WAITING) != std::string::npos, learned) << r.err;
        EXPECT_EQ(r.err.find(NOT_WAITING), r.err.rfind(NOT_WAITING)) << "said more than once";
        if (c.status == 0) {
            EXPECT_EQ(r.out, dump);
            EXPECT_TRUE(r.err.ends_with("Completed.\n")) << r.err;
        } else {
            EXPECT_TRUE(r.err.ends_with("Failed.\n")) << r.err;
        }
        received[static_cast<std::size_t>(&c - cases)] = line.emu.received();
        if (c.faults.empty() && learned) {
            // The first two block reads wait their full time, and then the command after a
            // block read follows it at once.
            const std::vector<long> waits = block_read_waits(line.emu);
            ASSERT_GT(waits.size(), 2U);
            EXPECT_GE(waits[0], READ_TIMEOUT_US);
            EXPECT_GE(waits[1], READ_TIMEOUT_US);
            EXPECT_LT(*std::min_element(waits.begin() + 2, waits.end()), READ_TIMEOUT_US)
                << "still waiting for every answer";
        }
    });
    // The silent adapter gets the same bytes as the answering one but for the in-step checks
    // (0x01) between the two fetches of a block while not waiting.
    const auto requests = [](bytes line) {
        std::erase(line, uint8_t{0x01});
        return line;
    };
    EXPECT_EQ(requests(received[1]), requests(received[0]));
}

// A stray byte while not waiting for the answer to block read costs a drain and a few blocks
// read again: two block reads in a row unanswered stop the waiting again. An adapter answering
// every other block read from its fourth is learned, then waited for. A whole run that went
// back to waiting for every later block read would wait out hundreds of them.
// At 115200 bit/s, the wire time a wait first waits out after blocks sent unpaced is short.
TEST(Read, StrayBytesBesideAnAdapterThatDoesNotAnswerBlockRead) {
    constexpr uint32_t RANGE = sim::USABLE_FLASH_END;
    test_support::flash_array chip = test_support::erased_flash();
    for (uint32_t i = 0; i < RANGE; ++i) {
        chip[i] = static_cast<uint8_t>((i * 0x9E37U) >> 7 ^ i);
    }
    const auto stray = [](int nth) {
        return command_fault(sim::fault_kind::surplus_reply, BLOCK_FETCH, nth, {0x00});
    };
    const sim::config silent{.block_read_ack = false};
    const struct stray_case {
        const char* name;
        sim::config cfg;
        std::vector<sim::fault> faults;
        uint32_t size; // short where each unanswered block read costs 100 ms
    } cases[] = {
        {"one stray byte", silent, {stray(50)}, RANGE},
        {"three stray bytes far apart", silent, {stray(50), stray(250), stray(450)}, RANGE},
        {"answering every other",
         {.block_read_ack_every = 2},
         {command_fault(sim::fault_kind::no_reply, BLOCK_READ, 2)},
         0x100},
    };
    side_by_side({false, true}, [&](bool writing) {
        side_by_side(cases, [&](const stray_case& c) {
            SCOPED_TRACE(std::string(writing ? "write, " : "read, ") + c.name);
            emulated_line line(c.cfg);
            line.program = {test_support::short_range_binary(), std::to_string(c.size)};
            line.emu.set_flash(0, writing ? bytes{} : bytes(chip.begin(), chip.begin() + c.size));
            for (const auto& f : c.faults) {
                line.emu.add_fault(f);
            }
            const std::string image = sim::hex_text(chip, 0, c.size);
            const auto r = line.run({writing ? "-w" : "-r", "--speed", "115200"},
                                    {.stdin_data = writing ? image : ""});
            EXPECT_EQ(r.exit_status, 0) << r.err.substr(r.err.rfind('\r') + 1);
            EXPECT_EQ(writing ? sim::hex_text(line.emu.flash(), 0, c.size) : r.out, image);
            const std::string NOT_WAITING = "Adapter does not answer block read";
            EXPECT_EQ(r.err.find(NOT_WAITING), r.err.rfind(NOT_WAITING)) << "said more than once";
            const std::vector<long> waits = block_read_waits(line.emu);
            const auto waited = std::count_if(waits.begin(), waits.end(),
                                              [](long w) { return w >= READ_TIMEOUT_US; });
            if (c.cfg.block_read_ack_every == 1) {
                EXPECT_LT(waited, 100) << "waited for every block read";
            } else { // each block read it leaves out, one in two, is waited out
                EXPECT_GE(2 * waited + 2, std::ssize(waits)) << "not waiting for it again";
            }
        });
    });
}

} // namespace
