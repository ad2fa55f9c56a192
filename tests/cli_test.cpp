// SPDX-License-Identifier: MIT
// Option parsing and the program driver: the parser in-process, the driver
// through the real binary.
#include "cli/options.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using test_support::run_vantrel;

constexpr const char* bad_port = "/nonexistent/vantrel-port";
/// What the program says when it tries to open bad_port.
const std::string open_failure = std::string("Cannot open: ") + bad_port +
                                 "\nNo such device: check the path and that the adapter is "
                                 "plugged in.\n";

struct parsed {
    option_context ctx{};
    std::string err;
    std::vector<std::string> storage;
    std::vector<char*> argv;
};

// Parses args as the program does, with "vantrel" as the program name.
parsed parse(std::vector<std::string> args) {
    static bool sorted = false;
    if (!sorted) {
        sort_option_table();
        sorted = true;
    }
    parsed p;
    p.storage = std::move(args);
    p.storage.insert(p.storage.begin(), "vantrel");
    for (auto& s : p.storage) {
        p.argv.push_back(s.data());
    }
    p.argv.push_back(nullptr);
    option_context_init(p.ctx, static_cast<int>(p.storage.size()), p.argv.data());
    testing::internal::CaptureStderr();
    parse_options(option_table.data(), static_cast<int>(option_table.size()), p.ctx);
    p.err = testing::internal::GetCapturedStderr();
    return p;
}

TEST(OptionTable, SortedByNameHasSixteenRows) {
    sort_option_table();
    std::string names;
    for (const auto& row : option_table) {
        names += std::string(names.empty() ? "" : " ") + row.name;
    }
    EXPECT_EQ(names, "--device-erase --file --help --inquire --read --reset --serial --speed "
                     "--terminal --test --write -f -h -i -r -w");
}

TEST(OptionContext, Defaults) {
    auto p = parse({});
    EXPECT_EQ(p.ctx.args_left, 0);
    EXPECT_EQ(p.ctx.command, CMD_HELP);
    EXPECT_EQ(p.ctx.error, 0);
    EXPECT_STREQ(p.ctx.serial_port, "/dev/ttyS0");
    EXPECT_EQ(p.ctx.hex_file, nullptr);
    EXPECT_EQ(p.ctx.flash_size, 7680U);
    EXPECT_EQ(p.ctx.baud_rate, 19200);
    EXPECT_EQ(p.ctx.reset_target, 0);
    EXPECT_EQ(p.err, "");
}

// Every name is found alone and with an "=" value; prefixes and extensions are not.
TEST(OptionLookup, EveryNameFoundExactlyAndOnlyInFull) {
    struct expectation {
        const char* name;
        int command; // expected command after the option alone
    };
    const expectation cases[] = {
        {"--device-erase", CMD_DEVICE_ERASE},
        {"--help", CMD_HELP},
        {"--inquire", CMD_INQUIRE},
        {"--read", CMD_READ},
        {"--test", CMD_TEST},
        {"--write", CMD_WRITE},
        {"-h", CMD_HELP},
        {"-i", CMD_INQUIRE},
        {"-r", CMD_READ},
        {"-w", CMD_WRITE},
    };
    for (const auto& c : cases) {
        for (std::string arg : {std::string(c.name), std::string(c.name) + "=x"}) {
            auto p = parse({arg});
            EXPECT_EQ(p.ctx.command, c.command) << arg;
            EXPECT_EQ(p.err, "") << arg;
        }
    }
    EXPECT_EQ(parse({"--reset"}).ctx.reset_target, 1);
    EXPECT_EQ(parse({"--reset=1"}).ctx.reset_target, 1);
    EXPECT_STREQ(parse({"--file=a.hex"}).ctx.hex_file, "a.hex");
    EXPECT_STREQ(parse({"-f=a.hex"}).ctx.hex_file, "a.hex");
    EXPECT_STREQ(parse({"--serial=/dev/x"}).ctx.serial_port, "/dev/x");
    EXPECT_EQ(parse({"--speed=9600"}).ctx.baud_rate, 9600);
    for (std::string arg : {"--terminal", "--terminal=1"}) {
        auto p = parse({"--serial", bad_port, arg});
        EXPECT_EQ(p.err, open_failure) << arg;
        EXPECT_EQ(p.ctx.error, 1);
    }

    sort_option_table();
    for (const auto& row : option_table) {
        std::string name = row.name;
        for (std::string arg : {name.substr(0, name.size() - 1), name + "x", name + "-"}) {
            auto p = parse({arg});
            EXPECT_EQ(p.err, "Unknown option: " + arg + "\n") << arg;
            EXPECT_EQ(p.ctx.command, CMD_NONE) << arg;
            EXPECT_EQ(p.ctx.error, 0) << arg;
        }
    }
}

TEST(OptionLookup, UnrecognisedForms) {
    for (std::string arg : {"-", "--", "-rw", "-fapp.hex", "--READ", "-x", "--rea=1"}) {
        auto p = parse({arg});
        EXPECT_EQ(p.err, "Unknown option: " + arg + "\n");
        EXPECT_EQ(p.ctx.command, CMD_NONE);
        EXPECT_EQ(p.ctx.error, 0);
    }
    // An unknown option after a command leaves the command alone.
    auto p = parse({"-r", "--bogus=1"});
    EXPECT_EQ(p.err, "Unknown option: --bogus=1\n");
    EXPECT_EQ(p.ctx.command, CMD_READ);
}

TEST(OptionValues, SerialPort) {
    auto joined = parse({"--serial=/dev/ttyS1", "x"});
    EXPECT_STREQ(joined.ctx.serial_port, "/dev/ttyS1");
    EXPECT_EQ(joined.ctx.args_left, 0);

    auto next = parse({"--serial", "/dev/ttyS1", "-r"});
    EXPECT_STREQ(next.ctx.serial_port, "/dev/ttyS1");
    EXPECT_EQ(next.ctx.command, CMD_READ);

    auto empty = parse({"--serial="});
    EXPECT_STREQ(empty.ctx.serial_port, "");
    EXPECT_EQ(empty.err, "");
    EXPECT_EQ(empty.ctx.error, 0);

    auto missing = parse({"--serial"});
    EXPECT_EQ(missing.err, "Serial port is required: --serial <path>\n");
    EXPECT_EQ(missing.ctx.error, 1);
    EXPECT_STREQ(missing.ctx.serial_port, "/dev/ttyS0");

    auto before_option = parse({"--serial", "-r"});
    EXPECT_EQ(before_option.err, "Serial port is required: --serial <path>\n");
    EXPECT_EQ(before_option.ctx.command, CMD_READ);

    auto empty_next = parse({"--serial", ""});
    EXPECT_STREQ(empty_next.ctx.serial_port, "");
    EXPECT_EQ(empty_next.ctx.error, 0);

    auto later_wins = parse({"--serial", "/a", "--serial=/b"});
    EXPECT_STREQ(later_wins.ctx.serial_port, "/b");
}

TEST(OptionValues, Speed) {
    struct speed_case {
        std::vector<std::string> args;
        int rate;
        int error;
        const char* err;
        int args_left;
    };
    const char* invalid = "Invalid baud rate: --speed <bits per second>\n";
    const speed_case cases[] = {
        {{"--speed=57600"}, 57600, 0, "", 0},
        {{"--speed", "57600"}, 57600, 0, "", 0},
        {{"--speed", "9600baud"}, 9600, 0, "", 0},
        {{"--speed", " 230400"}, 230400, 0, "", 0},
        {{"--speed", "+300"}, 300, 0, "", 0},
        {{"--speed", "1234"}, 19200, 0, invalid, 0},
        {{"--speed", "abc"}, 19200, 0, invalid, 0},
        {{"--speed="}, 19200, 0, invalid, 0},
        {{"--speed", "1800"}, 19200, 0, invalid, 0},
        {{"--speed", "99999999999999999999999"}, 19200, 0, invalid, 0},
        {{"--speed", "115200", "--speed", "7"}, 115200, 0, invalid, 0},
        {{"--speed"}, 19200, 1, "Baud rate is required: --speed <bits per second>\n", 0},
    };
    for (const auto& c : cases) {
        auto p = parse(c.args);
        EXPECT_EQ(p.ctx.baud_rate, c.rate) << c.args.back();
        EXPECT_EQ(p.ctx.error, c.error) << c.args.back();
        EXPECT_EQ(p.err, c.err) << c.args.back();
        EXPECT_EQ(p.ctx.args_left, c.args_left);
    }
    for (long rate : {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400}) {
        EXPECT_EQ(parse({"--speed", std::to_string(rate)}).ctx.baud_rate, rate);
    }

    auto negative = parse({"--speed", "-9600"});
    EXPECT_EQ(negative.err, "Baud rate is required: --speed <bits per second>\n"
                            "Unknown option: -9600\n");
    EXPECT_EQ(negative.ctx.error, 1);
    EXPECT_EQ(negative.ctx.command, CMD_NONE);
}

TEST(OptionValues, File) {
    auto named = parse({"-f", "app.hex"});
    EXPECT_STREQ(named.ctx.hex_file, "app.hex");
    EXPECT_EQ(named.ctx.command, CMD_NONE);

    auto dash_value = parse({"--file=-x", "-w"});
    EXPECT_STREQ(dash_value.ctx.hex_file, "-x");
    EXPECT_EQ(dash_value.ctx.command, CMD_WRITE);

    auto missing = parse({"-f", "-w"});
    EXPECT_EQ(missing.err, "File name is required: --file <path>\n");
    EXPECT_EQ(missing.ctx.error, 1);
    EXPECT_EQ(missing.ctx.command, CMD_WRITE);
    EXPECT_EQ(missing.ctx.hex_file, nullptr);

    auto missing_at_end = parse({"--file"});
    EXPECT_EQ(missing_at_end.err, "File name is required: --file <path>\n");
    EXPECT_EQ(missing_at_end.ctx.command, CMD_HELP);

    EXPECT_EQ(parse({"-f", "x", "-h"}).ctx.command, CMD_HELP);
    EXPECT_EQ(parse({"-h", "-f", "x"}).ctx.command, CMD_NONE);
    EXPECT_EQ(parse({"-r", "-f", "x"}).ctx.command, CMD_READ);
}

TEST(OptionCommands, LastCommandWinsAndPlainArgumentsAreSkipped) {
    EXPECT_EQ(parse({"-r", "-w"}).ctx.command, CMD_WRITE);
    EXPECT_EQ(parse({"-r", "--help"}).ctx.command, CMD_HELP);
    EXPECT_EQ(parse({"--help", "-r"}).ctx.command, CMD_READ);
    EXPECT_EQ(parse({"-i", "--device-erase"}).ctx.command, CMD_DEVICE_ERASE);
    EXPECT_EQ(parse({"--read=x"}).ctx.command, CMD_READ);

    auto stray = parse({"-w", "app.hex"});
    EXPECT_EQ(stray.ctx.command, CMD_WRITE);
    EXPECT_EQ(stray.ctx.hex_file, nullptr);
    EXPECT_EQ(stray.err, "");

    auto plain = parse({"app.hex", "other"});
    EXPECT_EQ(plain.ctx.command, CMD_HELP);
    EXPECT_EQ(plain.err, "");
}

// The driver, through the real binary.

const std::string usage_text =
    "Vantrel Programmer, v2.1\r\n"
    "\n"
    "commands:\n"
    "    -r --read                           : Read from flash memory\n"
    "    -w --write                          : Write to flash memory\n"
    "       --device-erase                   : Erase flash memory entirely\n"
    "    -i --inquire                        : Inquire target device\n"
    "    -h --help                           : Display this message\n"
    "options:\n"
    "    -f --file <hex file>                : Hex file for serial_write command\n"
    "       --serial <serial port>           : Serial port (default=/dev/ttyS0)\n"
    "       --speed <bits per second>        : Baud rate (default=19200)\n"
    "examples:\n"
    "    vantrel -i\n"
    "    vantrel -r\n"
    "    vantrel -w <hexfile\n"
    "    vantrel -w -f hexfile\n"
    "    vantrel --device-erase\n"
    "    vantrel --serial /dev/ttyS1 --speed 115200 -i\n"
    "\n";

TEST(Driver, UsageTextExactly) {
    for (auto args : std::vector<std::vector<std::string>>{
             {}, {"-h"}, {"--help"}, {"app.hex"}, {"-f", "app.hex", "-h"}, {"--speed", "1234"}}) {
        auto r = run_vantrel(args);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, usage_text);
    }
}

TEST(Driver, ExitStatusAndSilentOutcomes) {
    struct driver_case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    };
    const driver_case cases[] = {
        {{"--bogus"}, 0, "", "Unknown option: --bogus\n"},
        {{"--serial"}, 1, "", "Serial port is required: --serial <path>\n"},
        {{"-f", "app.hex"}, 0, "", ""},
        {{"-h", "-f", "app.hex"}, 0, "", ""},
        {{"--test"}, 0, "", ""},
        {{"-h", "--file"}, 1, "", "File name is required: --file <path>\n"},
        {{"--serial", bad_port, "--reset"}, 1, "", open_failure},
        {{"--serial", bad_port, "-h", "--reset"}, 1, "", open_failure},
        {{"--serial", bad_port, "--test", "--reset"}, 1, "", open_failure},
        {{"--serial", bad_port, "-i"}, 1, "", open_failure},
        {{"--serial", bad_port, "-r"}, 1, "", open_failure},
        // The image is read before the port is opened; standard input is empty here.
        {{"--serial", bad_port, "-w"}, 1, "", "Invalid file format.\n"},
        {{"--serial", bad_port, "--device-erase"}, 1, "", open_failure},
        {{"--serial", bad_port, "-r", "--reset"}, 1, "", open_failure + open_failure},
        // A missing value stops everything that would open a port; an open of bad_port would
        // show in the messages.
        {{"--serial", bad_port, "-i", "--speed"},
         1,
         "",
         "Baud rate is required: --speed <bits per second>\n"},
        {{"--serial", bad_port, "-w", "-f"}, 1, "", "File name is required: --file <path>\n"},
        {{"--serial", bad_port, "-r", "--reset", "--file"},
         1,
         "",
         "File name is required: --file <path>\n"},
        {{"--serial", bad_port, "--speed", "--terminal"},
         1,
         "",
         "Baud rate is required: --speed <bits per second>\n"},
        {{"--serial", bad_port, "-i", "--speed", "1234"},
         1,
         "",
         "Invalid baud rate: --speed <bits per second>\n" + open_failure},
        {{"--serial", bad_port, "-i", "--bogus"},
         1,
         "",
         "Unknown option: --bogus\n" + open_failure},
        // The terminal stops at a port it cannot open, and parsing goes on after it.
        {{"--serial", bad_port, "--terminal"}, 1, "", open_failure},
        {{"--serial", bad_port, "--terminal", "-h"}, 1, "", open_failure},
        {{"--serial", bad_port, "--terminal", "--reset"}, 1, "", open_failure + open_failure},
        {{"--serial", bad_port, "--terminal", "--bogus"},
         1,
         "",
         open_failure + "Unknown option: --bogus\n"},
        {{"--serial", bad_port, "--terminal", "--serial"},
         1,
         "",
         open_failure + "Serial port is required: --serial <path>\n"},
    };
    for (const auto& c : cases) {
        auto r = run_vantrel(c.args);
        std::string shown;
        for (const auto& a : c.args) {
            shown += a + " ";
        }
        EXPECT_EQ(r.exit_status, c.status) << shown;
        EXPECT_EQ(r.out, c.out) << shown;
        EXPECT_EQ(r.err, c.err) << shown;
    }
}

} // namespace
