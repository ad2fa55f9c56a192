// SPDX-License-Identifier: MIT
// The vantrel-emu program end to end: started for real, driven by the real vantrel.
#include "support/hex.h"
#include "support/process.h"
#include "support/side_by_side.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using test_support::read_file;
using test_support::run_options;
using test_support::run_program;
using test_support::run_vantrel;
using test_support::temp_dir;
using test_support::write_file;

const std::string EMU = VANTREL_EMU_BINARY;

/// vantrel-emu in the background; standard error (its trace) goes to err_file.
struct emu_process : test_support::child_process {
    emu_process(const std::vector<std::string>& args, const std::string& err_file)
        : child_process(EMU, args, {.stderr_file = err_file}) {}

    /// The path of the line it serves, from the first line of its output.
    std::string path_line() { return first_line(20); }

    /// The exit status once it ends by itself within 20 s; -1 otherwise.
    int wait_exit() { return finish(20).exit_status; }

    int terminate() {
        signal(SIGTERM);
        return wait_exit();
    }
};

/// An image of whole 16-byte records, as the read command prints them, with a gap.
std::string test_image() {
    test_support::flash_array flash = test_support::erased_flash();
    for (unsigned block : {0x0000u, 0x0010u, 0x0100u, 0x1DF0u}) {
        for (unsigned i = 0; i < 16; ++i) {
            const unsigned b = (block / 16 * 7 + i * 13 + 1) & 0xFF;
            flash[block + i] = static_cast<uint8_t>(b == 0xFF ? 0x42 : b);
        }
    }
    return sim::hex_text(flash, 0, sim::FLASH_SPACE);
}

const run_options quick{.timeout_s = 20};

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(emu_tool, ServesInquireWriteReadUntilTerminatedThenSaves) {
    temp_dir dir;
    write_file(dir.file("image.hex"), test_image());
    std::string link = dir.file("ttyEMU");
    emu_process emu({"--trace", "--save", dir.file("saved.hex"), "--link", link, "--device-id",
                     "0x30", "--revision-id", "7", "--adapter-version", "2.11"},
                    dir.file("trace.txt"));
    std::string path = emu.path_line();
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    auto inquire = run_vantrel({"--serial", link, "--speed", "115200", "-i"});
    EXPECT_EQ(inquire.exit_status, 0);
    EXPECT_EQ(inquire.out, "Port: " + link + "\nAdapter: 2.11\nDeviceID: 0x30\nRevisionID: 0x07\n");

    // A chip of another family is written only when the user says to go on, and read with a
    // word.
    auto write =
        run_vantrel({"--serial", path, "--speed", "115200", "-w", "-f", dir.file("image.hex")},
                    {.env = {"VANTREL_ANY_DEVICE=1"}});
    EXPECT_EQ(write.exit_status, 0) << write.err;
    EXPECT_TRUE(write.err.starts_with("Device identifier 0x30: not a C8051F30x (0x04); going on, "
                                      "as VANTREL_ANY_DEVICE is set.\nDevice erase: ok\n"))
        << write.err;
    EXPECT_TRUE(contains(write.err, "Completed.")) << write.err;

    auto read = run_vantrel({"--serial", path, "--speed", "115200", "-r"});
    EXPECT_EQ(read.exit_status, 0) << read.err;
    EXPECT_TRUE(read.err.starts_with(
        "Device identifier 0x30: not a C8051F30x (0x04); reading it anyway.\n"))
        << read.err;
    EXPECT_EQ(read.out, test_image());

    EXPECT_EQ(emu.terminate(), 0);
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link outlived the emulator";
    EXPECT_EQ(read_file(dir.file("saved.hex")), test_image());

    std::string trace = read_file(dir.file("trace.txt"));
    for (const char* line :
         {"IDENTIFY -> 43 32 02 0B\n", "ADDRESS_WRITE 0x00\n", "DATA_READ -> 30\n",
          "PROGRAM_MODE -> 00\n", "DATA_WRITE 0xDE\n", "QUERY -> 21\n",
          "BLOCK_WRITE 0x0100 16 bytes -> 00\n", "BLOCK_READ 0x1DF0 16 bytes -> 00\n"}) {
        EXPECT_TRUE(contains(trace, line)) << "missing trace line " << line;
    }
}

TEST(emu_tool, OnceEndsAfterOneRunEvenWithTheResetReopen) {
    temp_dir dir;
    write_file(dir.file("image.hex"), test_image());
    emu_process emu({"--once", "--flash", dir.file("image.hex"), "--trace"}, dir.file("err.txt"));
    std::string path = emu.path_line();
    ASSERT_FALSE(path.empty());
    // Nobody has opened the line yet: the emulator must still be serving.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto read = run_vantrel({"--serial", path, "--speed", "115200", "-r", "--reset"});
    EXPECT_EQ(read.exit_status, 0) << read.err;
    EXPECT_EQ(read.out, test_image());
    EXPECT_EQ(emu.wait_exit(), 0);
    // The reset came from the second open, which --once must have waited for.
    std::string trace = read_file(dir.file("err.txt"));
    EXPECT_TRUE(contains(trace.substr(trace.rfind("BLOCK_")), "TARGET_RESET")) << trace;
}

struct fault_case {
    std::vector<std::string> emu_args;
    std::vector<std::string> vantrel_args; // after --serial and --speed
    int status;
    std::string err_part;
    std::string out_part;
    std::string trace_part{}; // with --trace, in the emulator's log
};

TEST(emu_tool, FaultsReachTheProgram) {
    const std::vector<fault_case> cases = {
        {{"--fault", "write-refused:0x0100x1"}, {"-w"}, 0, " retry (1)\n", ""},
        {{"--fault", "short-fetch:0010"}, {"-w"}, 1, "0010-001F: checksum error.", ""},
        {{"--fault", "never-ready"}, {"-w"}, 1, "Device erase failed.\n", ""},
        {{"--fault", "no-reply:PROGRAM_MODE"},
         {"-r"},
         1,
         "Cannot switch to flash programming mode.",
         ""},
        {{"--fault", "wrong-reply:0x01=43330103"},
         {"-i"},
         0,
         "C2 interface adapter not found.\n",
         ""},
        {{"--fault", "stale=2155", "--no-block-read-ack"}, {"-w"}, 0, "Completed.", ""},
        {{"--fault", "delay:DATA_READ@1=150"},
         {"-i"},
         0,
         "",
         "DeviceID: 0x04 (C8051F30x)\nRevisionID: 0x02\n"},
        {{"--byte-gap-us", "520"}, {"-i"}, 0, "", "Adapter: 1.3\n"},
        {{"--fault", "hang-up-after=1"}, {"-i"}, 0, "C2 interface adapter not found.\n", ""},
        // The 37th byte of a device erase is its last confirmation, 0xA5: whatever the adapter
        // says of the erase, the first block does not read back blank.
        {{"--fault", "flip:37=01"}, {"--device-erase"}, 1, "Device erase failed.\n", ""},
        {{"--query-says-done", "--fault", "flip:37=01"},
         {"--device-erase"},
         1,
         "Device erase failed.\n",
         ""},
        {{"--block-once", "--block-read-ack-every", "3"},
         {"--device-erase"},
         0,
         "Adapter does not answer block read; not waiting for it.\n",
         ""},
        // The first status poll follows the erase's first step while the adapter is still busy
        // with it, and an adapter that holds no byte loses it: the poll is asked again. The
        // fetch queued behind the block read that proves the erase is lost too: the run waits
        // for every reply from then on.
        {{"--rx-hold", "0", "--busy-us", "200,1000,100000", "--trace"},
         {"--device-erase"},
         0,
         "Adapter did not answer a fetch sent while it was busy; waiting for every reply.\n",
         "",
         "DATA_WRITE 0x03\nlost while busy: 12\n"},
    };
    test_support::side_by_side(cases, [](const fault_case& c) {
        SCOPED_TRACE(c.emu_args[0] + " " + c.emu_args[1]);
        temp_dir dir;
        write_file(dir.file("image.hex"), test_image());
        emu_process emu(c.emu_args, dir.file("err.txt"));
        std::string path = emu.path_line();
        ASSERT_FALSE(path.empty());
        std::vector<std::string> args{"--serial", path, "--speed", "115200"};
        args.insert(args.end(), c.vantrel_args.begin(), c.vantrel_args.end());
        auto r = run_vantrel(args, {.stdin_file = dir.file("image.hex")});
        EXPECT_EQ(r.exit_status, c.status) << r.err;
        EXPECT_TRUE(contains(r.err, c.err_part)) << r.err;
        EXPECT_TRUE(contains(r.out, c.out_part)) << r.out;
        EXPECT_EQ(emu.terminate(), 0);
        EXPECT_TRUE(contains(read_file(dir.file("err.txt")), c.trace_part));
    });
}

TEST(emu_tool, BadCommandLinesExitWithStatusTwo) {
    struct bad {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<bad> cases = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--device-id"}, "needs a value"},
        {{"--device-id", "256"}, "--device-id: '256'"},
        {{"--revision-id", "-1"}, "--revision-id: '-1'"},
        {{"--adapter-version", "1"}, "--adapter-version: '1'"},
        {{"--adapter-version", "1.300"}, "--adapter-version: '1.300'"},
        {{"--version", "1.3"}, "unexpected argument '1.3'"},
        {{"--byte-gap-us", "0"}, "--byte-gap-us: '0'"},
        {{"--byte-gap-us", "1000001"}, "--byte-gap-us: '1000001'"},
        {{"--block-read-ack-every", "0"}, "--block-read-ack-every: '0'"},
        {{"--latency-us", "1000001"}, "--latency-us: '1000001'"},
        {{"--busy-us", "200,1000"}, "--busy-us: '200,1000'"},
        {{"--busy-us", "0,0,1000001"}, "--busy-us: '0,0,1000001'"},
        {{"--rx-hold", "17"}, "--rx-hold: '17'"},
        {{"--fault", "nonsense"}, "unknown fault 'nonsense'"},
        {{"--flash", "/nonexistent/image.hex"}, "--flash /nonexistent/image.hex"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        auto r = run_program(EMU, c.args, quick);
        EXPECT_EQ(r.exit_status, 2);
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
    }
}

TEST(emu_tool, VersionNamesTheTool) {
    auto r = run_program(EMU, {"--version"}, quick);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "vantrel-emu " VANTREL_VERSION "\n");
    EXPECT_TRUE(r.err.empty()) << r.err;
}

TEST(emu_tool, HelpNamesEveryOptionAndFaultForm) {
    auto r = run_program(EMU, {"--help"}, quick);
    EXPECT_EQ(r.exit_status, 0);
    for (const char* word : {"--device-id",
                             "--revision-id",
                             "--adapter-version",
                             "--version",
                             "--flash",
                             "--save",
                             "--link",
                             "--once",
                             "--baud-pacing",
                             "--real-line",
                             "--byte-gap-us",
                             "--trace",
                             "--fault",
                             "--no-block-read-ack",
                             "--block-read-ack-every",
                             "--block-once",
                             "--query-says-done",
                             "--latency-us",
                             "--busy-us",
                             "--rx-hold",
                             "--help",
                             "no-reply:",
                             "wrong-reply:",
                             "delay:",
                             "surplus:",
                             "write-refused:",
                             "wrong-sum:",
                             "short-fetch:",
                             "flip:",
                             "drop:",
                             "twice:",
                             "never-ready",
                             "always-busy",
                             "noise",
                             "stale=",
                             "hang-up-after="}) {
        EXPECT_TRUE(contains(r.out, word)) << word;
    }
}

} // namespace
