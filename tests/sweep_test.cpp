// SPDX-License-Identifier: MIT
// Every single fault on the line, at every exchange of a run, on a line that hands replies
// over whole and on one that hands them over byte by byte: a run may end in success only with
// the right result. The faults: a reply missing, late, cut short or changed, a stray byte
// before or after it, stale bytes before the run, and the line hung up after any command.
#include "support/emulated_line.h"
#include "support/hex.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using sim::fault;
using sim::fault_kind;
using test_support::command_fault;
using test_support::emulated_line;
using test_support::erased_flash;
using test_support::flash_array;
using test_support::line_run;
using test_support::temp_dir;

constexpr uint32_t RANGE_END = sim::USABLE_FLASH_END;
/// Beyond the longest reply wait: a reply this late is taken for the next one's.
constexpr int LATE_MS = 150;
/// A byte every 520 us, as at 19200 bit/s.
constexpr int UART_GAP_US = 520;

/// One exchange of a clean run: its command, which occurrence of it, and its reply.
struct exchange_seen {
    uint8_t command;
    int nth;
    bytes reply;
};

/// One fault to try, and how to show it in a failure.
struct trial {
    std::string name;
    std::vector<fault> faults;
    bytes stale{};
    bool hangs_up = false; // the line is gone afterwards: its settings cannot be read back
};

flash_array blocks_at(const std::map<unsigned, bytes>& blocks) {
    flash_array flash = erased_flash();
    for (const auto& [address, data] : blocks) {
        std::copy(data.begin(), data.end(), flash.begin() + address);
    }
    return flash;
}

/// A command of the program against the emulated chip, and what its success must mean.
struct scenario {
    const char* name;
    std::vector<std::string> program; // empty: vantrel itself
    std::vector<std::string> args;
    flash_array chip_before;
    /// True when a run that exited 0 left the truth: the right dump or the right chip.
    std::function<bool(const line_run&, const sim::emulator&)> truthful;
};

bool chip_equals(const sim::emulator& emu, const flash_array& expected) {
    const flash_array flash = emu.flash();
    return std::equal(flash.begin(), flash.begin() + RANGE_END, expected.begin());
}

/// What a clean run shows of the places to put a fault: its exchanges, and the received-byte
/// count at which each command byte arrived.
struct places {
    std::vector<exchange_seen> exchanges;
    std::vector<std::size_t> command_ends;
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
line_run run_once(const scenario& s, const sim::config& cfg, const trial& t,
                  places* seen = nullptr) {
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
    }
    EXPECT_FALSE(r.timed_out) << t.name;
    EXPECT_TRUE(r.settings_restored || t.hangs_up) << t.name;
    if (r.exit_status == 0) {
        EXPECT_TRUE(s.truthful(r, line.emu)) << "false success with " << t.name << "\n" << r.err;
    } else {
        EXPECT_EQ(r.exit_status, 1) << t.name;
        EXPECT_NE(r.err, "") << "a failure without a word, with " << t.name;
    }
    return r;
}

std::string describe(const exchange_seen& e) {
    std::ostringstream text;
    text << "command 0x" << std::hex << int{e.command} << std::dec << " #" << e.nth;
    return text.str();
}

/// Every single fault on the exchanges of a clean run.
std::vector<trial> trials_for(const std::vector<exchange_seen>& exchanges) {
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

struct sweep_case {
    const scenario* s;
    bool byte_by_byte;
};

void PrintTo(const sweep_case& c, std::ostream* os) {
    *os << c.s->name << (c.byte_by_byte ? ", byte by byte" : ", whole replies");
}

class Sweep : public ::testing::TestWithParam<sweep_case> {};

TEST_P(Sweep, NoSingleLineFaultEndsInAFalseSuccess) {
    const scenario& s = *GetParam().s;
    sim::config cfg;
    cfg.byte_gap_us = GetParam().byte_by_byte ? UART_GAP_US : 0;

    // The clean run: it succeeds, and its exchanges are the places to put a fault.
    places clean;
    const line_run r = run_once(s, cfg, {"no fault", {}}, &clean);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::vector<trial> trials = trials_for(clean.exchanges);
    place_hang_ups(trials, clean.command_ends);

    int successes = 0;
    for (const trial& t : trials) {
        successes += run_once(s, cfg, t).exit_status == 0 ? 1 : 0;
    }
    std::printf("%s, %s: %zu exchanges, %zu single faults, %d runs still succeeded\n", s.name,
                GetParam().byte_by_byte ? "byte by byte" : "whole replies", clean.exchanges.size(),
                trials.size(), successes);
}

// --- the scenarios ---

const flash_array READ_CHIP = blocks_at({{0x0000,
                                          {0x02, 0x00, 0x80, 0xFF, 0x75, 0x00, 0x00, 0x00, 0x10,
                                           0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80}},
                                         {0x0020, bytes(16, 0x00)}});
constexpr int READ_BYTES = 48; // three blocks: data, erased, data

/// Blocks that sum to 0x00 make a stray 00 look like a matching sum: the hardest case.
const flash_array WRITE_IMAGE =
    blocks_at({{0x0000, bytes(16, 0x11)}, {0x0010, bytes(16, 0x10)}, {0x1DF0, bytes(16, 0x10)}});

const temp_dir& files() {
    static const temp_dir dir;
    return dir;
}

std::string image_path() {
    const std::string path = files().file("image.hex");
    test_support::write_file(path, sim::hex_text(WRITE_IMAGE, 0, RANGE_END));
    return path;
}

const scenario READ{"read",
                    {test_support::short_range_binary(), std::to_string(READ_BYTES)},
                    {"-r"},
                    READ_CHIP,
                    [](const line_run& r, const sim::emulator&) {
                        return r.out == sim::hex_text(READ_CHIP, 0, READ_BYTES);
                    }};

const scenario WRITE{
    "write",
    {},
    {"-w", "-f", image_path()},
    blocks_at({{0, bytes(RANGE_END, 0)}}),
    [](const line_run&, const sim::emulator& emu) { return chip_equals(emu, WRITE_IMAGE); }};

const scenario ERASE{
    "device erase",
    {},
    {"--device-erase"},
    WRITE_IMAGE,
    [](const line_run&, const sim::emulator& emu) { return chip_equals(emu, erased_flash()); }};

INSTANTIATE_TEST_SUITE_P(Runs, Sweep,
                         ::testing::Values(sweep_case{&READ, false}, sweep_case{&READ, true},
                                           sweep_case{&WRITE, false}, sweep_case{&WRITE, true},
                                           sweep_case{&ERASE, false}, sweep_case{&ERASE, true}),
                         [](const auto& info) {
                             std::string name = info.param.s->name;
                             for (char& c : name) {
                                 c = c == ' ' ? '_' : c;
                             }
                             return name +
                                    (info.param.byte_by_byte ? "_ByteByByte" : "_WholeReplies");
                         });

} // namespace
