// SPDX-License-Identifier: MIT
// The write command end to end: the real binary loads Intel HEX and programs the emulated
// chip over a pseudo-terminal, with refused writes, bad read-backs and lost programming mode.
#include "support/clock.h"
#include "support/emulated_line.h"
#include "support/hex.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using sim::fault;
using sim::fault_kind;
using test_support::block_fault;
using test_support::command_fault;
using test_support::erased_flash;
using test_support::flash_array;
using test_support::hex_record;
using test_support::run_options;
using test_support::run_result;
using test_support::run_vantrel;
using test_support::temp_dir;

constexpr uint8_t PROGRAM_MODE = 0x20, BLOCK_WRITE = 0x21, BLOCK_FETCH = 0x15;
constexpr uint32_t RANGE_END = sim::USABLE_FLASH_END;

void put(flash_array& image, unsigned address, const bytes& data) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        image[(address + i) & 0xFFFF] = data[i];
    }
}

bytes pattern(int n, int seed) {
    bytes data;
    for (int i = 0; i < n; ++i) {
        data.push_back(static_cast<uint8_t>(seed * 37 + i * 11));
    }
    return data;
}

/// An image with a 16-byte block of data at each of the given addresses.
flash_array image_with_blocks(std::initializer_list<unsigned> addresses) {
    flash_array image = erased_flash();
    int seed = 1;
    for (unsigned a : addresses) {
        put(image, a, pattern(16, seed++));
    }
    return image;
}

std::string hex_of(const flash_array& image, uint32_t end = 0x10000) {
    return sim::hex_text(image, 0, end);
}

std::string ok(unsigned first) {
    char line[32];
    std::snprintf(line, sizeof line, "%04X-%04X: ok\r", first, first + 15);
    return line;
}

std::string failure(unsigned first, const char* what, int retry) {
    char line[64];
    std::snprintf(line, sizeof line, "%04X-%04X: %s.", first, first + 15, what);
    std::string text = line;
    if (retry > 0) {
        text += " retry (" + std::to_string(retry) + ")\n";
    }
    return text;
}

/// The ok lines of a clean run over the range.
std::string ok_lines(const flash_array& image) {
    std::string text;
    for (unsigned a = 0; a < RANGE_END; a += 16) {
        for (unsigned i = 0; i < 16; ++i) {
            if (image[a + i] != 0xFF) {
                text += ok(a);
                break;
            }
        }
    }
    return text;
}

const std::string ERASED = "Device erase: ok\n";
const std::string COMPLETED = "Completed.   \n";
const std::string FAILED = "Failed.\n";

/// The emulated chip, filled with zeros so that nothing programs without an erase.
struct zeroed_chip : test_support::emulated_line {
    temp_dir dir;

    zeroed_chip() { emu.set_flash(0, bytes(RANGE_END, 0x00)); }

    run_result write_file(const std::string& hex) {
        const std::string path = dir.file("image.hex");
        test_support::write_file(path, hex);
        return run({"-w", "-f", path});
    }

    /// First address in the range where the chip differs from image, or -1.
    long first_difference(const flash_array& image) const {
        const flash_array flash = emu.flash();
        const auto end = flash.begin() + RANGE_END;
        const auto at = std::mismatch(flash.begin(), end, image.begin()).first;
        return at == end ? -1 : static_cast<long>(at - flash.begin());
    }
};

TEST(WriteInput, StandardInputAndNamedFileProgramTheSameImage) {
    flash_array image = erased_flash(); // every block of the flash holds data
    for (unsigned a = 0; a < RANGE_END; a += 16) {
        put(image, a, pattern(16, static_cast<int>(a / 16)));
    }
    const std::string hex = hex_of(image);

    for (bool from_file : {false, true}) {
        SCOPED_TRACE(from_file ? "file" : "stdin");
        zeroed_chip chip;
        run_result r =
            from_file ? chip.write_file(hex) : chip.run({"-w"}, run_options{.stdin_data = hex});
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, ERASED + ok_lines(image) + COMPLETED);
        EXPECT_EQ(chip.first_difference(image), -1);
        // Only the blocks: a chip whose first block holds data gets no mark before the erase.
        EXPECT_EQ(chip.emu.command_count(BLOCK_WRITE), 480);
        // Each block's fetch back goes out behind its block read: a whole write waits for the
        // adapter about 1000 times, not 1460.
        EXPECT_LE(test_support::round_trips(chip.emu), 1000U);
    }
}

std::string outside(unsigned address) {
    char line[80];
    std::snprintf(line, sizeof line,
                  "Image data at 0x%04X lies outside the flash (0x0000-0x1DFF).\n", address);
    return line;
}

TEST(WriteInput, RejectedInputSendsNothing) {
    struct reject_case {
        const char* name;
        std::string hex;
        bool named_file;
        std::string err;
    };
    const std::string good = hex_of(image_with_blocks({0x0000, 0x0020}));
    const std::string body = good.substr(0, good.size() - std::strlen(":00000001FF\n"));
    const std::vector<reject_case> cases = {
        {"empty stdin", "", false, "Invalid file format.\n"},
        {"missing end record", body, false, "Invalid file format.\n"},
        {"file cut short", good.substr(0, good.size() / 2), true, "Invalid file format.\n"},
        {"bad checksum on last line", body + ":00000001FE\n", true, "Invalid file format.\n"},
        {"line too long", body + ":" + std::string(600, '0') + "\n:00000001FF\n", false,
         "Invalid file format.\n"},
        // cat boot.hex app.hex: standard input, a pipe, is read on past the first end record.
        {"files put one after the other", good + good, false, "Invalid file format.\n"},
        // Data the flash cannot take where the file puts it: refused, never moved or dropped.
        {"extended linear address", hex_record(0x04, 0, {0x00, 0x01}) + "\n" + good, true,
         outside(0x10000)},
        {"extended segment address", hex_record(0x02, 0, {0x10, 0x00}) + "\n" + good, false,
         outside(0x10000)},
        {"record running past 0xFFFF",
         body + hex_record(0x00, 0xFFF8, bytes(16, 0xFF)) + "\n:00000001FF\n", true,
         outside(0x10000)},
        {"data only beyond the flash", hex_record(0x00, 0x1E00, {0x12}) + "\n:00000001FF\n", true,
         outside(0x1E00)},
        {"one byte beyond among padding",
         body + hex_record(0x00, 0x1E00, bytes(16, 0xFF)) + "\n" +
             hex_record(0x00, 0x1FFF, {0x00}) + "\n:00000001FF\n",
         true, outside(0x1FFF)},
    };
    for (const reject_case& c : cases) {
        SCOPED_TRACE(c.name);
        zeroed_chip chip;
        run_result r = c.named_file ? chip.write_file(c.hex)
                                    : chip.run({"-w"}, run_options{.stdin_data = c.hex});
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_TRUE(chip.emu.received().empty()) << chip.emu.received().size() << " bytes sent";
        EXPECT_EQ(chip.emu.flash()[0], 0x00) << "chip touched";
    }
}

TEST(WriteInput, FileThatCannotBeOpened) {
    zeroed_chip chip;
    const std::string missing = chip.dir.file("no-such.hex");
    run_result r = chip.run({"-w", "-f", missing});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "Cannot open: " + missing + "\n");
    EXPECT_TRUE(chip.emu.received().empty());
}

// The image is read whole before the port is opened: a producer that keeps its pipe open holds
// no adapter, and an image that cannot be read never reaches for the port.
TEST(WriteInput, ReadWholeBeforeThePortIsOpened) {
    zeroed_chip chip;
    const flash_array image = image_with_blocks({0x0000});
    test_support::child_process run(
        test_support::vantrel_binary(), {"--serial", chip.emu.slave_path(), "-w"},
        {.stdin_data = hex_of(image)}); // fed, and the pipe closed, only by finish()
    EXPECT_FALSE(test_support::wait_for([&chip] { return !chip.settings_restored(); },
                                        std::chrono::seconds(2)))
        << "the port was taken while the input was still open";
    const run_result r = run.finish(30);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(chip.first_difference(image), -1);

    temp_dir dir;
    const run_result missing =
        run_vantrel({"--serial", dir.file("no-port"), "-w", "-f", dir.file("no-such.hex")});
    EXPECT_EQ(missing.exit_status, 1);
    EXPECT_EQ(missing.err, "Cannot open: " + dir.file("no-such.hex") + "\n");

    // Asked only to check the image, the write judges it as before writing, and ends there.
    for (const auto& [hex, status, err] : std::vector<std::tuple<std::string, int, std::string>>{
             {hex_of(image), 0,
              "Image accepted; nothing written, as VANTREL_CHECK_IMAGE is set.\n"},
             {hex_of(image) + hex_of(image), 1, "Invalid file format.\n"}}) {
        const run_result checked =
            run_vantrel({"--serial", dir.file("no-port"), "-w"},
                        {.stdin_data = hex, .env = {"VANTREL_CHECK_IMAGE=1"}});
        EXPECT_EQ(checked.exit_status, status);
        EXPECT_EQ(checked.err, err);
    }
}

TEST(WriteInput, DataPlacedWhereTheFileSays) {
    flash_array image = erased_flash();
    put(image, 0x0000, {0x11});
    put(image, 0x1100, pattern(16, 5));
    // A one-byte record, a segment base inside the flash, and 0xFF padding beyond it.
    const std::string hex = hex_record(0x00, 0, {0x11}) + "\n" + hex_record(0x02, 0, {0x01, 0x00}) +
                            "\n" + hex_record(0x00, 0x0100, pattern(16, 5)) + "\n" +
                            hex_record(0x00, 0x1E00, bytes(255, 0xFF)) + "\n:00000001FF\n";
    zeroed_chip chip;
    run_result r = chip.write_file(hex);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(chip.first_difference(image), -1);
}

TEST(WriteBlocks, NothingToProgramInTheRange) {
    zeroed_chip chip;
    run_result r = chip.write_file(":10004000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFC0\n:00000001FF\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, ERASED + COMPLETED);
    EXPECT_EQ(chip.emu.command_count(BLOCK_WRITE), 0);
    EXPECT_EQ(chip.first_difference(erased_flash()), -1) << "not erased";
}

TEST(WriteBlocks, PartlyErasedBlockProgrammedWhole) {
    flash_array image = erased_flash();
    put(image, 0x0040, {0x12});
    put(image, 0x004F, {0x34});
    put(image, 0x0055, {0x00, 0xFF, 0x7E}); // a block of its own with an 0xFF inside
    zeroed_chip chip;
    run_result r = chip.write_file(hex_of(image));
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, ERASED + ok(0x0040) + ok(0x0050) + COMPLETED);
    EXPECT_EQ(chip.first_difference(image), -1);
    EXPECT_EQ(chip.emu.command_count(BLOCK_WRITE), 2);
}

struct retry_case {
    const char* name;
    flash_array image;
    std::vector<fault> faults;
    int exit_status;
    std::string err;
    std::string out = "";
    int program_mode_entries = -1; // -1: not checked
};

std::string repeated(int from, int to, const std::function<std::string(int)>& piece) {
    std::string text;
    for (int k = from; k <= to; ++k) {
        text += piece(k);
    }
    return text;
}

std::vector<retry_case> retry_cases() {
    const flash_array late = image_with_blocks({0x0020, 0x0030});
    const flash_array three = image_with_blocks({0x0000, 0x0010, 0x0020});
    const flash_array zero = image_with_blocks({0x0000, 0x0100});
    const auto fetch_fault = [](uint16_t a, int times) {
        return block_fault(fault_kind::short_fetch, a, times);
    };
    const auto write_fault = [](uint16_t a, int times) {
        return block_fault(fault_kind::write_refused, a, times);
    };
    // Fetches 1 to 4 are the erase's reads of block 0x0000, two before it and two after; the
    // blocks are verified from fetch 5 on.
    const auto fetches_wrong = [](int from, int to) { // whole, with 00 for each flash byte
        std::vector<fault> wrong;
        for (int nth = from; nth <= to; ++nth) {
            wrong.push_back(
                command_fault(fault_kind::wrong_reply, BLOCK_FETCH, nth, bytes(18, 0x00)));
        }
        return wrong;
    };
    std::vector<fault> mode_lost = fetches_wrong(5, 5);
    // Programming mode is entered at the start and again after the chip's identity is read.
    for (int nth = 3; nth <= 12; ++nth) {
        mode_lost.push_back(command_fault(fault_kind::no_reply, PROGRAM_MODE, nth));
    }

    return {
        {"FirstBlockFetchFailsOnce",
         late,
         {fetch_fault(0x0025, 1)},
         0,
         ERASED + failure(0x0020, "checksum error", 1) + ok(0x0020) + ok(0x0030) + COMPLETED,
         "",
         3},
        {"FirstBlockWriteRefusedOnce",
         late,
         {write_fault(0x0020, 1)},
         0,
         ERASED + failure(0x0020, "serial_write error", 1) + ok(0x0020) + ok(0x0030) + COMPLETED,
         "",
         3},
        {"LaterBlockFailsOnce",
         three,
         {fetch_fault(0x0020, 1)},
         0,
         ERASED + ok(0x0000) + ok(0x0010) + failure(0x0020, "checksum error", 1) + ok(0x0010) +
             ok(0x0020) + COMPLETED,
         "",
         3},
        {"FourFailuresThenSuccess", zero, fetches_wrong(5, 8), 0,
         ERASED + repeated(1, 4, [](int k) { return failure(0x0000, "checksum error", k); }) +
             ok(0x0000) + ok(0x0100) + COMPLETED,
         "", 6},
        {"BlockAtZeroFailsFiveTimes", zero, fetches_wrong(5, 9), 1,
         ERASED + repeated(1, 4, [](int k) { return failure(0x0000, "checksum error", k); }) +
             failure(0x0000, "checksum error", 0) + FAILED,
         "\n", 6},
        {"BlockFailsEveryTimeAfterProgress",
         three,
         {write_fault(0x002F, -1)},
         1,
         ERASED + ok(0x0000) + ok(0x0010) +
             repeated(1, 4,
                      [](int k) { return failure(0x0020, "serial_write error", k) + ok(0x0010); }) +
             failure(0x0020, "serial_write error", 0) + FAILED,
         "\n",
         6},
        // Fetches in order: 0000, 0010, 0020 (wrong), 0010 (wrong), 0010, 0020.
        {"RestartBlockAlsoFails", three, fetches_wrong(7, 8), 0,
         ERASED + ok(0x0000) + ok(0x0010) + failure(0x0020, "checksum error", 1) +
             failure(0x0010, "checksum error", 1) + ok(0x0010) + ok(0x0020) + COMPLETED,
         "", 4},
        {"ProgrammingModeLostOnRetry", zero, mode_lost, 1,
         ERASED + failure(0x0000, "checksum error", 1) + "Unknown error.\n" + FAILED, "", -1},
    };
}

class WriteRetries : public ::testing::TestWithParam<retry_case> {};

void PrintTo(const retry_case& c, std::ostream* os) {
    *os << c.name;
}

TEST_P(WriteRetries, ExactProgressAndVerdict) {
    const retry_case& c = GetParam();
    zeroed_chip chip;
    for (const fault& f : c.faults) {
        chip.emu.add_fault(f);
    }
    run_result r = chip.write_file(hex_of(c.image));
    EXPECT_EQ(r.exit_status, c.exit_status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    if (c.program_mode_entries >= 0) {
        EXPECT_EQ(chip.emu.command_count(PROGRAM_MODE), c.program_mode_entries);
    }
    if (c.exit_status == 0) {
        EXPECT_EQ(chip.first_difference(c.image), -1);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, WriteRetries, ::testing::ValuesIn(retry_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// Real inputs: compiler output and the images of common converters.

/// Full path of a tool found on PATH, or "".
std::string find_tool(const std::string& name) {
    run_result r = test_support::run_program("/bin/sh", {"-c", "command -v " + name});
    std::string path = r.exit_status == 0 ? r.out : "";
    while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) {
        path.pop_back();
    }
    return path;
}

bytes random_binary(std::size_t size) {
    std::mt19937 generator(20240611);
    bytes data(size);
    for (uint8_t& byte : data) {
        byte = static_cast<uint8_t>(generator() & 0xFF);
    }
    // A few erased stretches, so that some blocks are skipped and some are partly 0xFF.
    std::fill(data.begin() + 0x0200, data.begin() + 0x0260, 0xFF);
    std::fill(data.begin() + 0x1003, data.begin() + 0x100C, 0xFF);
    return data;
}

/// Produces an Intel HEX file of the kind named, or returns "" when its tool is missing.
std::string make_input(const std::string& kind, const temp_dir& dir) {
    if (kind == "sdcc" || kind == "packihx") {
        const std::string path = std::string(VANTREL_BUILD_DIR) + "/examples/blink/blink." +
                                 (kind == "sdcc" ? "ihx" : "hex");
        return access(path.c_str(), R_OK) == 0 ? path : "";
    }
    const std::string binary = dir.file("random.bin");
    const bytes data = random_binary(RANGE_END);
    test_support::write_file(binary, std::string(data.begin(), data.end()));
    const std::string out = dir.file(kind + ".hex");
    run_result r;
    const std::string tool = find_tool(kind == "objcopy" ? "objcopy" : "srec_cat");
    if (tool.empty()) {
        return "";
    }
    if (kind == "objcopy") {
        r = test_support::run_program(tool, {"-I", "binary", "-O", "ihex", binary, out});
    } else {
        const std::string size = kind == "srec16" ? "16" : "32";
        r = test_support::run_program(
            tool, {binary, "-binary", "-o", out, "-Intel", "-Output_Block_Size", size});
    }
    EXPECT_EQ(r.exit_status, 0) << r.err;
    return out;
}

class WriteRealInputs : public ::testing::TestWithParam<std::string> {};

TEST_P(WriteRealInputs, WriteThenReadBackTheSameImage) {
    zeroed_chip chip;
    const std::string input = make_input(GetParam(), chip.dir);
    if (input.empty()) {
        GTEST_SKIP() << "no tool for " << GetParam();
    }
    flash_array expected = erased_flash();
    std::string error;
    ASSERT_TRUE(sim::load_hex_file(input, expected, error)) << error;

    run_result w = chip.run({"-w", "-f", input});
    ASSERT_EQ(w.exit_status, 0) << w.err;
    EXPECT_EQ(w.err, ERASED + ok_lines(expected) + COMPLETED);
    EXPECT_EQ(chip.first_difference(expected), -1);

    run_result r = chip.run({"-r"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    flash_array read_back;
    ASSERT_TRUE(test_support::parse_hex(r.out, read_back, error)) << error;
    for (uint32_t a = 0; a < RANGE_END; ++a) {
        ASSERT_EQ(read_back[a], expected[a]) << "at " << a;
    }
}

INSTANTIATE_TEST_SUITE_P(Tools, WriteRealInputs,
                         ::testing::Values("sdcc", "packihx", "objcopy", "srec16", "srec32"));

} // namespace
