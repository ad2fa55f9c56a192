// SPDX-License-Identifier: MIT
// One run of the program against the in-process emulated adapter, and the round trip of the
// rig itself, the emulator and its pseudo-terminal.
#pragma once

#include "protocol/adapter_protocol.h"
#include "time_split.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bench {

constexpr std::size_t FLASH_BYTES = CHIP_FLASH_SIZE;
constexpr std::size_t BLOCKS = FLASH_BYTES / FLASH_BLOCK_MAX;

struct bench_setup {
    std::string vantrel;
    std::string dir;
    std::vector<uint8_t> image;
    bool precise_emulator = true;
    bool real_line = false;
    bool trace = false; // vantrel writes its wire trace to a file in dir
};

/// The image every run writes or reads: random bytes, no block all 0xFF.
std::vector<uint8_t> make_image();

/// The image as Intel HEX from the emulator's writer: a 16-byte record for every block, as
/// no block of the image is all 0xFF, then the end record.
std::string image_hex(const std::vector<uint8_t>& image);

/// One run of the scenario; exits the benchmark when the program fails, unless may_fail: then
/// the figures say so (failed).
run_figures run_once(const bench_setup& setup, const scenario& s,
                     const std::vector<std::string>& wrapper = {}, bool may_fail = false);

/// System calls of one run under strace -f -c, by name.
std::map<std::string, long> count_syscalls(const bench_setup& setup, const scenario& s);

/// Time one one-byte status exchange costs the emulator and the pseudo-terminal beyond its two
/// bytes of wire time and the adapter's turnaround, in microseconds: what every exchange pays
/// that the program cannot save.
double rig_round_trip_us(const bench_setup& setup, long speed, long latency_us = 0);

} // namespace bench
