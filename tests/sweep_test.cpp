// SPDX-License-Identifier: MIT
// The fault sweeps (support/sweep.h) over an inquiry, a read, writes and erases: an inquiry
// prints an identifier right or as FAILED, never wrong. Adapters that leave out the answer to
// block read, always or on two block reads of three, get the reply faults too. The images are
// made to defeat an 8-bit sum: blocks whose first bytes repeat 16 on, data with a period of 8,
// a block that sums like erased flash beside a blank one, blank bytes at a block's end, and a
// partial last block.
//
// Linked twice: sweep_test runs a fixed sample of each sweep (every 23rd trial), and
// sweep_exhaustive_test, labelled "exhaustive", runs every trial.
#include "protocol/adapter_protocol.h"
#include "support/sweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using sim::fault_kind;
using test_support::block_read_answer;
using test_support::chip_holds;
using test_support::command_fault;
using test_support::erased_flash;
using test_support::flash_array;
using test_support::line_run;
using test_support::scenario;
using test_support::sweep_case;
using test_support::temp_dir;

flash_array blocks_at(const std::map<unsigned, bytes>& blocks) {
    flash_array flash = erased_flash();
    for (const auto& [address, data] : blocks) {
        std::copy(data.begin(), data.end(), flash.begin() + address);
    }
    return flash;
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
            [image](const line_run&, const sim::emulator& emu) { return chip_holds(emu, image); },
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
                return chip_holds(emu, erased_flash());
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

class Sweep : public ::testing::TestWithParam<sweep_case> {};

TEST_P(Sweep, NoSingleLineFaultEndsInAFalseSuccess) {
    test_support::run_sweep(GetParam());
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
