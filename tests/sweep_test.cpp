// SPDX-License-Identifier: MIT
// Every single fault on the line, at every exchange of a run, on a line that hands replies
// over whole and on one that hands them over byte by byte: a run may end in success only with
// the right result (an inquiry prints an identifier right or as FAILED, never wrong), and a
// failed erase leaves a programmed chip as it was or erased. The faults: a reply missing, late,
// cut short or changed, a flash byte changed in a fetched block, a stray byte before or after a
// reply, stale bytes before the run, the line hung up after any command; and every byte the
// program sends flipped in each of its eight bits, dropped, or taken twice on its way to the
// adapter (for the inquiry, every bit of every reply byte too). Adapters that leave out the
// answer to block read, always or on two block reads of three, get the reply faults too. The
// images are made to defeat an 8-bit sum: blocks whose first bytes repeat 16 on, data with a
// period of 8, a block that sums like erased flash beside a blank one, blank bytes at a block's
// end, and a partial last block.
//
// Linked twice: sweep_test runs a fixed sample of each sweep (every 23rd trial), and
// sweep_exhaustive_test, labelled "exhaustive", runs every trial.
#include "protocol/adapter_protocol.h"
#include "support/emulated_line.h"
#include "support/hex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
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
/// Faulted runs of one sweep at a time: they mostly wait for replies that do not come, on the
/// clock rather than the CPU.
constexpr unsigned RUNS_AT_ONCE = 32;

} // namespace

/// Every sweep_stride-th trial of a sweep runs; 1 runs them all. A stride prime to the ten
/// request faults of one byte samples each kind of fault. Each program that links the sweeps
/// sets it (support/sweep_stride.cpp).
extern const std::size_t sweep_stride;

namespace {

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
    uint16_t flash_end = sim::USABLE_FLASH_END; // the chip's end: a smaller chip for a write
    bool reply_bits = false;                    // also every bit of every reply byte flipped
};

/// What a sweep found wrong: runs that ended in a false success, failed erases that left the
/// chip neither as it was nor erased.
struct findings {
    std::atomic<int> successes{0};
    std::atomic<int> false_successes{0};
    std::atomic<int> damaging_erases{0};
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
            chip_equals(line.emu, s.chip_before) || chip_equals(line.emu, erased_flash());
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

/// How the adapter answers block read: always, never, or on every third one.
enum class block_read_answer { always, never, every_third };

struct sweep_case {
    const scenario* s;
    bool byte_by_byte;
    block_read_answer answer = block_read_answer::always;
    bool requests = true; // also every fault on the bytes the program sends
    int part = 0;         // the trials of this part: every parts-th from the part-th
    int parts = 1;
    int rx_hold = 1; // bytes the adapter holds while busy: 0 loses a fetch queued behind a read
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
        << adapter_name(c.answer) << ", holding " << c.rx_hold << ", part " << c.part + 1 << " of "
        << c.parts;
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

// --- the scenarios ---

/// A program's first two blocks: the second begins with the first's first byte, so a block read
/// one byte up sums like the block itself.
const bytes PROGRAM_START{0x02, 0x00, 0x06, 0x02, 0x00, 0x80, 0x75, 0x81,
                          0x07, 0x12, 0x00, 0x10, 0x80, 0xFE, 0x75, 0x00};
const bytes PROGRAM_NEXT{0x02, 0x00, 0x80, 0xFF, 0x75, 0x00, 0x00, 0x00,
                         0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};

/// A block whose bytes sum like erased flash (0xF0), so that its sum cannot tell it from a
/// block that was never written or one read from a blank block.
bytes erased_sum_block() {
    bytes block(16, 0xFF);
    block[0] = 0xFE;
    block[1] = 0x00;
    return block;
}

/// Eight bytes twice: a block read eight bytes off finds the same bytes again.
bytes period_eight_block() {
    const bytes eight{0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38};
    bytes block = eight;
    block.insert(block.end(), eight.begin(), eight.end());
    return block;
}

/// Blank bytes at one end, as a block written that many bytes off keeps its sum; a block
/// ending 7F 7F keeps it written two bytes up.
bytes blank_at_end() {
    bytes block(16, 0x00);
    std::fill(block.begin() + 10, block.end(), 0xFF);
    return block;
}
bytes blank_at_start() {
    bytes block(16, 0x5A);
    std::fill(block.begin(), block.begin() + 6, 0xFF);
    return block;
}
bytes ends_7f_7f() {
    bytes block(16, 0x11);
    block[14] = 0x7F;
    block[15] = 0x7F;
    return block;
}

/// The read: a program start, a block that sums like erased flash beside a blank one, data
/// with a period of 8, and a partial last block.
constexpr int READ_BYTES = 0x58;
const flash_array READ_CHIP =
    blocks_at({{0x0000, PROGRAM_START},
               {0x0010, PROGRAM_NEXT},
               {0x0020, erased_sum_block()},
               {0x0040, period_eight_block()},
               {0x0050, {0xA5, 0x5A, 0x00, 0xFF, 0x7F, 0x7F, 0x01, 0x02}}});

/// The flash a write covers, and the chip's end with it: a block sent to an address with one
/// bit changed lands inside it or is refused, as on the whole chip. The range ends in a
/// partial block. A write that no request fault can send elsewhere covers less, since every
/// run with an adapter that answers only sometimes reads its whole range back.
constexpr int WRITE_BYTES = 0x1F8;
constexpr int WRITE_BYTES_SHORT = 0xA8;

/// Every pattern above, blocks that sum to 0x00, which make a stray 00 look like a matching
/// sum, and a block of zeros, which a fetch reply read a byte early still matches.
flash_array write_image(int range) {
    return blocks_at({{0x0000, PROGRAM_START},
                      {0x0010, PROGRAM_NEXT},
                      {0x0030, erased_sum_block()},
                      {0x0050, blank_at_end()},
                      {0x0060, blank_at_start()},
                      {0x0070, period_eight_block()},
                      {0x0080, ends_7f_7f()},
                      {0x0090, bytes(16, 0x00)},
                      {static_cast<unsigned>(range - 8), bytes(8, 0x10)}});
}

/// A program already on the chip: its first block holds data, so an erase adds no mark, and a
/// mark would change its first byte.
const flash_array PROGRAMMED_CHIP =
    blocks_at({{0x0000, PROGRAM_START}, {0x0010, bytes(0x70, 0x3C)}});

const temp_dir& files() {
    static const temp_dir dir;
    return dir;
}

/// A write of write_image(range) over a chip that holds another program.
scenario write_scenario(const char* name, int range) {
    const std::string path = files().file("image" + std::to_string(range) + ".hex");
    const flash_array image = write_image(range);
    test_support::write_file(path, sim::hex_text(image, 0, static_cast<uint32_t>(range)));
    return {name,
            {test_support::short_range_binary(), std::to_string(range)},
            {"-w", "-f", path},
            PROGRAMMED_CHIP,
            [image](const line_run&, const sim::emulator& emu) { return chip_equals(emu, image); },
            {},
            static_cast<uint16_t>(range)};
}

const scenario READ{
    "read",
    {test_support::short_range_binary(), std::to_string(READ_BYTES)},
    {"-r"},
    READ_CHIP,
    [](const line_run& r, const sim::emulator&) {
        return r.out == sim::hex_text(READ_CHIP, 0, READ_BYTES);
    },
    // A stray byte after the first block's second fetch shifts the next reply by one, and a
    // missing answer to a later block read puts the replies back in step.
    {{"stray 00 after the first block's second fetch, then a block read unanswered",
      {command_fault(fault_kind::surplus_reply, ADP_BLOCK_FETCH, 2, {0x00}),
       command_fault(fault_kind::no_reply, ADP_BLOCK_READ, 4)}}}};

const scenario WRITE = write_scenario("write", WRITE_BYTES);
const scenario WRITE_SHORT = write_scenario("short write", WRITE_BYTES_SHORT);

/// An erase proves itself on the chip; it must change nothing of a programmed chip when it
/// fails, and still be proven on a chip whose first block is blank.
scenario erase_scenario(const char* name, const flash_array& chip) {
    return {name, {}, {"--device-erase"}, chip, [](const line_run&, const sim::emulator& emu) {
                return chip_equals(emu, erased_flash());
            }};
}
const scenario ERASE = erase_scenario("device erase", PROGRAMMED_CHIP);
const scenario ERASE_BLANK_FIRST =
    erase_scenario("device erase, first block blank",
                   blocks_at({{0x0040, PROGRAM_START}, {0x0050, PROGRAM_NEXT}}));

/// The inquiry: an identifier is printed right, or as FAILED, never wrong; an adapter not found
/// prints none.
bool inquiry_truthful(const line_run& r) {
    const std::string port = r.out.substr(0, r.out.find('\n') + 1);
    if (r.out == port) {
        return r.err == "C2 interface adapter not found.\n";
    }
    for (const char* device : {"0x04 (C8051F30x)", "FAILED"}) {
        for (const char* revision : {"0x02", "FAILED"}) {
            if (r.out ==
                port + "Adapter: 1.3\nDeviceID: " + device + "\nRevisionID: " + revision + "\n") {
                return true;
            }
        }
    }
    return false;
}
const scenario INQUIRE{"inquire",
                       {},
                       {"-i"},
                       erased_flash(),
                       [](const line_run& r, const sim::emulator&) { return inquiry_truthful(r); },
                       {},
                       sim::USABLE_FLASH_END,
                       true};

constexpr auto ALWAYS = block_read_answer::always;
constexpr auto NEVER = block_read_answer::never;
constexpr auto EVERY_THIRD = block_read_answer::every_third;

/// The sweeps, and how many parts each runs in when it runs whole. The adapter holds one byte
/// while busy, as a UART does, or none: then it loses the fetch sent behind a block read.
const std::vector<sweep_case> SWEEPS{
    {&INQUIRE, false, ALWAYS, true, 0, 1},
    {&INQUIRE, true, ALWAYS, true, 0, 1},
    {&READ, false, ALWAYS, true, 0, 2},
    {&READ, true, ALWAYS, true, 0, 2},
    {&WRITE, false, ALWAYS, true, 0, 6},
    {&WRITE, true, ALWAYS, true, 0, 6},
    {&ERASE, false, ALWAYS, true, 0, 2},
    {&ERASE, true, ALWAYS, true, 0, 2},
    {&ERASE_BLANK_FIRST, false, ALWAYS, true, 0, 2},
    {&ERASE_BLANK_FIRST, true, ALWAYS, true, 0, 2},
    {&READ, false, ALWAYS, true, 0, 2, 0},
    {&READ, true, ALWAYS, true, 0, 2, 0},
    {&WRITE, false, ALWAYS, true, 0, 6, 0},
    {&WRITE, true, ALWAYS, true, 0, 6, 0},
    {&ERASE, false, ALWAYS, true, 0, 2, 0},
    {&ERASE, true, ALWAYS, true, 0, 2, 0},
    {&ERASE_BLANK_FIRST, false, ALWAYS, true, 0, 2, 0},
    {&ERASE_BLANK_FIRST, true, ALWAYS, true, 0, 2, 0},
    {&READ, false, NEVER, false},
    {&READ, true, NEVER, false},
    {&READ, false, EVERY_THIRD, false},
    {&READ, true, EVERY_THIRD, false},
    {&WRITE_SHORT, false, NEVER, false},
    {&WRITE_SHORT, true, NEVER, false},
    {&WRITE_SHORT, false, EVERY_THIRD, false},
    {&WRITE_SHORT, true, EVERY_THIRD, false},
};

/// Each sweep in its parts when every trial runs; whole when only a sample does.
std::vector<sweep_case> sweep_parts() {
    std::vector<sweep_case> cases;
    for (sweep_case c : SWEEPS) {
        if (sweep_stride > 1) {
            c.parts = 1;
        }
        for (c.part = 0; c.part < c.parts; ++c.part) {
            cases.push_back(c);
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Runs, Sweep, ::testing::ValuesIn(sweep_parts()), [](const auto& info) {
    std::string name = info.param.s->name;
    for (char& c : name) {
        c = std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
    }
    name += info.param.byte_by_byte ? "_ByteByByte" : "_WholeReplies";
    if (info.param.answer == NEVER) {
        name += "_SilentBlockRead";
    } else if (info.param.answer == EVERY_THIRD) {
        name += "_BlockReadEveryThird";
    }
    if (info.param.rx_hold == 0) {
        name += "_HoldingNone";
    }
    if (info.param.parts > 1) {
        name += "_Part" + std::to_string(info.param.part + 1);
    }
    return name;
});

} // namespace
