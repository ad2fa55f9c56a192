// SPDX-License-Identifier: MIT
// Drives the real vantrel binary against the in-process emulated adapter and reports, for a
// full write and a full read at 115200 and 230400 bits per second (the emulator paces bytes at
// the line speed) and unpaced: wall time, the child's CPU time, system calls per block, the
// lower bound that the wire and the protocol's mandated waits put on the run, and the ratio
// of wall time to that bound; and, from the emulator's transcript, how much of the time beyond
// the bound is the program's own turnaround between a reply and its next request. Every
// figure is the median of --runs runs. Paced lines hand every reply over byte by byte at its
// wire time, as a serial port does; --real-line does so on the unpaced line too, which
// otherwise hands a reply over whole, as a pseudo-terminal does. --trace runs vantrel with
// VANTREL_TRACE set to a file (otherwise the variable is unset for every run); the fingerprint
// of the bytes on the line shows whether that changed anything on the wire. --adapters runs, in
// place of those tables, the write and the read paced against three adapters: one that answers,
// one that leaves the block-read answer out, and one that answers each request after a
// turnaround of --latency-us (1000 by default), as a USB serial converter does. --baseline PATH
// runs the paced write and read with an earlier build of vantrel at PATH and with this one in
// turn, and sets their bytes, exchanges and times side by side; with --adapters too, it sets
// their round trips and times side by side at 115200 bit/s behind a 1 ms and a 16 ms turnaround,
// against an adapter that holds one byte while busy, one that holds none, and one that leaves
// the block-read answer out.
//
// Usage: wire_bench [--vantrel PATH] [--runs N] [--no-strace] [--default-slack] [--real-line]
//                   [--trace] [--adapters] [--latency-us US] [--baseline PATH]
#include "bench_run.h"
#include "sim_types.h"
#include "tables.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    bench::bench_setup setup;
    setup.vantrel = VANTREL_BINARY;
    int runs = 5;
    bool strace = true;
    bool adapters = false;
    long latency_us = 1000;
    std::string baseline;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--vantrel" && i + 1 < argc) {
            setup.vantrel = argv[++i];
        } else if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--no-strace") {
            strace = false;
        } else if (a == "--default-slack") {
            setup.precise_emulator = false;
        } else if (a == "--real-line") {
            setup.real_line = true;
        } else if (a == "--trace") {
            setup.trace = true;
        } else if (a == "--adapters") {
            adapters = true;
        } else if (a == "--latency-us" && i + 1 < argc) {
            latency_us = std::clamp(std::atol(argv[++i]), 0L, sim::MAX_LATENCY_US);
        } else if (a == "--baseline" && i + 1 < argc) {
            baseline = argv[++i];
        } else {
            std::fprintf(stderr, "usage: wire_bench [--vantrel PATH] [--runs N] [--no-strace] "
                                 "[--default-slack] [--real-line] [--trace]\n"
                                 "                  [--adapters] [--latency-us US] "
                                 "[--baseline PATH]\n");
            return 2;
        }
    }
    // Only --trace traces, and never the benchmark's own in-process opens.
    unsetenv("VANTREL_TRACE");
    char pattern[] = "/tmp/wire-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    setup.dir = pattern;
    setup.image = bench::make_image();
    {
        std::ofstream hex(setup.dir + "/image.hex");
        hex << bench::image_hex(setup.image);
    }

    std::printf("vantrel: %s\nruns per figure: %d (median), image: %zu bytes in %zu blocks, "
                "emulator timer slack: %s, replies: %s, wire trace: %s\n\n",
                setup.vantrel.c_str(), runs, bench::FLASH_BYTES, bench::BLOCKS,
                setup.precise_emulator ? "1 ns" : "default",
                setup.real_line ? "byte by byte, unpaced too (real line)"
                                : "byte by byte when paced, whole when unpaced",
                setup.trace ? "VANTREL_TRACE set to a file" : "VANTREL_TRACE unset");
    if (adapters && !baseline.empty()) {
        bench::round_trip_table(setup, baseline, runs);
    } else if (adapters) {
        bench::adapter_tables(setup, runs, latency_us);
    } else if (!baseline.empty()) {
        bench::baseline_table(setup, baseline, runs);
    }
    if (!adapters && baseline.empty()) {
        bench::wire_tables(setup, runs, strace);
    }
    std::filesystem::remove_all(setup.dir);
    return 0;
}
