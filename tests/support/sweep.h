// SPDX-License-Identifier: MIT
// The fault sweeps' machinery: a command of the program (a scenario) runs once clean, then once
// with each single fault on the line at every exchange of that run, on a line that hands
// replies over whole or byte by byte; a run may end in success only with the right result, and
// a failed erase leaves a programmed chip as it was or erased. The faults: a reply missing,
// late, cut short or changed, a flash byte changed in a fetched block, a stray byte before or
// after a reply, stale bytes before the run, the line hung up after any command; and every byte
// the program sends flipped in each of its eight bits, dropped, or taken twice on its way to the
// adapter (with reply_bits, every bit of every reply byte too). The scenarios: sweep_test.cpp.
#pragma once

#include "support/emulated_line.h"
#include "support/hex.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

/// Every sweep_stride-th trial of a sweep runs; 1 runs them all. A stride prime to the ten
/// request faults of one byte samples each kind of fault. Each program that links the sweeps
/// sets it (support/sweep_stride.cpp).
extern const std::size_t sweep_stride;

namespace test_support {

/// One fault to try, and how to show it in a failure.
struct trial {
    std::string name;
    std::vector<sim::fault> faults;
    std::vector<uint8_t> stale{};
    bool hangs_up = false; // the line is gone afterwards: its settings cannot be read back
};

/// A command of the program against the emulated chip, and what its success must mean.
struct scenario {
    const char* name;
    std::vector<std::string> program; // empty: vantrel itself
    std::vector<std::string> args;
    flash_array chip_before;
    /// True when a run that exited 0 left the truth: the right dump or the right chip.
    std::function<bool(const line_run&, const sim::emulator&)> truthful;
    std::vector<trial> named{}; // faults that together once slipped through, by name
    uint16_t flash_end = sim::USABLE_FLASH_END; // the chip's end: a smaller chip for a write
    bool reply_bits = false;                    // also every bit of every reply byte flipped
};

/// How the adapter answers block read: always, never, or on every third one.
enum class block_read_answer { always, never, every_third };

struct sweep_case {
    const scenario* s;
    bool byte_by_byte;
    block_read_answer answer = block_read_answer::always;
    bool requests = true; // also every fault on the bytes the program sends
    int part = 0;         // the trials of this part: every parts-th from the part-th
    int parts = 1;
    int rx_hold = 1; // bytes the adapter holds while busy: 0 loses a fetch queued behind a read
};

void PrintTo(const sweep_case& c, std::ostream* os);

/// Runs the clean run of the case, then every sweep_stride-th trial of its part side by side,
/// each judged by the scenario; prints what the sweep found.
void run_sweep(const sweep_case& c);

} // namespace test_support
