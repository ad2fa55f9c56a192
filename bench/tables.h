// SPDX-License-Identifier: MIT
// The tables the benchmark prints, each figure the median of runs runs, as Markdown.
#pragma once

#include "bench_run.h"

#include <string>

namespace bench {

/// The first tables: write and read at 115200, 230400 and unpaced against the answering
/// adapter, where the time beyond the bound goes, and the system calls per block.
void wire_tables(const bench_setup& setup, int runs, bool strace);

/// Write and read at 115200 and 230400 bit/s against an answering adapter, one that leaves the
/// block-read answer out, and one that answers after latency_us. A run of each in turn, so that
/// the machine's load falls on the three alike; the difference to the answering adapter is the
/// median of the differences within a turn.
void adapter_tables(const bench_setup& setup, int runs, long latency_us);

/// The program against an earlier build of it at 115200 bit/s, write and read, against an
/// adapter with a turnaround of 1 and of 16 ms that answers and holds one byte while busy, one
/// that holds none, and one that leaves the block-read answer out: the exchanges, the round
/// trips the program waits for, and the wall times, a run of each in turn.
void round_trip_table(const bench_setup& setup, const std::string& baseline, int runs);

/// The program against an earlier build of it, write and read at 115200 and 230400 bit/s, a run
/// of each in turn (the earlier first in even turns): what the changes cost on the line and in
/// time. The ratio of wall times is the median of the ratios within a turn.
void baseline_table(const bench_setup& setup, const std::string& baseline, int runs);

} // namespace bench
