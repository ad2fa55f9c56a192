// SPDX-License-Identifier: MIT
// The wire trace end to end: the real binary run with VANTREL_TRACE against the emulated
// adapter, its trace held against what the emulator saw, and where the trace goes.
#include "fault_spec.h"
#include "protocol/adapter_protocol.h"
#include "support/clock.h"
#include "support/emulated_line.h"
#include "support/hex.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using sim::fault_kind;
using test_support::read_file;
using test_support::run_options;
using test_support::run_result;

/// A trace taken apart.
struct trace_parts {
    std::vector<std::string> lines;
    int headers = 0;
    std::vector<std::string> exchanges; // "NAME frame -> reply", as vantrel-emu --trace says it
    bytes sent;
    bytes received; // replies and drained bytes, in order
};

bytes hex_bytes(const std::string& text) {
    bytes out;
    std::istringstream in(text);
    unsigned b = 0;
    while (in >> std::hex >> b) {
        out.push_back(static_cast<uint8_t>(b));
    }
    return out;
}

trace_parts parse_trace(const std::string& text) {
    trace_parts t;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        t.lines.push_back(line);
        t.headers += line.starts_with("# vantrel trace, pid ") ? 1 : 0;
        std::vector<std::string> fields;
        for (std::size_t at = 0, bar = 0; bar != std::string::npos; at = bar + 3) {
            bar = line.find(" | ", at);
            fields.push_back(line.substr(at, bar - at));
        }
        if (fields.size() < 2) {
            continue;
        }
        const std::string& what = fields[1];
        const std::size_t arrow = what.find(" -> ");
        const bytes reply = arrow == std::string::npos || what.ends_with("(no reply)")
                                ? bytes{}
                                : hex_bytes(what.substr(arrow + 4));
        const bool exchange = fields.size() == 4 && fields[2].starts_with("sent");
        if (exchange) {
            t.exchanges.push_back(what);
            const bytes sent = hex_bytes(fields[2].substr(4));
            t.sent.insert(t.sent.end(), sent.begin(), sent.end());
        }
        if (exchange || what.starts_with("drain")) {
            t.received.insert(t.received.end(), reply.begin(), reply.end());
        }
    }
    return t;
}

bool has_line_with(const trace_parts& t, const std::string& part) {
    return std::any_of(t.lines.begin(), t.lines.end(), [&](const std::string& line) {
        return line.find(part) != std::string::npos;
    });
}

// The one table that the program, the emulator and the trace share, and the C2 bytes beside it,
// against the adapter's and the chip's bytes written out by hand: a wrong byte there would pass
// every run against the emulator.
TEST(wire_trace, CommandBytesAndNamesAreTheAdapters) {
    const std::string expected = "01 IDENTIFY,10 TARGET_RESET,11 ADDRESS_WRITE,12 ADDRESS_READ,"
                                 "13 DATA_WRITE,14 DATA_READ,15 BLOCK_FETCH,16 BLOCK_SUM,"
                                 "20 PROGRAM_MODE,21 BLOCK_WRITE,22 BLOCK_READ,3F QUERY,";
    std::string table;
    for (int b = 0; b < 256; ++b) {
        if (const char* name = adapter_command_name(static_cast<uint8_t>(b))) {
            std::array<char, 4> digits{};
            std::snprintf(digits.data(), digits.size(), "%02X ", b);
            table += digits.data() + std::string(name) + ",";
        }
    }
    EXPECT_EQ(table, expected);
    EXPECT_EQ(
        (std::vector<int>{C2_DEVICE_ID_REGISTER, C2_REVISION_ID_REGISTER, C2_FLASH_DATA_REGISTER,
                          C2_DEVICE_ERASE, C2_ERASE_ACCEPTED, C2_ERASE_KEY[0], C2_ERASE_KEY[1],
                          C2_ERASE_KEY[2], QUERY_ERASE_DONE, PROGRAM_MODE_ENTERED, BLOCK_WRITE_DONE,
                          C2_OUT_READY, C2_IN_BUSY, C8051F30X_DEVICE_ID}),
        (std::vector<int>{0x00, 0x01, 0xB4, 0x03, 0x0D, 0xDE, 0xAD, 0xA5, 0x21, 0x00, 0x00, 0x01,
                          0x02, 0x04}));
}

struct write_case {
    const char* name;
    std::vector<sim::fault> faults;
    bytes stale; // waiting on the line before the run
    std::vector<std::string> lines_with;
};

TEST(wire_trace, WriteTracedAsTheEmulatorSawItWithoutChangingTheRun) {
    const std::vector<write_case> cases = {
        {"clean",
         {},
         {},
         {"| open ", "speed asked 115200, set 115200; low latency ",
          "| drain | nothing to throw away, quiet after ",
          "| ADDRESS_WRITE 0xB4 | sent 00 C0 B4 11 | no reply awaited",
          "| first block blank or unreadable: marking it for the erase",
          "| BLOCK_WRITE 0x0010 16 bytes -> 00 | sent 00 ", "| reply in ",
          // A fetch queued behind its block read: both replies in one round trip.
          "| BLOCK_READ 0x0010 16 bytes -> 00 | sent 00 80 80 90 90 22 | BLOCK_FETCH queued "
          "behind it",
          "| BLOCK_FETCH -> 00 71 78 7F 86 8D 94 9B A2 A9 B0 B7 BE C5 CC D3 DA 00 | sent 15, "
          "queued | reply in ",
          "| in-step check: passed", "us draining; turnaround median ",
          "| end of run: exit status 0"}},
        {"stale bytes, a lost answer and a retry",
         {test_support::command_fault(fault_kind::no_reply, ADP_PROGRAM_MODE, 1),
          test_support::block_fault(fault_kind::short_fetch, 0x0010, 1)},
         {0x55, 0xAA},
         {"| drain -> 55 AA | threw away 2 bytes, quiet after ",
          "| PROGRAM_MODE -> (no reply) | sent 20 | no reply within 100 ms",
          "| 0010: block failed, retry (1) from 0000", "(2 of them drained)",
          "| end of run: exit status 0"}},
    };
    test_support::flash_array image = test_support::erased_flash();
    for (unsigned i = 0; i < 32; ++i) {
        image[i] = static_cast<uint8_t>(i * 7 + 1);
    }
    for (const write_case& c : cases) {
        SCOPED_TRACE(c.name);
        test_support::temp_dir dir;
        test_support::write_file(dir.file("app.hex"), sim::hex_text(image, 0, 0x10000));
        run_result runs[2];
        bytes to_adapter[2], from_adapter[2];
        std::mutex seen_mutex;
        std::vector<std::string> seen; // the emulator's own trace of the traced run
        for (const bool traced : {false, true}) {
            test_support::emulated_line line;
            line.emu.set_trace([&](const sim::exchange& e) {
                const std::lock_guard<std::mutex> lock(seen_mutex);
                seen.push_back(sim::describe_exchange(e));
            });
            for (const sim::fault& f : c.faults) {
                line.emu.add_fault(f);
            }
            line.emu.inject(c.stale);
            run_options options;
            if (traced) {
                seen.clear();
                options.env = {"VANTREL_TRACE=" + dir.file("trace")};
            }
            runs[traced] =
                line.run({"--speed", "115200", "-w", "-f", dir.file("app.hex")}, options);
            to_adapter[traced] = line.emu.received();
            from_adapter[traced] = line.emu.sent();
        }
        EXPECT_EQ(runs[1].exit_status, runs[0].exit_status);
        EXPECT_EQ(runs[1].out, runs[0].out);
        EXPECT_EQ(runs[1].err, runs[0].err);
        EXPECT_EQ(to_adapter[1], to_adapter[0]);
        EXPECT_EQ(from_adapter[1], from_adapter[0]);

        const trace_parts t = parse_trace(read_file(dir.file("trace")));
        ASSERT_FALSE(t.lines.empty());
        EXPECT_TRUE(t.lines.front().starts_with("# vantrel trace, pid ")) << t.lines.front();
        EXPECT_EQ(t.headers, 1);
        EXPECT_EQ(t.exchanges, seen);
        EXPECT_EQ(t.sent, to_adapter[1]);
        EXPECT_EQ(t.received, from_adapter[1]);
        EXPECT_TRUE(has_line_with(t, "| close: " + std::to_string(seen.size()) + " exchanges in "));
        for (const std::string& part : c.lines_with) {
            EXPECT_TRUE(has_line_with(t, part)) << part;
        }
    }
}

TEST(wire_trace, AppendedToAFileOrOnStandardErrorOrRefusedWithOneWarning) {
    test_support::temp_dir dir;
    test_support::emulated_line line;
    const std::vector<std::string> erase = {"--device-erase"};
    const run_result untraced = line.run(erase);
    for (const char* off : {"VANTREL_TRACE=", "VANTREL_TRACE=0"}) {
        EXPECT_EQ(line.run(erase, {.env = {off}}).err, untraced.err) << off;
    }

    const std::string file = dir.file("trace");
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(line.run(erase, {.env = {"VANTREL_TRACE=" + file}}).err, untraced.err);
    }
    const trace_parts shared = parse_trace(read_file(file));
    EXPECT_EQ(shared.headers, 2);
    EXPECT_EQ(std::count_if(
                  shared.lines.begin(), shared.lines.end(),
                  [](const std::string& l) { return l.ends_with("| end of run: exit status 0"); }),
              2);

    const run_result on_stderr = line.run(erase, {.env = {"VANTREL_TRACE=2"}});
    EXPECT_TRUE(on_stderr.err.starts_with("# vantrel trace, pid ")) << on_stderr.err;
    EXPECT_TRUE(on_stderr.err.ends_with("| end of run: exit status 0\n")) << on_stderr.err;

    const std::string unwritable = dir.file("missing/trace");
    const run_result refused = line.run(erase, {.env = {"VANTREL_TRACE=" + unwritable}});
    EXPECT_EQ(refused.exit_status, untraced.exit_status);
    EXPECT_EQ(refused.err, "Cannot write the trace to " + unwritable +
                               ": No such file or directory; going on without it.\n" +
                               untraced.err);
}

TEST(wire_trace, AFileItMustNotWriteIsRefusedAndAFailingOneEndsTheTraceNeverTheRun) {
    struct path_case {
        const char* name;
        std::string trace;       // in the run's directory, or absolute; "": the serial port
        std::string command;     // "-w" writes app.hex
        std::string warning;     // after "Cannot write the trace to <path>"; "": none
        int stream = -1;         // the standard descriptor redirected to the trace's file
        bool size_limit = false; // the run may write no file beyond 1024 bytes
    };
    const std::string refused = "; going on without it.\n";
    const std::vector<path_case> cases = {
        {"the serial port", "", "-i", ": it is the serial port" + refused},
        {"a FIFO with no reader", "fifo", "-i", ": it is not a regular file" + refused},
        {"the HEX input", "app.hex", "-w", ": it is the HEX input" + refused},
        {"/dev/full", "/dev/full", "-i", ": it is not a regular file" + refused},
        {"a symbolic link to a file", "link", "-i", ": it is a symbolic link" + refused},
        {"a directory", ".", "-i", ": it is not a regular file" + refused},
        {"standard input", "kept", "-i", ": it is standard input" + refused, STDIN_FILENO},
        {"standard output", "out", "-i", ": it is standard output" + refused, STDOUT_FILENO},
        {"standard error", "err", "-i", ": it is standard error" + refused, STDERR_FILENO},
        {"a new file", "new.trace", "-w", ""},
        {"a file that fills up", "full.trace", "-w", ": File too large; the trace ends here.\n", -1,
         true},
    };
    test_support::flash_array image = test_support::erased_flash();
    std::fill(image.begin(), image.begin() + 48, 0x5A);
    const std::string hex = sim::hex_text(image, 0, 0x10000);
    const test_support::flash_array erased = test_support::erased_flash();
    test_support::side_by_side(cases, [&](const path_case& c) {
        SCOPED_TRACE(c.name);
        test_support::temp_dir dir;
        test_support::write_file(dir.file("app.hex"), hex);
        test_support::write_file(dir.file("kept"), "kept\n");
        ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
        ASSERT_EQ(symlink("kept", dir.file("link").c_str()), 0);
        test_support::emulated_line line;
        const std::string trace = c.trace.empty()            ? line.emu.slave_path()
                                  : c.trace.starts_with("/") ? c.trace
                                                             : dir.file(c.trace);
        std::vector<std::string> args{c.command};
        if (c.command == "-w") {
            args.insert(args.end(), {"--speed", "115200", "-f", dir.file("app.hex")});
        }
        run_result runs[2];
        bytes on_line[2];
        for (const bool traced : {false, true}) {
            line.emu.set_flash(0, bytes(erased.begin(), erased.begin() + 0x1E00));
            line.emu.clear_transcript();
            const std::string stream_file = traced ? trace : dir.file("untraced");
            run_options options{.stdin_file = c.stream == STDIN_FILENO ? trace : "",
                                .stdout_file = c.stream == STDOUT_FILENO ? stream_file : "",
                                .stderr_file = c.stream == STDERR_FILENO ? stream_file : ""};
            if (traced) {
                options.env = {"VANTREL_TRACE=" + trace};
                if (c.size_limit) {
                    line.program = {"/bin/sh", "-c", "ulimit -f 2; exec \"$0\" \"$@\"",
                                    test_support::vantrel_binary()};
                }
            }
            runs[traced] = line.run(args, options);
            if (!options.stdout_file.empty()) {
                runs[traced].out = read_file(options.stdout_file);
            }
            if (!options.stderr_file.empty()) {
                runs[traced].err = read_file(options.stderr_file);
            }
            on_line[traced] = line.emu.received();
        }
        EXPECT_EQ(runs[1].exit_status, runs[0].exit_status);
        EXPECT_EQ(runs[1].out, runs[0].out);
        EXPECT_EQ(on_line[1], on_line[0]);
        EXPECT_EQ(read_file(dir.file("app.hex")), hex);
        EXPECT_EQ(read_file(dir.file("kept")), "kept\n");
        // The warning once, and otherwise standard error as without the trace.
        std::string err = runs[1].err;
        const std::string warning =
            c.warning.empty() ? "" : "Cannot write the trace to " + trace + c.warning;
        const std::size_t at = err.find(warning);
        ASSERT_NE(at, std::string::npos) << err;
        EXPECT_EQ(err.erase(at, warning.size()), runs[0].err);
        if (c.warning.empty() || c.size_limit) {
            struct stat found {};
            ASSERT_EQ(stat(trace.c_str(), &found), 0);
            EXPECT_EQ(found.st_mode & 0777, 0600U);
            const std::string text = read_file(trace);
            EXPECT_TRUE(text.starts_with("# vantrel trace, pid ")) << text;
            EXPECT_EQ(text.ends_with("| end of run: exit status 0\n"), !c.size_limit) << text;
        }
    });
}

TEST(wire_trace, ARunEndedBySignalLeavesItsLastExchangeItsNoteAndItsSummary) {
    test_support::flash_array image = test_support::erased_flash();
    std::fill(image.begin(), image.begin() + 1024, 0x5A);
    test_support::temp_dir dir;
    test_support::write_file(dir.file("app.hex"), sim::hex_text(image, 0, 0x10000));
    sim::config paced;
    paced.baud_pacing = true; // 64 blocks at 9600 bit/s: seconds of writing
    test_support::emulated_line line(paced);
    test_support::child_process run(
        test_support::vantrel_binary(),
        {"--serial", line.emu.slave_path(), "--speed", "9600", "-w", "-f", dir.file("app.hex")},
        {.env = {"VANTREL_TRACE=" + dir.file("trace")}});
    ASSERT_TRUE(
        test_support::wait_for([&line] { return line.emu.command_count(ADP_BLOCK_WRITE) >= 10; },
                               std::chrono::seconds(20)));
    run.signal(SIGTERM);
    const run_result r = run.finish(20);
    EXPECT_EQ(r.term_signal, SIGTERM);

    const trace_parts t = parse_trace(read_file(dir.file("trace")));
    ASSERT_GE(t.lines.size(), 4U);
    const auto last = t.lines.end() - 4;
    EXPECT_TRUE(last[0].find(" | sent ") != std::string::npos &&
                last[0].find(" | interrupted after ") != std::string::npos &&
                last[0].ends_with(" us"))
        << last[0];
    EXPECT_TRUE(last[1].ends_with(
        "| Interrupted: the chip is left partly erased or written; write it again."))
        << last[1];
    EXPECT_TRUE(last[2].find("| close: ") != std::string::npos) << last[2];
    EXPECT_TRUE(last[3].ends_with("| end of run: ended by signal 15")) << last[3];
    // The trace holds the bytes sent, the cut exchange's among them (what follows on the line
    // is the terminal's echo once its settings are back).
    test_support::wait_until_steady([&line] { return line.emu.received().size(); },
                                    std::chrono::milliseconds(50), std::chrono::seconds(2));
    const bytes on_line = line.emu.received();
    EXPECT_TRUE(on_line.size() >= t.sent.size() &&
                std::equal(t.sent.begin(), t.sent.end(), on_line.begin()));
}

} // namespace
