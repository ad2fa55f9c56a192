// SPDX-License-Identifier: MIT
#include "tables.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace bench {

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

/// The p-quantile (0..1) of v by the nearest rank; 0 for an empty v.
double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(v.size())));
    return v[std::max<std::size_t>(rank, 1) - 1];
}

/// The figures of every run of one scenario.
struct series {
    std::vector<double> wall, cpu, bound, ratio, excess, share, turnaround, emulator, start_exit;
    std::vector<double> program_share; // turnarounds, start and exit, in % of the bound
    std::vector<double> turnaround_us; // every reply of every run
    run_figures last;

    void add(const run_figures& f) {
        last = f;
        wall.push_back(f.wall_s);
        cpu.push_back(f.cpu_s);
        bound.push_back(f.bound_s);
        ratio.push_back(f.wall_s / f.bound_s);
        excess.push_back((f.wall_s - f.bound_s) * 1000);
        share.push_back(100 * f.cpu_s / f.wall_s);
        turnaround.push_back(f.turnaround_ms);
        emulator.push_back(f.emulator_ms);
        start_exit.push_back(f.start_exit_ms);
        program_share.push_back((f.turnaround_ms + f.start_exit_ms) / (10 * f.bound_s));
        turnaround_us.insert(turnaround_us.end(), f.turnaround_us.begin(), f.turnaround_us.end());
    }
};

bool have_strace() {
    return std::system("strace -V >/dev/null 2>&1") == 0;
}

} // namespace

void adapter_tables(const bench_setup& setup, int runs, long latency_us) {
    struct adapter {
        std::string name;
        bool block_read_ack;
        long latency_us;
    };
    const std::vector<adapter> adapters = {
        {"answering", true, 0},
        {"silent block read", false, 0},
        {"turnaround " + std::to_string(latency_us) + " us", true, latency_us}};
    std::printf(
        "| command | line | adapter | bytes to / from adapter | exchanges | replies | wall s "
        "| bound s | wall/bound | wall - bound ms | wall - answering ms |\n"
        "|---|---|---|---|---|---|---|---|---|---|---|\n");
    std::string split_table;
    std::string projection;
    std::array<char, 320> row{};
    for (const std::string command : {"write", "read"}) {
        for (const long speed : {115200L, 230400L}) {
            std::vector<series> by(adapters.size());
            std::vector<std::vector<double>> beyond_answering(adapters.size());
            // The rig's round trip, measured in each turn, and what a client doing no work of
            // its own would still pay beyond the bound: the rest, in % of the bound.
            std::vector<std::vector<double>> rig(adapters.size());
            std::vector<std::vector<double>> beyond_rig(adapters.size());
            for (int r = 0; r < runs; ++r) {
                const double rig_plain_us = rig_round_trip_us(setup, speed);
                const double rig_turnaround_us = rig_round_trip_us(setup, speed, latency_us);
                for (std::size_t a = 0; a < adapters.size(); ++a) {
                    const run_figures f =
                        run_once(setup, {command, speed, adapters[a].block_read_ack,
                                         adapters[a].latency_us});
                    by[a].add(f);
                    beyond_answering[a].push_back((f.wall_s - by[0].wall.back()) * 1000);
                    rig[a].push_back(adapters[a].latency_us > 0 ? rig_turnaround_us : rig_plain_us);
                    const double rig_ms = rig[a].back() * static_cast<double>(f.replies) / 1000;
                    beyond_rig[a].push_back(((f.wall_s - f.bound_s) * 1000 - rig_ms) /
                                            (10 * f.bound_s));
                }
            }
            for (std::size_t a = 0; a < adapters.size(); ++a) {
                const series& f = by[a];
                std::printf("| %s | %ld | %s | %zu / %zu | %zu | %zu | %.3f | %.3f | %.3f | %.1f | "
                            "%+.0f |\n",
                            command.c_str(), speed, adapters[a].name.c_str(), f.last.to_adapter,
                            f.last.from_adapter, f.last.exchanges, f.last.replies, median(f.wall),
                            median(f.bound), median(f.ratio), median(f.excess),
                            median(beyond_answering[a]));
                std::fflush(stdout);
                std::snprintf(row.data(), row.size(),
                              "| %s | %ld | %s | %.1f | %.0f | %.0f | %.1f | %.1f | %.1f | %.1f | "
                              "%.1f | %.1f | %.1f |\n",
                              command.c_str(), speed, adapters[a].name.c_str(), median(f.excess),
                              percentile(f.turnaround_us, 0.5), percentile(f.turnaround_us, 0.9),
                              median(f.turnaround), median(f.start_exit), median(f.program_share),
                              median(f.emulator), median(rig[a]), median(beyond_rig[a]),
                              100 * median(f.cpu) / median(f.bound));
                split_table += row.data();
                if (speed == 115200 && adapters[a].latency_us == 0) {
                    const double waits_s = DRAIN_S + f.last.quiet_s;
                    const double trips = static_cast<double>(f.last.round_trips);
                    std::snprintf(row.data(), row.size(),
                                  "| %s | %s | %.3f | %zu | %.2f | %.2f |\n", command.c_str(),
                                  adapters[a].name.c_str(), f.last.wire_s + waits_s,
                                  f.last.round_trips, f.last.wire_s + waits_s + trips * 0.001,
                                  f.last.wire_s + waits_s + trips * 0.016);
                    projection += row.data();
                }
            }
        }
    }
    std::printf("\nWhere the time beyond the bound goes (medians over the runs; turnaround "
                "percentiles over every reply of every run; the program's part is its "
                "turnarounds and its start and exit):\n\n"
                "| command | line | adapter | wall - bound ms | program turnaround median us | "
                "p90 us | sum of turnarounds ms | start and exit ms | program's part %% of "
                "bound | emulator beyond the wire and the waits ms | rig round trip us | wall - "
                "bound beyond replies x rig round trip, %% of bound | program's CPU %% of bound "
                "|\n"
                "|---|---|---|---|---|---|---|---|---|---|---|---|---|\n%s",
                split_table.c_str());
    std::printf("\nRig round trip: an in-process client doing status exchanges with the "
                "program's own serial code, the time per exchange beyond its wire time and the "
                "turnaround, over 1000 exchanges (a second's worth with a longer turnaround) at "
                "the start of each turn; the median over the turns.\n");
    std::printf("\nAt 115200 bit/s with a turnaround before each reply (bound = wire and waits + "
                "turnaround x round trips, from the last run):\n\n"
                "| command | adapter | wire and waits s | round trips | with 1 ms s | with 16 ms s "
                "|\n|---|---|---|---|---|---|\n%s",
                projection.c_str());
}

void baseline_table(const bench_setup& setup, const std::string& baseline, int runs) {
    bench_setup before = setup;
    before.vantrel = baseline;
    std::printf("Before: %s\n\n| command | line | bytes to / from adapter before | now | "
                "exchanges before / now | wall s before / now | bound s before / now | wall/bound "
                "before / now | wall now/before | bound now/before |\n"
                "|---|---|---|---|---|---|---|---|---|---|\n",
                baseline.c_str());
    for (const std::string command : {"write", "read"}) {
        for (const long speed : {115200L, 230400L}) {
            series old_runs;
            series new_runs;
            std::vector<double> ratio;
            for (int r = 0; r < runs; ++r) {
                for (int k = 0; k < 2; ++k) {
                    const bool old_turn = (r + k) % 2 == 0;
                    (old_turn ? old_runs : new_runs)
                        .add(run_once(old_turn ? before : setup, {command, speed}));
                }
                ratio.push_back(new_runs.wall.back() / old_runs.wall.back());
            }
            const run_figures& o = old_runs.last;
            const run_figures& n = new_runs.last;
            std::printf("| %s | %ld | %zu / %zu | %zu / %zu | %zu / %zu | %.3f / %.3f | %.3f / "
                        "%.3f | %.3f / %.3f | %.3f | %.3f |\n",
                        command.c_str(), speed, o.to_adapter, o.from_adapter, n.to_adapter,
                        n.from_adapter, o.exchanges, n.exchanges, median(old_runs.wall),
                        median(new_runs.wall), median(old_runs.bound), median(new_runs.bound),
                        median(old_runs.ratio), median(new_runs.ratio), median(ratio),
                        median(new_runs.bound) / median(old_runs.bound));
            std::fflush(stdout);
        }
    }
}

void round_trip_table(const bench_setup& setup, const std::string& baseline, int runs) {
    struct adapter {
        const char* name;
        bool block_read_ack;
        int rx_hold;
    };
    constexpr std::array<adapter, 3> adapters{{{"answering, holds 1 byte", true, 1},
                                               {"answering, holds none", true, 0},
                                               {"silent block read, holds 1", false, 1}}};
    bench_setup before = setup;
    before.vantrel = baseline;
    std::printf("Before: %s\n\nAt 115200 bit/s; round trips: the times the program waited for "
                "the adapter (runs of reply bytes on the line after request bytes).\n\n"
                "| command | turnaround | adapter | exchanges before / now | round trips before / "
                "now | wall s before / now | bound s before / now | wall now/before |\n"
                "|---|---|---|---|---|---|---|---|\n",
                baseline.c_str());
    for (const std::string command : {"write", "read"}) {
        for (const long latency_us : {1000L, 16000L}) {
            for (const adapter& a : adapters) {
                series old_runs;
                series new_runs;
                std::vector<double> ratio;
                const scenario s{command, 115200, a.block_read_ack, latency_us, a.rx_hold};
                for (int r = 0; r < runs; ++r) {
                    // The earlier build may fail against an adapter it does not know.
                    bool old_failed = false;
                    for (int k = 0; k < 2; ++k) {
                        const bool old_turn = (r + k) % 2 == 0;
                        const run_figures f = run_once(old_turn ? before : setup, s, {}, old_turn);
                        if (f.failed) {
                            std::fprintf(stderr, "%s, %ld us, %s: the earlier build failed: %s\n",
                                         command.c_str(), latency_us, a.name, f.failure.c_str());
                        }
                        old_failed = old_failed || f.failed;
                        if (!f.failed) {
                            (old_turn ? old_runs : new_runs).add(f);
                        }
                    }
                    if (old_failed) {
                        break;
                    }
                    ratio.push_back(new_runs.wall.back() / old_runs.wall.back());
                }
                const run_figures& n = new_runs.last;
                if (old_runs.wall.empty()) {
                    std::printf("| %s | %ld ms | %s | failed / %zu | failed / %zu | failed / %.2f "
                                "| - / %.2f | - |\n",
                                command.c_str(), latency_us / 1000, a.name, n.exchanges,
                                n.round_trips, median(new_runs.wall), median(new_runs.bound));
                    std::fflush(stdout);
                    continue;
                }
                const run_figures& o = old_runs.last;
                std::printf(
                    "| %s | %ld ms | %s | %zu / %zu | %zu / %zu | %.2f / %.2f | %.2f / %.2f "
                    "| %.3f |\n",
                    command.c_str(), latency_us / 1000, a.name, o.exchanges, n.exchanges,
                    o.round_trips, n.round_trips, median(old_runs.wall), median(new_runs.wall),
                    median(old_runs.bound), median(new_runs.bound), median(ratio));
                std::fflush(stdout);
            }
        }
    }
}

void wire_tables(const bench_setup& setup, int runs, bool strace) {
    std::map<long, double> rig_us;
    for (const long speed : {115200L, 230400L, 0L}) {
        std::vector<double> v;
        for (int r = 0; r < runs; ++r) {
            v.push_back(rig_round_trip_us(setup, speed));
        }
        rig_us[speed] = median(v);
    }
    const std::vector<scenario> scenarios = {{"write", 115200}, {"write", 230400}, {"write", 0},
                                             {"read", 115200},  {"read", 230400},  {"read", 0}};
    std::printf("| command | line | bytes to / from adapter | exchanges | wall s | bound s | "
                "wall/bound | wall - bound ms | per exchange us | CPU s | CPU %% of wall |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    std::string split_table;
    std::string fingerprints;
    for (const scenario& s : scenarios) {
        series f;
        for (int r = 0; r < runs; ++r) {
            f.add(run_once(setup, s));
        }
        const run_figures& last = f.last;
        const double excess_ms = median(f.excess);
        const std::string line = s.speed > 0 ? std::to_string(s.speed) : "unpaced";
        std::printf("| %s | %s | %zu / %zu | %zu | %.3f | %.3f | %.3f | %.1f | %.1f | %.3f | %.1f "
                    "|\n",
                    s.command.c_str(), line.c_str(), last.to_adapter, last.from_adapter,
                    last.exchanges, median(f.wall), median(f.bound), median(f.ratio), excess_ms,
                    1000 * excess_ms / static_cast<double>(last.exchanges), median(f.cpu),
                    median(f.share));
        std::fflush(stdout);
        std::array<char, 256> row{};
        std::snprintf(row.data(), row.size(),
                      "| %s | %s | %.1f | %zu | %.0f | %.0f | %.1f | %.1f | %.1f |\n",
                      s.command.c_str(), line.c_str(), excess_ms, last.turnaround_us.size(),
                      percentile(f.turnaround_us, 0.5), percentile(f.turnaround_us, 0.9),
                      median(f.turnaround), median(f.emulator), median(f.start_exit));
        split_table += row.data();
        std::snprintf(row.data(), row.size(), "%s%s %s %016llx", fingerprints.empty() ? "" : ", ",
                      s.command.c_str(), line.c_str(),
                      static_cast<unsigned long long>(last.line_fingerprint));
        fingerprints += row.data();
    }
    std::printf("\nBytes on the line (FNV-1a of the last run's transcript, both directions in "
                "order): %s\n",
                fingerprints.c_str());
    std::printf("\nWhere the time beyond the bound goes (medians over the runs; turnaround "
                "percentiles over every reply of every run):\n\n"
                "| command | line | wall - bound ms | replies | program turnaround median us | "
                "p90 us | sum of turnarounds ms | emulator beyond the wire ms | start and exit "
                "ms |\n|---|---|---|---|---|---|---|---|---|\n%s",
                split_table.c_str());
    std::printf("\nRig round trip (emulator and pseudo-terminal, one status exchange beyond its "
                "wire time, median of %d x 1000): 115200: %.1f us, 230400: %.1f us, unpaced: "
                "%.1f us\n",
                runs, rig_us.at(115200), rig_us.at(230400), rig_us.at(0));

    if (strace && have_strace()) {
        std::printf("\nSystem calls per block (strace -f -c, one run each at 115200, %zu "
                    "blocks; whole run divided by the blocks):\n\n",
                    BLOCKS);
        std::printf(
            "| command | write | read | ppoll | other | total |\n|---|---|---|---|---|---|\n");
        for (const std::string command : {"write", "read"}) {
            auto calls = count_syscalls(setup, {command, 115200});
            long total = 0;
            for (const auto& [name, n] : calls) {
                total += n;
            }
            const long other = total - calls["write"] - calls["read"] - calls["ppoll"];
            const auto per = [](long n) { return static_cast<double>(n) / BLOCKS; };
            std::printf("| %s | %.2f | %.2f | %.2f | %.2f | %.2f |\n", command.c_str(),
                        per(calls["write"]), per(calls["read"]), per(calls["ppoll"]), per(other),
                        per(total));
        }
    } else if (strace) {
        std::printf("\n(strace not available: no system call counts)\n");
    }
}

} // namespace bench
