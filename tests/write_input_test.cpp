// SPDX-License-Identifier: MIT
// The write command's input end to end: the real binary loads Intel HEX from standard input or
// a file, whole before it takes the port, refuses what the flash cannot take, and programs the
// emulated chip alike from the output of compilers and common converters.
#include "support/clock.h"
#include "support/write_chip.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using test_support::COMPLETED;
using test_support::ERASED;
using test_support::erased_flash;
using test_support::flash_array;
using test_support::hex_of;
using test_support::hex_record;
using test_support::image_with_blocks;
using test_support::ok_lines;
using test_support::run_options;
using test_support::run_result;
using test_support::run_vantrel;
using test_support::temp_dir;
using test_support::zeroed_chip;

constexpr uint8_t BLOCK_WRITE = 0x21;
constexpr uint32_t RANGE_END = sim::USABLE_FLASH_END;

TEST(WriteInput, StandardInputAndNamedFileProgramTheSameImage) {
    flash_array image = erased_flash(); // every block of the flash holds data
    for (unsigned a = 0; a < RANGE_END; a += 16) {
        test_support::put(image, a, test_support::pattern(16, static_cast<int>(a / 16)));
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

// Real inputs: compiler output and the images of common converters.

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
    const std::string tool = test_support::find_program(kind == "objcopy" ? "objcopy" : "srec_cat");
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
