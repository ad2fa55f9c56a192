// SPDX-License-Identifier: MIT
// The emulated adapter on a pseudo-terminal, and the real vantrel binary run against it: the
// bench of every end-to-end test. Runs on lines of their own can go side by side.
#pragma once

#include "emulator.h"
#include "support/process.h"
#include "support/side_by_side.h"

#include <termios.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace test_support {

/// A finished run, and whether it put the line's settings back.
struct line_run : run_result {
    bool settings_restored = false;
};

/// A fault on the nth handling of command (0: every one), with the bytes it sends and how late.
sim::fault command_fault(sim::fault_kind kind, uint8_t command, int nth = 0,
                         std::vector<uint8_t> bytes = {}, int delay_ms = 0);

/// A fault on the block that covers address, firing times times (-1: every time).
sim::fault block_fault(sim::fault_kind kind, uint16_t address, int times = -1);

/// The parts one after the other.
std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts);

/// The bytes of one identifier read: target reset, address write, data read.
std::vector<uint8_t> id_read(uint8_t address);

/// True when the chip holds expected over the usable flash.
bool chip_holds(const sim::emulator& emu, const sim::flash_array& expected);

/// The times a run waited for the adapter: the runs of bytes from the adapter in the line's
/// transcript, each begun after bytes to it (a reply, or replies sent back together).
std::size_t round_trips(const sim::emulator& emu);

class emulated_line {
  public:
    /// Starts the emulator and keeps the line's settings as a run must leave them.
    explicit emulated_line(const sim::config& cfg = {});

    /// Runs the program with --serial <slave path> args, then waits (bounded) until the
    /// emulator has taken in the last bytes sent.
    line_run attempt(std::vector<std::string> args, const run_options& options = {});

    /// attempt(), expecting the run to end within its bound and to put the settings back.
    run_result run(std::vector<std::string> args, const run_options& options = {});

    /// The line's settings as they are now become the ones a run must leave.
    void keep_settings();
    bool settings_restored() const;

    /// "Port: <slave path>\n", as the inquiry prints it first.
    std::string port_line() const;

    sim::emulator emu; // flash, faults and the transcript of the line

    /// The program run and the arguments it takes before the test's own: vantrel by default.
    std::vector<std::string> program{vantrel_binary()};

  private:
    termios kept_{};
};

} // namespace test_support
