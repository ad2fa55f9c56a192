// The terminal on the emulated line, driven the way a person would: the program's standard
// input is a pseudo-terminal that the test types into (and whose settings it inspects), with
// that terminal as the program's controlling terminal so that the interrupt key works.
#include "emulator.h"
#include "support/process.h"

#include "support/line_settings.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;
using steady = std::chrono::steady_clock;

/// Generous bound on anything the program should do promptly; a slow machine only waits longer.
constexpr auto PROMPT_BOUND = 20s;

bytes as_bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds bound = PROMPT_BOUND) {
    const auto deadline = steady::now() + bound;
    while (!done()) {
        if (steady::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

using test_support::same_settings;

/// User and system CPU time of a process in clock ticks, from /proc/<pid>/stat; -1 if unreadable.
long cpu_ticks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(line.substr(close + 2));
    std::vector<std::string> values;
    for (std::string value; fields >> value;) {
        values.push_back(value);
    }
    // After the command name: state is the 3rd field, utime the 14th, stime the 15th.
    if (values.size() < 13) {
        return -1;
    }
    return std::stol(values[11]) + std::stol(values[12]);
}

struct session_options {
    std::vector<std::string> args;
    std::string stdin_file;                       // empty: the test's terminal
    std::string stdout_file;                      // empty: the test's terminal
    std::function<void(termios&)> terminal_setup; // applied to the terminal before the start
};

/// vantrel on a pseudo-terminal of the test's own: the child is a session leader with the
/// slave as its controlling terminal; standard error always goes to a file.
class terminal_session {
  public:
    explicit terminal_session(const session_options& options) : err_file_(dir_.file("err")) {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error("openpty failed");
        }
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(slave_, F_SETFD, FD_CLOEXEC);
        termios settings{};
        tcgetattr(slave_, &settings);
        if (options.terminal_setup) {
            options.terminal_setup(settings);
        }
        tcsetattr(slave_, TCSANOW, &settings);

        // Everything the child needs is prepared here: after fork only async-signal-safe calls.
        std::vector<std::string> args{test_support::vantrel_binary()};
        args.insert(args.end(), options.args.begin(), options.args.end());
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const int err_fd = open(err_file_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int in_fd = options.stdin_file.empty()
                              ? slave_
                              : open(options.stdin_file.c_str(), O_RDONLY | O_CLOEXEC);
        const int out_fd =
            options.stdout_file.empty()
                ? slave_
                : open(options.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (err_fd < 0 || in_fd < 0 || out_fd < 0) {
            throw std::runtime_error("cannot open the child's files");
        }
        pid_ = fork();
        if (pid_ == 0) {
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
                signal(signal_number, SIG_DFL);
            }
            setsid();
            ioctl(slave_, TIOCSCTTY, 0);
            dup2(in_fd, 0);
            dup2(out_fd, 1);
            dup2(err_fd, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(err_fd);
        if (in_fd != slave_) {
            close(in_fd);
        }
        if (out_fd != slave_) {
            close(out_fd);
        }
    }

    ~terminal_session() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(master_);
        close(slave_);
    }

    terminal_session(const terminal_session&) = delete;
    terminal_session& operator=(const terminal_session&) = delete;

    pid_t pid() const { return pid_; }

    /// The settings of the test's terminal, as the program left them or sees them.
    termios terminal_settings() const {
        termios settings{};
        tcgetattr(slave_, &settings);
        return settings;
    }

    /// True once the program has taken its terminal out of canonical mode (the port is open
    /// by then and the signal handling in place).
    bool wait_until_raw() const {
        return wait_for([this] { return (terminal_settings().c_lflag & ICANON) == 0; });
    }

    void type(const std::string& keys) const {
        ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    }

    /// What the program wrote to the terminal within the time given (bounded, never blocks).
    std::string screen(std::chrono::milliseconds quiet_for = 200ms) {
        const auto deadline = steady::now() + quiet_for;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd entry{master_, POLLIN, 0};
            if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
                break;
            }
            char chunk[256];
            const ssize_t got = read(master_, chunk, sizeof chunk);
            if (got <= 0) {
                break;
            }
            screen_.append(chunk, static_cast<std::size_t>(got));
        }
        return screen_;
    }

    /// Reads the terminal until it holds at least count bytes, or the bound passes.
    std::string screen_at_least(std::size_t count) {
        wait_for([&] { return screen(10ms).size() >= count; });
        return screen_;
    }

    /// The wait status once the program has ended; nullopt when it is still running after
    /// the bound (it is killed at destruction).
    std::optional<int> wait_exit(std::chrono::milliseconds bound = PROMPT_BOUND) {
        wait_for(
            [this] {
                int status = 0;
                if (waitpid(pid_, &status, WNOHANG) == pid_) {
                    status_ = status;
                }
                return status_.has_value();
            },
            bound);
        return status_;
    }

    bool running() { return !wait_exit(0ms).has_value(); }

    std::string err() const { return test_support::read_file(err_file_); }

  private:
    test_support::temp_dir dir_;
    std::string err_file_;
    int master_ = -1;
    int slave_ = -1;
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string screen_; // everything read from the terminal so far
};

class terminal_mode_test : public ::testing::Test {
  protected:
    void SetUp() override {
        emu_.start();
        tcgetattr(emu_.settings_fd(), &line_found_);
    }

    std::vector<std::string> terminal_args(std::vector<std::string> before = {}) const {
        before.insert(before.begin(), {"--serial", emu_.slave_path()});
        before.emplace_back("--terminal");
        return before;
    }

    bool line_received(const bytes& expected) {
        return wait_for([&] { return emu_.received().size() >= expected.size(); }) &&
               emu_.received() == expected;
    }

    bool line_settings_restored() const {
        termios now{};
        tcgetattr(emu_.settings_fd(), &now);
        return same_settings(now, line_found_);
    }

    sim::emulator emu_;
    termios line_found_{};
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
        {"SIGTERM", [](terminal_session& s) { kill(s.pid(), SIGTERM); }, SIGTERM},
        {"SIGHUP", [](terminal_session& s) { kill(s.pid(), SIGHUP); }, SIGHUP},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        emu_.clear_transcript();
        terminal_session session({terminal_args(), "", "", nullptr});
        ASSERT_TRUE(session.wait_until_raw()) << session.err();
        ASSERT_FALSE(line_settings_restored()) << "the line was not set up";
        c.end(session);
        const auto status = session.wait_exit();
        ASSERT_TRUE(status.has_value()) << "still running";
        ASSERT_TRUE(WIFSIGNALED(*status)) << "exit status " << WEXITSTATUS(*status);
        EXPECT_EQ(WTERMSIG(*status), c.signal_number);
        EXPECT_TRUE(canonical_with_echo(session.terminal_settings()));
        EXPECT_TRUE(line_settings_restored());
        EXPECT_TRUE(emu_.received().empty());
    }
}

TEST_F(terminal_mode_test, SpeedInEffectWhenTheOptionIsReached) {
    termios line{};
    tcgetattr(emu_.settings_fd(), &line);
    cfsetospeed(&line, B9600);
    cfsetispeed(&line, B9600);
    tcsetattr(emu_.settings_fd(), TCSANOW, &line);
    tcgetattr(emu_.settings_fd(), &line_found_);

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
        kill(session.pid(), SIGTERM);
        ASSERT_TRUE(session.wait_exit().has_value());
        EXPECT_TRUE(line_settings_restored());
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
    const long before = cpu_ticks(program.pid());
    std::this_thread::sleep_for(1s);
    const long after = cpu_ticks(program.pid());
    ASSERT_GE(before, 0);
    EXPECT_LT(after - before, sysconf(_SC_CLK_TCK) / 5) << "busy while idle";

    std::string all_bytes;
    for (int value = 0; value < 256; ++value) {
        all_bytes += static_cast<char>(value);
    }
    emu_.inject(as_bytes(all_bytes));
    EXPECT_TRUE(wait_for([&] { return test_support::read_file(out_file).size() >= 256; }));
    EXPECT_EQ(test_support::read_file(out_file), all_bytes);
    EXPECT_TRUE(program.running());
}

TEST_F(terminal_mode_test, LostLineEndsWithStatusOneAndPutsTheTerminalBack) {
    terminal_session session({terminal_args(), "", "", nullptr});
    ASSERT_TRUE(session.wait_until_raw()) << session.err();
    emu_.inject(as_bytes("last words"));
    EXPECT_EQ(session.screen_at_least(10), "last words");
    emu_.hang_up();
    const auto status = session.wait_exit();
    ASSERT_TRUE(status.has_value()) << "still running after the line went away";
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    EXPECT_EQ(session.err(), "Connection lost: " + emu_.slave_path() + "\n");
    EXPECT_TRUE(canonical_with_echo(session.terminal_settings()));
}

TEST(terminal_mode_open, PortThatCannotBeOpenedLetsParsingGoOn) {
    struct open_case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::string bad = "/nonexistent/vantrel-port";
    const std::string cannot = "Cannot open: " + bad + "\n";
    const std::vector<open_case> cases = {
        {{"--serial", bad, "--terminal"}, cannot},
        {{"--serial", bad, "--terminal", "-h"}, cannot},
        {{"--serial", bad, "--terminal", "--reset"}, cannot + cannot},
        {{"--serial", bad, "--terminal", "--bogus"}, cannot + "Unknown option: --bogus\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        test_support::run_options options;
        options.timeout_s = 20;
        const auto result = test_support::run_vantrel(c.args, options);
        EXPECT_FALSE(result.timed_out);
        EXPECT_EQ(result.exit_status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);
    }
}

} // namespace
