// SPDX-License-Identifier: MIT
// The figures of one run from the emulator's transcript: the bytes and exchanges on the line,
// the lower bound that the wire and the protocol's mandated waits put on the run, and how the
// wall time beyond it splits into the program's turnarounds, the emulator's part, and the
// program's start and exit.
#pragma once

#include "child_run.h"
#include "sim_types.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

constexpr double DRAIN_S = 0.100; // the quiet wait before the programming-mode command
/// A gap on the line at least this long is one of the program's quiet waits (a drain, the quiet
/// after an identifier, a reply wait that ran out): the protocol's waits, in the bound.
constexpr double QUIET_GAP_S = 0.090;

struct scenario {
    std::string command;        // "write" or "read"
    long speed;                 // bits per second on the line; 0: unpaced
    bool block_read_ack = true; // false: the adapter leaves the block-read answer out
    long latency_us = 0;        // the adapter's turnaround before each reply
    int rx_hold = 1;            // bytes the adapter holds while busy
};

struct run_figures {
    double wall_s = 0;
    double cpu_s = 0;
    double bound_s = 0;
    std::size_t to_adapter = 0;
    std::size_t from_adapter = 0;
    std::size_t exchanges = 0;   // command bytes the adapter handled
    std::size_t replies = 0;     // of those, the ones it answered
    std::size_t round_trips = 0; // replies, or replies sent back together, after requests
    double busy_s = 0;           // the adapter busy with block reads, writes and erase steps
    double quiet_s = 0;          // the gaps of QUIET_GAP_S or more: the program's quiet waits
    double wire_s = 0;
    // Where the wall time goes, from the emulator's transcript (see split_wall).
    std::vector<double> turnaround_us; // per reply: its last byte out to the next request in
    double turnaround_ms = 0;          // their sum
    double emulator_ms = 0;            // request in to reply out, beyond the wire time
    double start_exit_ms = 0;          // before the first byte (less the drain), after the last
    uint64_t line_fingerprint = 0;     // FNV-1a over the transcript's directions and bytes
    bool failed = false;               // the program failed (a run that was allowed to)
    std::string failure;               // then the last line it printed
};

double ms_between(steady::time_point from, steady::time_point to);

/// The figures of a run of s from the line's transcript, of which replies commands were
/// answered while the adapter was busy for busy_s, and the child's times. The bound is the
/// wire time, the program's quiet waits, and the longer of the adapter's turnarounds (one per
/// round trip) and its busy time, which a turnaround hides.
run_figures figures_of(const std::vector<sim::transcript_entry>& log, std::size_t replies,
                       double busy_s, const scenario& s, const child_result& child);

} // namespace bench
