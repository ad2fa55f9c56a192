// SPDX-License-Identifier: MIT
// The verdict of a run stays true: replies out of step, closed standard descriptors, slow
// lines and interrupted runs end honestly, with the port's settings put back.
#include "support/clock.h"
#include "support/emulated_line.h"
#include "support/hex.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using sim::fault_kind;
using test_support::block_fault;
using test_support::child_process;
using test_support::chip_holds;
using test_support::command_fault;
using test_support::emulated_line;
using test_support::erased_flash;
using test_support::flash_array;
using test_support::run_options;
using test_support::run_result;
using test_support::temp_dir;

constexpr uint8_t BLOCK_FETCH = 0x15, BLOCK_WRITE = 0x21;
constexpr uint32_t RANGE_END = sim::USABLE_FLASH_END;
const std::string OUT_OF_STEP = "Replies out of step with the adapter.\nFailed.\n";

/// An image of blocks filled with one value each, from 0x0000 on.
flash_array image_of_blocks(const bytes& fills) {
    flash_array image = erased_flash();
    for (std::size_t block = 0; block < fills.size(); ++block) {
        for (std::size_t i = 0; i < 16; ++i) {
            image[block * 16 + i] = fills[block];
        }
    }
    return image;
}

/// The image as a file, and a write of it against the line.
struct image_file {
    temp_dir dir;
    std::string path = dir.file("image.hex");
    explicit image_file(const flash_array& image) {
        test_support::write_file(path, sim::hex_text(image, 0, RANGE_END));
    }
};

TEST(Verdict, StrayByteThatShiftsLaterAnswersIsCaughtAtTheBlock) {
    // On a line that hands replies over byte by byte, a stray 00 after the first block's fetch
    // reply comes after that reply was judged. It is taken as the second block's write answer,
    // the refusal as the block-read answer, and so the fetch reply's leading 00 as the block's
    // first byte: blank bytes behind a 00 read as written. Such a block is proven in step
    // before it counts, so the block is retried and the chip ends right.
    constexpr int RANGE = 0x40;
    flash_array image = erased_flash();
    for (unsigned i = 0; i < 16; ++i) {
        image[i] = static_cast<uint8_t>(0x11 * i + 1); // not one repeated byte
    }
    image[0x0010] = 0x00;
    temp_dir dir;
    const std::string path = dir.file("image.hex");
    test_support::write_file(path, sim::hex_text(image, 0, RANGE));
    sim::config uart;
    uart.byte_gap_us = 5000; // the stray byte comes well after the reply was judged
    emulated_line line(uart);
    line.program = {test_support::short_range_binary(), std::to_string(RANGE)};
    // Fetches 1 to 4 are the erase's reads of the first block, before and after it.
    line.emu.add_fault(command_fault(fault_kind::surplus_reply, BLOCK_FETCH, 5, {0x00}));
    line.emu.add_fault(block_fault(fault_kind::write_refused, 0x0010, 1));
    const run_result r = line.run({"-w", "-f", path});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.err.find("0010-001F: checksum error. retry (1)\n"), std::string::npos) << r.err;
    EXPECT_TRUE(chip_holds(line.emu, image));
}

TEST(Verdict, LateByteOnALineThatHandsOverByteByByteFailsTheRead) {
    // The answer to the last block's first read request comes twice: the second is taken as
    // the first byte of the fetch reply sent behind it, whose last byte arrives only after the
    // reply was judged complete and shifts the reply of the second fetch alike. The two fetches
    // agree, one byte off; the check that the replies are in step, at the end, refuses them.
    constexpr int RANGE = 0x40;
    flash_array chip = erased_flash();
    for (unsigned i = 0; i < 16; ++i) {
        chip[RANGE - 16 + i] = static_cast<uint8_t>(0x6B + 0x12 * i);
    }
    sim::config uart;
    uart.byte_gap_us = 520; // 19200 bit/s
    emulated_line line(uart);
    line.program = {test_support::short_range_binary(), std::to_string(RANGE)};
    line.emu.set_flash(0, bytes(chip.begin(), chip.begin() + RANGE));
    // Each block is read twice, and the two compared.
    line.emu.add_fault(command_fault(fault_kind::surplus_reply, 0x22, 2 * RANGE / 16 - 1, {0x00}));
    const run_result r = line.run({"-r"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out.find(":00000001FF"), std::string::npos) << "an end record after a failure";
    EXPECT_TRUE(sim::hex_text(chip, 0, RANGE).starts_with(r.out)) << "not the chip's:\n" << r.out;
    EXPECT_TRUE(r.err.ends_with("Replies out of step with the adapter.\nFailed.\n")) << r.err;
}

TEST(Verdict, ClosedStandardDescriptorsNeverReachThePort) {
    const flash_array image = image_of_blocks({0x12, 0x34, 0x56});
    image_file file(image);
    struct closed_case {
        const char* name;
        std::vector<std::string> args;
        std::vector<int> closed;
        int status;
        std::string err_end;
    };
    const closed_case cases[] = {
        {"dump to a closed output",
         {"-r"},
         {1},
         1,
         "Cannot write the output: Bad file descriptor\nFailed.\n"},
        {"write with a closed error stream", {"-w", "-f", file.path}, {2}, 0, ""},
        {"write from a closed input", {"-w"}, {0}, 1, "Invalid file format.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The same run with every descriptor open tells which bytes belong on the line.
        emulated_line open_run;
        open_run.emu.set_flash(0, bytes(image.begin(), image.begin() + 48));
        open_run.run(c.args);
        emulated_line line;
        line.emu.set_flash(0, bytes(image.begin(), image.begin() + 48));
        const run_result r = line.run(c.args, run_options{.closed = c.closed});
        EXPECT_EQ(r.exit_status, c.status);
        EXPECT_TRUE(r.err.ends_with(c.err_end)) << r.err;
        EXPECT_EQ(line.emu.received(), open_run.emu.received());
    }
}

TEST(Verdict, SlowLinesWaitForTheRequestToLeave) {
    // At 300 bit/s a block write request takes 800 ms on the wire, far beyond one reply wait;
    // a read of two blocks covers the fetch, whose 18-byte reply takes 600 ms.
    const flash_array image = image_of_blocks({0xA5, 0x5A});
    image_file file(image);
    test_support::side_by_side({"300", "1200"}, [&](const char* speed) {
        test_support::side_by_side({false, true}, [&](bool reading) {
            SCOPED_TRACE(std::string(speed) + (reading ? ", read" : ", write"));
            emulated_line line(sim::config{.baud_pacing = true});
            std::vector<std::string> args{"--speed", speed, "-w", "-f", file.path};
            if (reading) {
                line.program = {test_support::short_range_binary(), "32"};
                line.emu.set_flash(0, bytes(image.begin(), image.begin() + 32));
                args = {"--speed", speed, "-r"};
            }
            const run_result r = line.run(args);
            EXPECT_EQ(r.exit_status, 0) << r.err;
            if (reading) {
                EXPECT_EQ(r.out, sim::hex_text(image, 0, 32));
            } else {
                EXPECT_TRUE(chip_holds(line.emu, image));
            }
        });
    });
}

/// Where needle first starts in haystack, counted from 1 as the emulator counts received
/// bytes, plus offset; 0 when it is not there.
std::size_t byte_number(const bytes& haystack, const bytes& needle, std::size_t offset = 0) {
    const auto at = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
    return at == haystack.end() ? 0 : static_cast<std::size_t>(at - haystack.begin()) + 1 + offset;
}

sim::fault request_flip(std::size_t nth, uint8_t mask) {
    sim::fault f{fault_kind::request_flip};
    f.after_bytes = nth;
    f.bytes = {mask};
    return f;
}

/// Bytes that look random, the same every run.
flash_array scattered(uint32_t from, uint32_t to) {
    flash_array chip = erased_flash();
    uint32_t state = 0x2545F491;
    for (uint32_t at = from; at < to; ++at) {
        state = state * 1103515245U + 12345U;
        chip[at] = static_cast<uint8_t>(state >> 16);
    }
    return chip;
}

// A byte corrupted on its way to the adapter or inside fetched flash data ends the run in
// "Failed." or in the truth, never in a wrong dump or a wrong chip reported as done. (The sweep
// puts every such fault on a short run; these are whole runs that once ended in "Completed.".)
TEST(Verdict, CorruptedBytesEndInFailureOrTheTruth) {
    // The chip a read dumps, and the image a write programs.
    const flash_array image = scattered(0, 0x200);
    const std::string dump = sim::hex_text(image, 0, RANGE_END);
    image_file file(image);
    struct corrupted_case {
        const char* name;
        std::vector<std::string> args;
        flash_array chip;
        /// The faults, placed by the bytes a clean run of the same command sent.
        std::function<std::vector<sim::fault>(const bytes& clean)> faults;
        std::string err_end;
    };
    const corrupted_case cases[] = {
        {"a stray byte after a fetch, then a block read unanswered",
         {"-r"},
         image,
         [](const bytes&) {
             return std::vector<sim::fault>{
                 command_fault(fault_kind::surplus_reply, 0x15, 5, {0x00}),
                 command_fault(fault_kind::no_reply, 0x22, 10)};
         },
         "Failed.\n"},
        {"an address bit flipped in a block write request",
         {"-w", "-f", file.path},
         flash_array{},
         [](const bytes& clean) {
             // The write of the block at 0x0170 lands on the verified block at 0x0070.
             return std::vector<sim::fault>{
                 request_flip(byte_number(clean, {0x81, 0xF0, 0x90}), 0x01)};
         },
         "0070-007F: differs from the image; write the chip again.\nFailed.\n"},
        {"an erase confirmation byte changed before a write",
         {"-w", "-f", file.path},
         scattered(0x1000, 0x1E00),
         [](const bytes& clean) {
             return std::vector<sim::fault>{
                 request_flip(byte_number(clean, {0xC0, 0xA5, 0x13}, 1), 0x01)};
         },
         "Device erase failed.\n"},
    };
    sim::config lax;
    lax.query_says_done = true; // the adapter says an erase is done whatever it did
    test_support::side_by_side(cases, [&](const corrupted_case& c) {
        SCOPED_TRACE(c.name);
        bytes clean;
        {
            emulated_line line(lax);
            line.emu.set_flash(0, bytes(c.chip.begin(), c.chip.begin() + RANGE_END));
            ASSERT_EQ(line.run(c.args).exit_status, 0);
            clean = line.emu.received();
        }
        emulated_line line(lax);
        line.emu.set_flash(0, bytes(c.chip.begin(), c.chip.begin() + RANGE_END));
        for (const sim::fault& f : c.faults(clean)) {
            ASSERT_NE(f.kind == fault_kind::request_flip ? f.after_bytes : 1, 0U);
            line.emu.add_fault(f);
        }
        const run_result r = line.run(c.args);
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_TRUE(r.err.ends_with(c.err_end)) << r.err;
        if (c.args[0] == "-r") {
            EXPECT_TRUE(dump.starts_with(r.out)) << "a record that is not the chip's";
        } else { // the write really did leave the chip wrong
            EXPECT_FALSE(chip_holds(line.emu, image)) << "the fault no longer damages the chip";
        }
    });
}

/// Waits until the line is no longer as the run found it: the program has opened the port.
bool port_taken(const emulated_line& line) {
    return test_support::wait_for([&line] { return !line.settings_restored(); },
                                  std::chrono::seconds(20));
}

TEST(Verdict, InterruptedRunsPutTheLineBackAndSayWhatIsLeft) {
    const flash_array image = image_of_blocks(bytes(64, 0x5A));
    image_file file(image);
    sim::config paced;
    paced.baud_pacing = true; // 64 blocks at 9600 bit/s: about two seconds of writing
    struct interrupt_case {
        const char* name;
        std::vector<std::string> args;
        int signal_number;
        std::string note;
    };
    const interrupt_case cases[] = {
        {"Ctrl-C while writing",
         {"-w", "-f", file.path},
         SIGINT,
         "\rInterrupted: the chip is left partly erased or written; write it again.\n"},
        {"SIGALRM while writing",
         {"-w", "-f", file.path},
         SIGALRM,
         "\rInterrupted: the chip is left partly erased or written; write it again.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        emulated_line line(paced);
        std::vector<std::string> args{"--serial", line.emu.slave_path(), "--speed", "9600"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        child_process run(test_support::vantrel_binary(), args);
        ASSERT_TRUE(port_taken(line));
        ASSERT_TRUE(
            test_support::wait_for([&line] { return line.emu.command_count(BLOCK_WRITE) >= 3; },
                                   std::chrono::seconds(20)));
        run.signal(c.signal_number);
        const run_result r = run.finish(20);
        EXPECT_EQ(r.term_signal, c.signal_number);
        EXPECT_TRUE(r.err.ends_with(c.note)) << r.err;
        EXPECT_TRUE(line.settings_restored());
    }
}

TEST(Verdict, DumpBeyondTheFileSizeLimitPutsTheLineBack) {
    // The dump grows past the shell's file size limit: the kernel ends the run by SIGXFSZ.
    flash_array chip = erased_flash();
    std::fill(chip.begin(), chip.begin() + RANGE_END, 0x5A);
    temp_dir dir;
    emulated_line line;
    line.emu.set_flash(0, bytes(chip.begin(), chip.begin() + RANGE_END));
    line.program = {"/bin/sh", "-c", "ulimit -f 4; exec \"$0\" \"$@\" >" + dir.file("dump.hex"),
                    test_support::vantrel_binary()};
    const run_result r = line.attempt({"-r"});
    EXPECT_EQ(r.term_signal, SIGXFSZ);
    EXPECT_TRUE(r.err.ends_with("\rInterrupted: the dump is incomplete.\n")) << r.err;
    EXPECT_TRUE(line.settings_restored());
}

} // namespace
