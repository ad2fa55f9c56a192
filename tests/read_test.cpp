// SPDX-License-Identifier: MIT
// The read command end to end: the real binary against the emulated adapter over a
// pseudo-terminal; and read and write beside an adapter that leaves out the answer to block read.
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
using test_support::side_by_side;

constexpr uint8_t PROGRAM_MODE = 0x20, BLOCK_FETCH = 0x15, BLOCK_READ = 0x22;
/// The longest the program waits for a reply, in microseconds.
constexpr long READ_TIMEOUT_US = 100000;

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
    return test_support::hex_record(0x00, address, data) + "\n";
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
    EXPECT_EQ(line.emu.command_count(BLOCK_FETCH), 2 * 480); // each block fetched twice, compared
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
