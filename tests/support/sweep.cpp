// SPDX-License-Identifier: MIT
#include "support/sweep.h"

#include "protocol/adapter_protocol.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <sstream>

namespace test_support {
namespace {

using bytes = std::vector<uint8_t>;
using sim::fault;
using sim::fault_kind;

/// Beyond the longest reply wait: a reply this late is taken for the next one's.
constexpr int LATE_MS = 150;
/// A byte every 520 us, as at 19200 bit/s.
constexpr int UART_GAP_US = 520;
/// Faulted runs of one sweep at a time: they mostly wait for replies that do not come, on the
/// clock rather than the CPU.
constexpr unsigned RUNS_AT_ONCE = 32;

/// One exchange of a clean run: its command, which occurrence of it, and its reply.
struct exchange_seen {
    uint8_t command;
    int nth;
    bytes reply;
};

/// What a sweep found wrong: runs that ended in a false success, failed erases that left the
/// chip neither as it was nor erased.
struct findings {
    std::atomic<int> successes{0};
    std::atomic<int> false_successes{0};
    std::atomic<int> damaging_erases{0};
};

/// What a clean run shows of the places to put a fault: its exchanges, the received-byte
/// count at which each command byte arrived, and the number of bytes the program sent.
struct places {
    std::vector<exchange_seen> exchanges;
    std::vector<std::size_t> command_ends;
    std::size_t sent = 0;
};

/// Received-byte counts at which each command byte of a transcript arrived.
std::vector<std::size_t> command_positions(const sim::emulator& emu) {
    std::vector<std::size_t> ends;
    std::size_t count = 0;
    for (const auto& entry : emu.transcript()) {
        if (entry.dir != sim::direction::to_adapter) {
            continue;
        }
        ++count;
        if (entry.byte >= 0x01 && entry.byte <= 0x7F) {
            ends.push_back(count);
        }
    }
    return ends;
}

/// Runs the scenario once on a fresh line with the given delivery and trial, judging the
/// outcome; records the places of the run when asked.
line_run run_once(const scenario& s, const sim::config& cfg, const trial& t, places* seen = nullptr,
                  findings* found = nullptr) {
    emulated_line line(cfg);
    if (!s.program.empty()) {
        line.program = s.program;
    }
    line.emu.set_flash(0, bytes(s.chip_before.begin(), s.chip_before.end()));
    for (const fault& f : t.faults) {
        line.emu.add_fault(f);
    }
    if (!t.stale.empty()) {
        line.emu.inject(t.stale);
    }
    std::mutex mutex;
    std::map<uint8_t, int> counts;
    if (seen != nullptr) {
        line.emu.set_trace([&](const sim::exchange& e) {
            std::lock_guard<std::mutex> lock(mutex);
            seen->exchanges.push_back({e.command, ++counts[e.command], e.reply});
        });
    }
    line_run r = line.attempt(s.args);
    line.emu.set_trace({});
    if (seen != nullptr) {
        seen->command_ends = command_positions(line.emu);
        seen->sent = line.emu.received().size();
    }
    EXPECT_FALSE(r.timed_out) << t.name;
    EXPECT_TRUE(r.settings_restored || t.hangs_up) << t.name;
    findings unused;
    findings& f = found != nullptr ? *found : unused;
    if (r.exit_status == 0) {
        ++f.successes;
        const bool truthful = s.truthful(r, line.emu);
        f.false_successes += truthful ? 0 : 1;
        EXPECT_TRUE(truthful) << "false success with " << t.name << "\n" << r.err;
    } else {
        EXPECT_EQ(r.exit_status, 1) << t.name;
        EXPECT_NE(r.err, "") << "a failure without a word, with " << t.name;
    }
    // An erase that failed must not have damaged a chip that held a program: it is as it was,
    // or erased whole.
    const bool programmed = !std::all_of(s.chip_before.begin(), s.chip_before.begin() + 16,
                                         [](uint8_t b) { return b == 0xFF; });
    if (programmed && r.err.find("Device erase failed.") != std::string::npos) {
        const bool intact =
            chip_holds(line.emu, s.chip_before) || chip_holds(line.emu, erased_flash());
        f.damaging_erases += intact ? 0 : 1;
        EXPECT_TRUE(intact) << "a failed erase changed the chip, with " << t.name;
    }
    return r;
}

std::string describe(const exchange_seen& e) {
    std::ostringstream text;
    text << "command 0x" << std::hex << int{e.command} << std::dec << " #" << e.nth;
    return text.str();
}

/// A fault on the nth byte the program sends (from 1).
fault on_request(fault_kind kind, std::size_t nth, uint8_t mask = 0) {
    fault f{kind};
    f.after_bytes = nth;
    if (kind == fault_kind::request_flip) {
        f.bytes = {mask};
    }
    return f;
}

/// Every byte of a clean run's requests flipped in each of its bits, dropped, or taken twice.
std::vector<trial> request_trials(std::size_t sent) {
    std::vector<trial> trials;
    for (std::size_t nth = 1; nth <= sent; ++nth) {
        const std::string at = " request byte " + std::to_string(nth);
        for (int bit = 0; bit < 8; ++bit) {
            trials.push_back(
                {"bit " + std::to_string(bit) + " flipped in" + at,
                 {on_request(fault_kind::request_flip, nth, static_cast<uint8_t>(1U << bit))}});
        }
        trials.push_back({"dropped" + at, {on_request(fault_kind::request_drop, nth)}});
        trials.push_back({"twice" + at, {on_request(fault_kind::request_twice, nth)}});
    }
    return trials;
}

/// Every single fault on the exchanges of a clean run; with reply_bits, also each bit of each
/// reply byte flipped.
std::vector<trial> trials_for(const std::vector<exchange_seen>& exchanges, bool reply_bits) {
    std::vector<trial> trials{{"stale 00 before the run", {}, {0x00}}};
    for (const exchange_seen& e : exchanges) {
        const std::string at = describe(e);
        const auto on = [&](fault_kind kind, bytes with = {}, int delay_ms = 0) {
            return std::vector<fault>{
                command_fault(kind, e.command, e.nth, std::move(with), delay_ms)};
        };
        trials.push_back({"stray 00 after " + at, on(fault_kind::surplus_reply, {0x00})});
        trials.push_back({"hang-up after " + at, {}, {}, true}); // placed by place_hang_ups
        if (e.reply.empty()) {
            continue;
        }
        bytes prefixed{0x00};
        prefixed.insert(prefixed.end(), e.reply.begin(), e.reply.end());
        bytes changed = e.reply;
        if (changed.size() == 1) {
            changed[0] ^= 0x01;
        } else {
            changed.pop_back(); // a multi-byte reply cut short
        }
        trials.push_back({"no reply to " + at, on(fault_kind::no_reply)});
        trials.push_back({"late reply to " + at, on(fault_kind::delay_reply, {}, LATE_MS)});
        trials.push_back({"stray 00 before " + at, on(fault_kind::wrong_reply, prefixed)});
        trials.push_back({"changed reply to " + at, on(fault_kind::wrong_reply, changed)});
        trials.push_back({"reply twice to " + at, on(fault_kind::surplus_reply, e.reply)});
        for (std::size_t i = 0; reply_bits && i < e.reply.size(); ++i) {
            for (int bit = 0; bit < 8; ++bit) {
                bytes flipped = e.reply;
                flipped[i] ^= static_cast<uint8_t>(1U << bit);
                trials.push_back({"bit " + std::to_string(bit) + " of reply byte " +
                                      std::to_string(i + 1) + " flipped, " + at,
                                  on(fault_kind::wrong_reply, flipped)});
            }
        }
        if (e.command == ADP_BLOCK_FETCH && e.reply.size() > 2) {
            bytes data_changed = e.reply;
            data_changed[e.reply.size() / 2] ^= 0x01;
            trials.push_back(
                {"flash byte changed in " + at, on(fault_kind::wrong_reply, data_changed)});
        }
    }
    return trials;
}

/// The hang-up trials need the byte count at which each exchange ends; they are filled in
/// from the clean run's transcript.
void place_hang_ups(std::vector<trial>& trials, const std::vector<std::size_t>& command_ends) {
    std::size_t next = 0;
    for (trial& t : trials) {
        if (!t.hangs_up || next >= command_ends.size()) {
            continue;
        }
        fault f{fault_kind::hang_up_after};
        f.after_bytes = command_ends[next++] + 1;
        t.faults = {f};
    }
}

std::string adapter_name(block_read_answer answer) {
    switch (answer) {
    case block_read_answer::never:
        return "silent block read";
    case block_read_answer::every_third:
        return "block read answered every third time";
    default:
        return "answering";
    }
}

} // namespace

void PrintTo(const sweep_case& c, std::ostream* os) {
    *os << c.s->name << (c.byte_by_byte ? ", byte by byte, " : ", whole replies, ")
        << adapter_name(c.answer) << ", holding " << c.rx_hold << ", part " << c.part + 1 << " of "
        << c.parts;
}

void run_sweep(const sweep_case& c) {
    const scenario& s = *c.s;
    sim::config cfg;
    cfg.byte_gap_us = c.byte_by_byte ? UART_GAP_US : 0;
    // An adapter that says an erase is done whatever the erase did: only the chip can tell.
    cfg.query_says_done = true;
    cfg.block_read_ack = c.answer != block_read_answer::never;
    cfg.block_read_ack_every = c.answer == block_read_answer::every_third ? 3 : 1;
    cfg.flash_end = s.flash_end;
    cfg.rx_hold = c.rx_hold;

    // The clean run: it succeeds, and its exchanges are the places to put a fault.
    places clean;
    const line_run r = run_once(s, cfg, {"no fault", {}}, &clean);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::vector<trial> trials = trials_for(clean.exchanges, s.reply_bits);
    place_hang_ups(trials, clean.command_ends);
    std::size_t request_count = 0;
    if (c.requests) {
        std::vector<trial> requests = request_trials(clean.sent);
        request_count = requests.size();
        trials.insert(trials.end(), requests.begin(), requests.end());
    }
    const std::size_t all_trials = trials.size();
    // A sweep too long for one test's time is cut into parts that run one after another; the
    // sample takes every sweep_stride-th trial of its part. The named faults run in every first
    // part.
    std::vector<trial> part;
    const auto parts = static_cast<std::size_t>(c.parts);
    for (std::size_t i = static_cast<std::size_t>(c.part) * sweep_stride; i < trials.size();
         i += parts * sweep_stride) {
        part.push_back(trials[i]);
    }
    if (c.requests && c.part == 0) {
        part.insert(part.end(), s.named.begin(), s.named.end());
    }
    trials = std::move(part);

    findings found;
    test_support::side_by_side(
        trials, [&](const trial& t) { run_once(s, cfg, t, nullptr, &found); }, RUNS_AT_ONCE);
    std::printf("%s, %s, %s, holding %d, part %d of %d: %zu exchanges, %zu faulted runs of %zu "
                "(%zu on requests), %d still succeeded, %d false successes, %d failed erases "
                "that changed the chip\n",
                s.name, c.byte_by_byte ? "byte by byte" : "whole replies",
                adapter_name(c.answer).c_str(), c.rx_hold, c.part + 1, c.parts,
                clean.exchanges.size(), trials.size(), all_trials, request_count,
                found.successes.load(), found.false_successes.load(), found.damaging_erases.load());
}

} // namespace test_support
