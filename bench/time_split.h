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
// An adapter that leaves out the block-read answer: the first two block reads of a run wait for
// it in full before the program stops waiting.
constexpr double SILENT_LEARNING_S = 2 * 0.100;

struct scenario {
    std::string command;        // "write" or "read"
    long speed;                 // bits per second on the line; 0: unpaced
    bool block_read_ack = true; // false: the adapter leaves the block-read answer out
    long latency_us = 0;        // the adapter's turnaround before each reply
};

struct run_figures {
    double wall_s = 0;
    double cpu_s = 0;
    double bound_s = 0;
    std::size_t to_adapter = 0;
    std::size_t from_adapter = 0;
    std::size_t exchanges = 0; // command bytes the adapter handled
    std::size_t replies = 0;   // of those, the ones it answered
    double wire_s = 0;
    // Where the wall time goes, from the emulator's transcript (see split_wall).
    std::vector<double> turnaround_us; // per reply: its last byte out to the next request in
    double turnaround_ms = 0;          // their sum
    double emulator_ms = 0;            // request in to reply out, beyond the wire time
    double start_exit_ms = 0;          // before the first byte (less the drain), after the last
    uint64_t line_fingerprint = 0;     // FNV-1a over the transcript's directions and bytes
};

double ms_between(steady::time_point from, steady::time_point to);

/// The figures of a run of s from the line's transcript, of which replies commands were
/// answered, and the child's times.
run_figures figures_of(const std::vector<sim::transcript_entry>& log, std::size_t replies,
                       const scenario& s, const child_result& child);

} // namespace bench
