// SPDX-License-Identifier: MIT
// Every single fault on the line, at every exchange of a run, on a line that hands replies
// over whole and on one that hands them over byte by byte: a run may end in success only with
// the right result. The faults: a reply missing, late, cut short or changed, a flash byte
// changed in a fetched block, a stray byte before or after a reply, stale bytes before the
// run, the line hung up after any command; and every byte the program sends flipped in bit 0
// or bit 6, dropped, or taken twice on its way to the adapter. Adapters that leave out the
// answer to block read, always or on two block reads of three, get the reply faults too.
#include "adapter_commands.h"
#include "support/emulated_line.h"
#include "support/hex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
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
/// Faulted runs of one sweep at a time: they mostly wait for replies that do not come.
constexpr unsigned RUNS_AT_ONCE = 4;

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
    std::vector<trial> named{}; // faults that together once slipped through, by name
};

bool chip_equals(const sim::emulator& emu, const flash_array& expected) {
    const flash_array flash = emu.flash();
    return std::equal(flash.begin(), flash.begin() + RANGE_END, expected.begin());
}

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
        seen->sent = line.emu.received().size();
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

/// A fault on the nth byte the program sends (from 1).
fault on_request(fault_kind kind, std::size_t nth, uint8_t mask = 0) {
    fault f{kind};
    f.after_bytes = nth;
    if (kind == fault_kind::request_flip) {
        f.bytes = {mask};
    }
    return f;
}

/// Every byte of a clean run's requests flipped in bit 0 or bit 6, dropped, or taken twice.
std::vector<trial> request_trials(std::size_t sent) {
    std::vector<trial> trials;
    for (std::size_t nth = 1; nth <= sent; ++nth) {
        const std::string at = " request byte " + std::to_string(nth);
        trials.push_back(
            {"bit 0 flipped in" + at, {on_request(fault_kind::request_flip, nth, 0x01)}});
        trials.push_back(
            {"bit 6 flipped in" + at, {on_request(fault_kind::request_flip, nth, 0x40)}});
        trials.push_back({"dropped" + at, {on_request(fault_kind::request_drop, nth)}});
        trials.push_back({"twice" + at, {on_request(fault_kind::request_twice, nth)}});
    }
    return trials;
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
        if (e.command == sim::ADP_BLOCK_FETCH && e.reply.size() > 2) {
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

/// How the adapter answers block read: always, never, or on every third one.
enum class block_read_answer { always, never, every_third };

struct sweep_case {
    const scenario* s;
    bool byte_by_byte;
    block_read_answer answer = block_read_answer::always;
    bool requests = true; // also every fault on the bytes the program sends
    int part = 0;         // the trials of this part: every parts-th from the part-th
    int parts = 1;
};

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

void PrintTo(const sweep_case& c, std::ostream* os) {
    *os << c.s->name << (c.byte_by_byte ? ", byte by byte, " : ", whole replies, ")
        << adapter_name(c.answer) << ", part " << c.part + 1 << " of " << c.parts;
}

/// Runs every trial, RUNS_AT_ONCE at a time; returns how many still succeeded.
int run_all(const scenario& s, const sim::config& cfg, const std::vector<trial>& trials) {
    std::atomic<std::size_t> next{0};
    std::atomic<int> successes{0};
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < RUNS_AT_ONCE; ++w) {
        workers.emplace_back([&] {
            for (std::size_t i = next++; i < trials.size(); i = next++) {
                successes += run_once(s, cfg, trials[i]).exit_status == 0 ? 1 : 0;
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    return successes;
}

class Sweep : public ::testing::TestWithParam<sweep_case> {};

TEST_P(Sweep, NoSingleLineFaultEndsInAFalseSuccess) {
    const sweep_case& c = GetParam();
    const scenario& s = *c.s;
    sim::config cfg;
    cfg.byte_gap_us = c.byte_by_byte ? UART_GAP_US : 0;
    // An adapter that says an erase is done whatever the erase did: only the chip can tell.
    cfg.query_says_done = true;
    cfg.block_read_ack = c.answer != block_read_answer::never;
    cfg.block_read_ack_every = c.answer == block_read_answer::every_third ? 3 : 1;

    // The clean run: it succeeds, and its exchanges are the places to put a fault.
    places clean;
    const line_run r = run_once(s, cfg, {"no fault", {}}, &clean);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::vector<trial> trials = trials_for(clean.exchanges);
    place_hang_ups(trials, clean.command_ends);
    std::size_t request_count = 0;
    if (c.requests) {
        std::vector<trial> requests = request_trials(clean.sent);
        request_count = requests.size();
        trials.insert(trials.end(), requests.begin(), requests.end());
        trials.insert(trials.end(), s.named.begin(), s.named.end());
    }
    const std::size_t all_trials = trials.size();
    // A sweep too long for one test's time is cut into parts that run side by side.
    std::vector<trial> part;
    for (std::size_t i = static_cast<std::size_t>(c.part); i < trials.size();
         i += static_cast<std::size_t>(c.parts)) {
        part.push_back(trials[i]);
    }
    trials = std::move(part);

    const int successes = run_all(s, cfg, trials);
    std::printf("%s, %s, %s, part %d of %d: %zu exchanges, %zu faulted runs of %zu (%zu on "
                "requests), %d still succeeded\n",
                s.name, c.byte_by_byte ? "byte by byte" : "whole replies",
                adapter_name(c.answer).c_str(), c.part + 1, c.parts, clean.exchanges.size(),
                trials.size(), all_trials, request_count, successes);
}

// --- the scenarios ---

const flash_array READ_CHIP = blocks_at({{0x0000,
                                          {0x02, 0x00, 0x80, 0xFF, 0x75, 0x00, 0x00, 0x00, 0x10,
                                           0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80}},
                                         {0x0020, bytes(16, 0x00)}});
constexpr int READ_BYTES = 48; // three blocks: data, erased, data

/// The flash a write covers: enough that a block written to an address with one bit changed
/// still lands inside it, where the check of the whole chip looks. A write that no request
/// fault can send elsewhere covers less, since every run with an adapter that answers only
/// sometimes reads its whole range back.
constexpr int WRITE_BYTES = 0x200;
constexpr int WRITE_BYTES_SHORT = 0x80;

/// A block whose bytes sum like erased flash, so that its sum cannot tell it from a block
/// that was never written.
bytes erased_sum_block() {
    bytes block(16, 0xFF);
    block[0] = 0xFE;
    block[1] = 0x00;
    return block;
}

/// Blocks that sum to 0x00 make a stray 00 look like a matching sum: the hardest case. A blank
/// block lies between them. The last block stays one block away from the end of the range, so
/// that one written a byte off still lands where the check of the range looks, as on the whole
/// chip, whose end the adapter refuses to pass.
flash_array write_image(int range) {
    return blocks_at({{0x0000, bytes(16, 0x11)},
                      {0x0010, bytes(16, 0x10)},
                      {0x0030, erased_sum_block()},
                      {range - 32, bytes(16, 0x10)}});
}

const temp_dir& files() {
    static const temp_dir dir;
    return dir;
}

/// A write of write_image(range) over a chip of zero bytes.
scenario write_scenario(const char* name, int range) {
    const std::string path = files().file("image" + std::to_string(range) + ".hex");
    const flash_array image = write_image(range);
    test_support::write_file(path, sim::hex_text(image, 0, static_cast<uint32_t>(range)));
    return {name,
            {test_support::short_range_binary(), std::to_string(range)},
            {"-w", "-f", path},
            blocks_at({{0, bytes(RANGE_END, 0)}}),
            [image](const line_run&, const sim::emulator& emu) { return chip_equals(emu, image); }};
}

const scenario READ{
    "read",
    {test_support::short_range_binary(), std::to_string(READ_BYTES)},
    {"-r"},
    READ_CHIP,
    [](const line_run& r, const sim::emulator&) {
        return r.out == sim::hex_text(READ_CHIP, 0, READ_BYTES);
    },
    // A stray byte after the first block's sum shifts the second block's fetch reply by one,
    // and a missing answer to the block read before its sum puts the replies back in step:
    // only the adapter's sum shows that the block's bytes were shifted.
    {{"stray 00 after the first sum, then the second sum's block read unanswered",
      {command_fault(fault_kind::surplus_reply, sim::ADP_BLOCK_SUM, 1, {0x00}),
       command_fault(fault_kind::no_reply, sim::ADP_BLOCK_READ, 4)}}}};

const scenario WRITE = write_scenario("write", WRITE_BYTES);
const scenario WRITE_SHORT = write_scenario("short write", WRITE_BYTES_SHORT);

const scenario ERASE{
    "device erase",
    {},
    {"--device-erase"},
    write_image(WRITE_BYTES),
    [](const line_run&, const sim::emulator& emu) { return chip_equals(emu, erased_flash()); }};

constexpr auto ALWAYS = block_read_answer::always;
constexpr auto NEVER = block_read_answer::never;
constexpr auto EVERY_THIRD = block_read_answer::every_third;

INSTANTIATE_TEST_SUITE_P(Runs, Sweep,
                         ::testing::Values(sweep_case{&READ, false}, sweep_case{&READ, true},
                                           sweep_case{&WRITE, false, ALWAYS, true, 0, 2},
                                           sweep_case{&WRITE, false, ALWAYS, true, 1, 2},
                                           sweep_case{&WRITE, true, ALWAYS, true, 0, 2},
                                           sweep_case{&WRITE, true, ALWAYS, true, 1, 2},
                                           sweep_case{&ERASE, false}, sweep_case{&ERASE, true},
                                           sweep_case{&READ, false, NEVER, false},
                                           sweep_case{&READ, true, NEVER, false},
                                           sweep_case{&READ, false, EVERY_THIRD, false},
                                           sweep_case{&READ, true, EVERY_THIRD, false},
                                           sweep_case{&WRITE_SHORT, false, NEVER, false},
                                           sweep_case{&WRITE_SHORT, true, NEVER, false},
                                           sweep_case{&WRITE_SHORT, false, EVERY_THIRD, false},
                                           sweep_case{&WRITE_SHORT, true, EVERY_THIRD, false}),
                         [](const auto& info) {
                             std::string name = info.param.s->name;
                             for (char& c : name) {
                                 c = c == ' ' ? '_' : c;
                             }
                             name += info.param.byte_by_byte ? "_ByteByByte" : "_WholeReplies";
                             if (info.param.answer == NEVER) {
                                 name += "_SilentBlockRead";
                             } else if (info.param.answer == EVERY_THIRD) {
                                 name += "_BlockReadEveryThird";
                             }
                             if (info.param.parts > 1) {
                                 name += "_Part" + std::to_string(info.param.part + 1);
                             }
                             return name;
                         });

} // namespace
