// SPDX-License-Identifier: MIT
// The write command's blocks end to end: the real binary programs the emulated chip over a
// pseudo-terminal block by block, with refused writes, bad read-backs and lost programming mode,
// and shows each block's progress and the verdict exactly.
#include "support/write_chip.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using sim::fault;
using sim::fault_kind;
using test_support::block_fault;
using test_support::command_fault;
using test_support::COMPLETED;
using test_support::ERASED;
using test_support::erased_flash;
using test_support::flash_array;
using test_support::image_with_blocks;
using test_support::ok;
using test_support::put;

constexpr uint8_t PROGRAM_MODE = 0x20, BLOCK_FETCH = 0x15;

std::string failure(unsigned first, const char* what, int retry) {
    char line[64];
    std::snprintf(line, sizeof line, "%04X-%04X: %s.", first, first + 15, what);
    std::string text = line;
    if (retry > 0) {
        text += " retry (" + std::to_string(retry) + ")\n";
    }
    return text;
}

const std::string FAILED = "Failed.\n";

struct retry_case {
    const char* name;
    flash_array image;
    std::vector<fault> faults;
    int exit_status;
    std::string err;
    std::string out = "";
    int program_mode_entries = -1; // -1: not checked
};

std::string repeated(int from, int to, const std::function<std::string(int)>& piece) {
    std::string text;
    for (int k = from; k <= to; ++k) {
        text += piece(k);
    }
    return text;
}

std::vector<retry_case> retry_cases() {
    const flash_array late = image_with_blocks({0x0020, 0x0030});
    const flash_array three = image_with_blocks({0x0000, 0x0010, 0x0020});
    const flash_array zero = image_with_blocks({0x0000, 0x0100});
    const auto fetch_fault = [](uint16_t a, int times) {
        return block_fault(fault_kind::short_fetch, a, times);
    };
    const auto write_fault = [](uint16_t a, int times) {
        return block_fault(fault_kind::write_refused, a, times);
    };
    // Fetches 1 to 4 are the erase's reads of block 0x0000, two before it and two after; the
    // blocks are verified from fetch 5 on.
    const auto fetches_wrong = [](int from, int to) { // whole, with 00 for each flash byte
        std::vector<fault> wrong;
        for (int nth = from; nth <= to; ++nth) {
            wrong.push_back(
                command_fault(fault_kind::wrong_reply, BLOCK_FETCH, nth, bytes(18, 0x00)));
        }
        return wrong;
    };
    std::vector<fault> mode_lost = fetches_wrong(5, 5);
    // Programming mode is entered at the start and again after the chip's identity is read.
    for (int nth = 3; nth <= 12; ++nth) {
        mode_lost.push_back(command_fault(fault_kind::no_reply, PROGRAM_MODE, nth));
    }

    flash_array partly = erased_flash(); // blocks with erased bytes, one an 0xFF inside
    put(partly, 0x0040, {0x12});
    put(partly, 0x004F, {0x34});
    put(partly, 0x0055, {0x00, 0xFF, 0x7E});

    return {
        {"NothingToProgramInTheRange", erased_flash(), {}, 0, ERASED + COMPLETED},
        {"PartlyErasedBlockProgrammedWhole",
         partly,
         {},
         0,
         ERASED + ok(0x0040) + ok(0x0050) + COMPLETED},
        {"FirstBlockFetchFailsOnce",
         late,
         {fetch_fault(0x0025, 1)},
         0,
         ERASED + failure(0x0020, "checksum error", 1) + ok(0x0020) + ok(0x0030) + COMPLETED,
         "",
         3},
        {"FirstBlockWriteRefusedOnce",
         late,
         {write_fault(0x0020, 1)},
         0,
         ERASED + failure(0x0020, "serial_write error", 1) + ok(0x0020) + ok(0x0030) + COMPLETED,
         "",
         3},
        {"LaterBlockFailsOnce",
         three,
         {fetch_fault(0x0020, 1)},
         0,
         ERASED + ok(0x0000) + ok(0x0010) + failure(0x0020, "checksum error", 1) + ok(0x0010) +
             ok(0x0020) + COMPLETED,
         "",
         3},
        {"FourFailuresThenSuccess", zero, fetches_wrong(5, 8), 0,
         ERASED + repeated(1, 4, [](int k) { return failure(0x0000, "checksum error", k); }) +
             ok(0x0000) + ok(0x0100) + COMPLETED,
         "", 6},
        {"BlockAtZeroFailsFiveTimes", zero, fetches_wrong(5, 9), 1,
         ERASED + repeated(1, 4, [](int k) { return failure(0x0000, "checksum error", k); }) +
             failure(0x0000, "checksum error", 0) + FAILED,
         "\n", 6},
        {"BlockFailsEveryTimeAfterProgress",
         three,
         {write_fault(0x002F, -1)},
         1,
         ERASED + ok(0x0000) + ok(0x0010) +
             repeated(1, 4,
                      [](int k) { return failure(0x0020, "serial_write error", k) + ok(0x0010); }) +
             failure(0x0020, "serial_write error", 0) + FAILED,
         "\n",
         6},
        // Fetches in order: 0000, 0010, 0020 (wrong), 0010 (wrong), 0010, 0020.
        {"RestartBlockAlsoFails", three, fetches_wrong(7, 8), 0,
         ERASED + ok(0x0000) + ok(0x0010) + failure(0x0020, "checksum error", 1) +
             failure(0x0010, "checksum error", 1) + ok(0x0010) + ok(0x0020) + COMPLETED,
         "", 4},
        {"ProgrammingModeLostOnRetry", zero, mode_lost, 1,
         ERASED + failure(0x0000, "checksum error", 1) + "Unknown error.\n" + FAILED, "", -1},
    };
}

class WriteRetries : public ::testing::TestWithParam<retry_case> {};

void PrintTo(const retry_case& c, std::ostream* os) {
    *os << c.name;
}

TEST_P(WriteRetries, ExactProgressAndVerdict) {
    const retry_case& c = GetParam();
    test_support::zeroed_chip chip;
    for (const fault& f : c.faults) {
        chip.emu.add_fault(f);
    }
    test_support::run_result r = chip.write_file(test_support::hex_of(c.image));
    EXPECT_EQ(r.exit_status, c.exit_status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    if (c.program_mode_entries >= 0) {
        EXPECT_EQ(chip.emu.command_count(PROGRAM_MODE), c.program_mode_entries);
    }
    if (c.exit_status == 0) {
        EXPECT_EQ(chip.first_difference(c.image), -1);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, WriteRetries, ::testing::ValuesIn(retry_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
