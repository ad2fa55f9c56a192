// SPDX-License-Identifier: MIT
#include "time_split.h"

#include <algorithm>

namespace bench {

double ms_between(steady::time_point from, steady::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

namespace {

/// Splits the wall time of a run into the program's turnarounds (from the last byte of a
/// reply written by the emulator to the first byte of the next request read by it), the
/// emulator's time beyond the wire (from a request's first byte read to its reply's last
/// byte written, less the wire time of the bytes between), and the time before the first
/// byte (less the mandated drain) and after the last.
void split_wall(const std::vector<sim::transcript_entry>& log, double byte_ms,
                const child_result& child, run_figures& f) {
    if (log.empty()) {
        return;
    }
    f.start_exit_ms = ms_between(child.started, log.front().when) - DRAIN_S * 1000 +
                      ms_between(log.back().when, child.ended);
    // The transcript alternates requests (bytes in, commands without a reply included)
    // and replies (bytes out).
    const std::size_t n = log.size();
    std::size_t i = 0;
    while (i < n) {
        const std::size_t request_first = i;
        while (i < n && log[i].dir == sim::direction::to_adapter) {
            ++i;
        }
        f.round_trips += i < n ? 1 : 0;
        while (i < n && log[i].dir == sim::direction::from_adapter) {
            ++i;
        }
        const double wire = static_cast<double>(i - request_first) * byte_ms;
        f.emulator_ms += ms_between(log[request_first].when, log[i - 1].when) - wire;
        if (i < n) {
            const double gap = ms_between(log[i - 1].when, log[i].when);
            if (gap >= QUIET_GAP_S * 1000) {
                f.quiet_s += gap / 1000;
            } else {
                f.turnaround_us.push_back(gap * 1000);
                f.turnaround_ms += gap;
            }
        }
    }
}

} // namespace

run_figures figures_of(const std::vector<sim::transcript_entry>& log, std::size_t replies,
                       double busy_s, const scenario& s, const child_result& child) {
    run_figures f;
    f.line_fingerprint = 14695981039346656037ULL;
    for (const auto& e : log) {
        for (const unsigned value :
             {e.dir == sim::direction::to_adapter ? 0U : 1U, static_cast<unsigned>(e.byte)}) {
            f.line_fingerprint = (f.line_fingerprint ^ value) * 1099511628211ULL;
        }
        (e.dir == sim::direction::to_adapter ? f.to_adapter : f.from_adapter) += 1;
        if (e.dir == sim::direction::to_adapter && e.byte >= 0x01 && e.byte <= 0x7F) {
            ++f.exchanges;
        }
    }
    f.replies = replies;
    f.wall_s = child.wall_s;
    f.cpu_s = child.cpu_s;
    split_wall(log, s.speed > 0 ? 10.0 * 1000 / static_cast<double>(s.speed) : 0, child, f);
    f.wire_s =
        s.speed > 0 ? static_cast<double>(f.to_adapter + f.from_adapter) * 10.0 / s.speed : 0;
    // The adapter's turnarounds and its busy time fall between a request's first byte and its
    // reply's last: out of the emulator's part, into the bound, as do the quiet waits.
    f.busy_s = busy_s;
    const double adapter_s = std::max(
        static_cast<double>(f.round_trips) * static_cast<double>(s.latency_us) / 1e6, busy_s);
    f.emulator_ms -= adapter_s * 1000;
    f.bound_s = f.wire_s + DRAIN_S + f.quiet_s + adapter_s;
    return f;
}

} // namespace bench
