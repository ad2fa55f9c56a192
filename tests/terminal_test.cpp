// SPDX-License-Identifier: MIT
// The terminal on the emulated line, driven the way a person would: the program's standard
// input is a pseudo-terminal that the test types into (and whose settings it inspects), with
// that terminal as the program's controlling terminal so that the interrupt key works.
#include "support/clock.h"
#include "support/counters.h"
#include "support/emulated_line.h"
#include "support/process.h"
#include "support/pty.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;
using test_support::wait_for;

/// Generous bound on anything the program should do promptly; a slow machine only waits longer.
constexpr auto PROMPT_BOUND = 20s;
constexpr double PROMPT_BOUND_S = 20;

bytes as_bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

struct session_options {
    std::vector<std::string> args;
    std::string stdin_file;                       // empty: the test's terminal
    std::string stdout_file;                      // empty: the test's terminal
    std::function<void(termios&)> terminal_setup; // applied to the terminal before the start
    std::vector<std::string> env{};               // "NAME=value" added to the environment
};

/// vantrel on a pseudo-terminal of the test's own: the child leads a session with the
/// terminal as its controlling terminal; standard error always goes to a file.
class terminal_session {
  public:
    explicit terminal_session(const session_options& options)
        : err_file_(dir_.file("err")), child_(start(options)) {}

    pid_t pid() const { return child_.pid(); }
    void signal(int signal_number) const { child_.signal(signal_number); }

    /// The settings of the test's terminal, as the program left them or sees them.
    termios terminal_settings() const {
        termios settings{};
        tcgetattr(terminal_.slave(), &settings);
        return settings;
    }

    /// True once the program has taken its terminal out of canonical mode (the port is open
    /// by then and the signal handling in place).
    bool wait_until_raw() const {
        return wait_for([this] { return (terminal_settings().c_lflag & ICANON) == 0; },
                        PROMPT_BOUND);
    }

    void type(const std::string& keys) const { ASSERT_TRUE(terminal_.send(as_bytes(keys))); }

    /// What the program wrote to the terminal within the time given (bounded, never blocks).
    std::string screen(std::chrono::milliseconds quiet_for = 200ms) {
        const test_support::deadline end(quiet_for);
        while (!end.passed()) {
            const bytes got = terminal_.receive(end.left_ms());
            if (got.empty()) {
                break;
            }
            screen_.append(got.begin(), got.end());
        }
        return screen_;
    }

    /// Reads the terminal until it holds at least count bytes, or the bound passes.
    std::string screen_at_least(std::size_t count) {
        wait_for([&] { return screen(10ms).size() >= count; }, PROMPT_BOUND);
        return screen_;
    }

    /// How the program ended; timed_out when it is still running after the bound (it is
    /// killed at destruction).
    test_support::run_result wait_exit() {
        if (!child_.ended(PROMPT_BOUND_S)) {
            return {.timed_out = true};
        }
        return child_.finish(PROMPT_BOUND_S);
    }

    bool running() { return !child_.ended(0); }

    std::string err() const { return test_support::read_file(err_file_); }

  private:
    /// Sets the terminal up, then starts the program on it.
    test_support::child_process start(const session_options& options) {
        termios settings = terminal_settings();
        if (options.terminal_setup) {
            options.terminal_setup(settings);
        }
        tcsetattr(terminal_.slave(), TCSANOW, &settings);
        const auto or_terminal = [this](const std::string& file) {
            return file.empty() ? terminal_.path() : file;
        };
        return {test_support::vantrel_binary(),
                options.args,
                {.stdin_file = or_terminal(options.stdin_file),
                 .stdout_file = or_terminal(options.stdout_file),
                 .stderr_file = err_file_,
                 .new_session = true,
                 .env = options.env}};
    }

    test_support::pty_pair terminal_{false};
    test_support::temp_dir dir_;
    std::string err_file_;
    test_support::child_process child_;
    std::string screen_; // everything read from the terminal so far
};

class terminal_mode_test : public ::testing::Test {
  protected:
    std::vector<std::string> terminal_args() const {
        return {"--serial", emu_.slave_path(), "--terminal"};
    }

    bool line_received(const bytes& expected) {
        return wait_for([&] { return emu_.received().size() >= expected.size(); }, PROMPT_BOUND) &&
               emu_.received() == expected;
    }

    test_support::emulated_line line_;
    sim::emulator& emu_ = line_.emu;
};

bool canonical_with_echo(const termios& settings) {
    return (settings.c_lflag & ICANON) != 0 && (settings.c_lflag & ECHO) != 0;
}

TEST_F(terminal_mode_test, TypedKeysReachTheLineUnechoed) {
    struct typing_case {
        const char* name;
        bool carriage_return_to_line_feed; // the terminal's ICRNL
        std::string typed;
        std::string on_line;
    };
    const std::vector<typing_case> cases = {
        {"Return key", true, "hi\r", "hi\r"},
        {"line feed key", true, "x\ny", "x\ry"},
        {"carriage return untranslated", false, "a\rb\nc", "a\rb\rc"},
        {"end-of-file key is a byte", true, "\x04z", "\x04z"},
        {"erase keys are bytes", true, "ab\x7f\x08", "ab\x7f\x08"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        emu_.clear_transcript();
        session_options options{terminal_args(), "", "", nullptr};
        const bool icrnl = c.carriage_return_to_line_feed;
        options.terminal_setup = [icrnl](termios& t) {
            t.c_iflag = icrnl ? (t.c_iflag | ICRNL) : (t.c_iflag & ~ICRNL);
        };
        terminal_session session(options);
        ASSERT_TRUE(session.wait_until_raw()) << session.err();
        const termios raw = session.terminal_settings();
        EXPECT_EQ(raw.c_lflag & (ICANON | ECHO), 0U);
        EXPECT_NE(raw.c_lflag & ISIG, 0U);
        EXPECT_EQ(raw.c_iflag & ICRNL, icrnl ? tcflag_t{ICRNL} : tcflag_t{0});
        EXPECT_EQ(raw.c_cc[VMIN], 1);
        EXPECT_EQ(raw.c_cc[VTIME], 0);

        session.type(c.typed);
        EXPECT_TRUE(line_received(as_bytes(c.on_line)));
        EXPECT_EQ(session.screen(), "") << "typed keys echoed locally";
        EXPECT_TRUE(session.running());
    }
}

TEST_F(terminal_mode_test, PasteArrivesWholeAndInOrder) {
    std::string paste;
    const std::string letters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int i = 0; i < 200; ++i) {
        paste += letters[static_cast<std::size_t>(i * 7) % letters.size()];
    }
    terminal_session session({terminal_args(), "", "", nullptr});
    ASSERT_TRUE(session.wait_until_raw()) << session.err();
    session.type(paste);
    EXPECT_TRUE(line_received(as_bytes(paste)));
}

TEST_F(terminal_mode_test, LineBytesReachTheScreenUnchanged) {
    terminal_session session({terminal_args(), "", "", nullptr});
    ASSERT_TRUE(session.wait_until_raw()) << session.err();
    const std::string sent("\x00\x0d\xff"
                           "A\x1b[\x7f",
                           7);
    emu_.inject(as_bytes(sent));
    EXPECT_EQ(session.screen_at_least(sent.size()), sent);
}

TEST_F(terminal_mode_test, EndingSignalsPutBothSettingsBack) {
    struct ending_case {
        const char* name;
        std::function<void(terminal_session&)> end;
        int signal_number;
    };
    const std::vector<ending_case> cases = {
        {"interrupt key", [](terminal_session& s) { s.type("\x03"); }, SIGINT},
        {"SIGTERM", [](terminal_session& s) { s.signal(SIGTERM); }, SIGTERM},
        {"SIGHUP", [](terminal_session& s) { s.signal(SIGHUP); }, SIGHUP},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        emu_.clear_transcript();
        terminal_session session({terminal_args(), "", "", nullptr});
        ASSERT_TRUE(session.wait_until_raw()) << session.err();
        ASSERT_FALSE(line_.settings_restored()) << "the line was not set up";
        c.end(session);
        const auto ended = session.wait_exit();
        ASSERT_FALSE(ended.timed_out) << "still running";
        EXPECT_EQ(ended.term_signal, c.signal_number) << "exit status " << ended.exit_status;
        EXPECT_TRUE(canonical_with_echo(session.terminal_settings()));
        EXPECT_TRUE(line_.settings_restored());
        EXPECT_TRUE(emu_.received().empty());
    }
}

TEST_F(terminal_mode_test, TraceHoldsKeysAndScreenAsTheyPassTheLastKeyIncluded) {
    const test_support::temp_dir dir;
    const std::string trace = dir.file("trace");
    terminal_session session({terminal_args(), "", "", nullptr, {"VANTREL_TRACE=" + trace}});
    ASSERT_TRUE(session.wait_until_raw()) << session.err();
    session.type("\r");
    ASSERT_TRUE(line_received(as_bytes("\r")));
    emu_.inject(as_bytes("!"));
    EXPECT_EQ(session.screen_at_least(1), "!");
    session.type("x");
    EXPECT_TRUE(
        wait_for([&] { return test_support::read_file(trace).ends_with("| keys | sent 78\n"); },
                 PROMPT_BOUND));
    session.signal(SIGTERM);
    ASSERT_FALSE(session.wait_exit().timed_out);

    std::vector<std::string> lines; // past the header and the open line, without the times
    std::istringstream text(test_support::read_file(trace));
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line.substr(line.find(" | ") + 3));
    }
    ASSERT_GE(lines.size(), 2U);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()),
              std::vector<std::string>(
                  {"keys | sent 0D", "screen -> 21", "keys | sent 78",
                   "close: 0 exchanges in 0 round trips; 2 bytes sent, 1 received (0 of them "
                   "drained); 0 us waiting "
                   "for replies, 0 us draining; no complete reply",
                   "end of run: ended by signal 15"}));
}

TEST_F(terminal_mode_test, SpeedInEffectWhenTheOptionIsReached) {
    termios line{};
    tcgetattr(emu_.settings_fd(), &line);
    cfsetospeed(&line, B9600);
    cfsetispeed(&line, B9600);
    tcsetattr(emu_.settings_fd(), TCSANOW, &line);
    line_.keep_settings();

    struct speed_case {
        std::vector<std::string> args;
        speed_t expected;
    };
    const std::string port = emu_.slave_path();
    const std::vector<speed_case> cases = {
        {{"--serial", port, "--speed", "115200", "--terminal"}, B115200},
        {{"--serial", port, "--terminal", "--speed", "115200"}, B19200},
        {{"--serial", port, "--speed", "300", "--terminal", "--speed", "57600"}, B300},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[3]);
        terminal_session session({c.args, "", "", nullptr});
        ASSERT_TRUE(session.wait_until_raw()) << session.err();
        termios running{};
        tcgetattr(emu_.settings_fd(), &running);
        EXPECT_EQ(cfgetospeed(&running), c.expected);
        EXPECT_EQ(cfgetispeed(&running), c.expected);
        session.signal(SIGTERM);
        ASSERT_FALSE(session.wait_exit().timed_out);
        EXPECT_TRUE(line_.settings_restored());
    }
}

TEST_F(terminal_mode_test, FileInputIsSentThenTheLineKeepsBeingCopiedWithoutSpinning) {
    const test_support::temp_dir dir;
    const std::string in_file = dir.file("in");
    const std::string out_file = dir.file("out");
    test_support::write_file(in_file, "one\ntwo\rthree\r\n");

    terminal_session program({terminal_args(), in_file, out_file, nullptr});
    ASSERT_TRUE(line_received(as_bytes("one\rtwo\rthree\r\r"))) << program.err();

    // Standard input is at its end: the program must now sleep in its wait.
    const long before = test_support::cpu_ticks(program.pid());
    std::this_thread::sleep_for(1s);
    const long after = test_support::cpu_ticks(program.pid());
    ASSERT_GE(before, 0);
    EXPECT_LT(after - before, sysconf(_SC_CLK_TCK) / 5) << "busy while idle";

    std::string all_bytes;
    for (int value = 0; value < 256; ++value) {
        all_bytes += static_cast<char>(value);
    }
    emu_.inject(as_bytes(all_bytes));
    EXPECT_TRUE(
        wait_for([&] { return test_support::read_file(out_file).size() >= 256; }, PROMPT_BOUND));
    EXPECT_EQ(test_support::read_file(out_file), all_bytes);
    EXPECT_TRUE(program.running());
}

TEST_F(terminal_mode_test, LostLineEndsWithStatusOneAndPutsTheTerminalBack) {
    terminal_session session({terminal_args(), "", "", nullptr});
    ASSERT_TRUE(session.wait_until_raw()) << session.err();
    emu_.inject(as_bytes("last words"));
    EXPECT_EQ(session.screen_at_least(10), "last words");
    emu_.hang_up();
    const auto ended = session.wait_exit();
    ASSERT_FALSE(ended.timed_out) << "still running after the line went away";
    EXPECT_EQ(ended.exit_status, 1);
    EXPECT_EQ(session.err(), "Connection lost: " + emu_.slave_path() + "\n");
    EXPECT_TRUE(canonical_with_echo(session.terminal_settings()));
}

} // namespace
