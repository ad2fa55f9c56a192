// SPDX-License-Identifier: MIT
// The serial port over a real pseudo-terminal: line settings, open refusals, timed reads,
// drains, complete writes and the behaviour on hang-up, interrupts and high descriptors.
#include "serial/serial_port.h"
#include "serial/usb_latency.h"
#include "support/clock.h"
#include "support/counters.h"
#include "support/line_settings.h"
#include "support/process.h"
#include "support/pty.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using test_support::elapsed_us;
using test_support::steady;

long thread_read_calls() {
    return test_support::thread_io_counter("syscr:");
}

int open_descriptor_count() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (readdir(dir) != nullptr) {
        ++count;
    }
    closedir(dir);
    return count;
}

using test_support::same_settings;

/// A pseudo-terminal: the code under test opens the slave by its path, the test plays the
/// adapter on the master. The test keeps a slave descriptor of its own to look at the settings.
class pty_line : public ::testing::Test {
  protected:
    void TearDown() override {
        if (port_ >= 0) {
            serial_close(port_, &saved_);
        }
    }

    void open_port(int baud = 19200) {
        port_ = serial_open(line_.path().c_str(), baud, &saved_);
        ASSERT_GE(port_, 0);
    }
    void close_master() { line_.close_master(); }
    void to_port(const bytes& data) const { ASSERT_TRUE(line_.send(data)); }
    /// Everything the port sent, until the line stays quiet for quiet_ms.
    bytes from_port(int quiet_ms = 100) const {
        bytes got;
        for (bytes chunk = line_.receive(quiet_ms); !chunk.empty();
             chunk = line_.receive(quiet_ms)) {
            got.insert(got.end(), chunk.begin(), chunk.end());
        }
        return got;
    }

    test_support::pty_pair line_;
    int port_ = -1;
    termios saved_{};
};

// ---- speeds and line settings ----

TEST(serial_speed, table_and_fallback) {
    const struct {
        int baud;
        speed_t constant;
    } cases[] = {
        {300, B300},       {600, B600},     {1200, B1200},   {2400, B2400},   {4800, B4800},
        {9600, B9600},     {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
        {230400, B230400}, {1800, B19200},  {0, B19200},     {-9600, B19200}, {460800, B19200},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(serial_speed_constant(c.baud), c.constant) << c.baud;
    }
}

TEST_F(pty_line, speed_applied_in_both_directions) {
    const struct {
        int baud;
        speed_t constant;
    } cases[] = {{1800, B19200}, {19200, B19200}, {115200, B115200}, {230400, B230400}};
    for (const auto& c : cases) {
        const int fd = serial_open(line_.path().c_str(), c.baud, &saved_);
        ASSERT_GE(fd, 0);
        termios now{};
        ASSERT_EQ(tcgetattr(line_.slave(), &now), 0);
        EXPECT_EQ(cfgetispeed(&now), c.constant) << c.baud;
        EXPECT_EQ(cfgetospeed(&now), c.constant) << c.baud;
        serial_close(fd, &saved_);
    }
}

TEST_F(pty_line, raw_settings_keep_found_bits_and_close_restores_exactly) {
    termios found{};
    ASSERT_EQ(tcgetattr(line_.slave(), &found), 0);
    cfsetispeed(&found, B9600);
    cfsetospeed(&found, B9600);
    found.c_cflag |= CSTOPB | CRTSCTS | HUPCL | PARENB;
    found.c_iflag = ICRNL | IXON;
    found.c_oflag = OPOST | ONLCR;
    found.c_lflag = ICANON | ECHO | ISIG;
    found.c_cc[VINTR] = 0x07;
    found.c_cc[VMIN] = 5;
    found.c_cc[VTIME] = 9;
    ASSERT_EQ(tcsetattr(line_.slave(), TCSANOW, &found), 0);
    ASSERT_EQ(tcgetattr(line_.slave(), &found), 0); // as the driver keeps it

    termios saved{};
    const int fd = serial_open(line_.path().c_str(), 57600, &saved);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(same_settings(saved, found));

    termios open_settings{};
    ASSERT_EQ(tcgetattr(line_.slave(), &open_settings), 0);
    EXPECT_NE(open_settings.c_cflag & CSTOPB, 0U);
    EXPECT_NE(open_settings.c_cflag & CRTSCTS, 0U);
    EXPECT_NE(open_settings.c_cflag & HUPCL, 0U);
    EXPECT_EQ(open_settings.c_cflag & PARENB, 0U);
    EXPECT_EQ(open_settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(open_settings.c_cflag & CLOCAL, 0U);
    EXPECT_NE(open_settings.c_cflag & CREAD, 0U);
    EXPECT_EQ(open_settings.c_iflag, 0U);
    EXPECT_EQ(open_settings.c_oflag, 0U);
    EXPECT_EQ(open_settings.c_lflag, 0U);
    EXPECT_EQ(open_settings.c_cc[VMIN], 1);
    EXPECT_EQ(open_settings.c_cc[VTIME], 0);
    EXPECT_EQ(open_settings.c_cc[VINTR], 0x07);
    EXPECT_EQ(cfgetospeed(&open_settings), static_cast<speed_t>(B57600));

    serial_close(fd, &saved);
    termios after{};
    ASSERT_EQ(tcgetattr(line_.slave(), &after), 0);
    EXPECT_TRUE(same_settings(after, found));
}

TEST_F(pty_line, open_leaves_pending_input_and_the_descriptor_non_blocking) {
    to_port({0x5A});
    open_port();
    EXPECT_NE(fcntl(port_, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(port_, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(serial_read_byte(port_, READ_TIMEOUT_US), 0x5A);
}

// ---- refusals ----

const std::string NO_DEVICE =
    "No such device: check the path and that the adapter is plugged in.\n";
const std::string NOT_SERIAL = "Not a serial port.\n";

TEST(serial_open_refusal, says_why_and_leaves_nothing_behind) {
    test_support::temp_dir dir;
    const std::string regular = dir.file("not-a-tty");
    test_support::write_file(regular, "data");
    const struct {
        std::string path;
        std::string reason;
    } cases[] = {
        {dir.file("missing"), NO_DEVICE},
        {dir.file("missing") + "/ttyUSB0", NO_DEVICE},
        {regular, NOT_SERIAL},
        {dir.path(), NOT_SERIAL},
        {"/dev/null", NOT_SERIAL},
    };
    for (const auto& c : cases) {
        termios saved{};
        std::memset(&saved, 0xA5, sizeof saved);
        termios untouched = saved;
        const int before = open_descriptor_count();
        testing::internal::CaptureStderr();
        EXPECT_EQ(serial_open(c.path.c_str(), 19200, &saved), -1) << c.path;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Cannot open: " + c.path + "\n" + c.reason);
        EXPECT_EQ(std::memcmp(&saved, &untouched, sizeof saved), 0) << c.path;
        EXPECT_EQ(open_descriptor_count(), before) << c.path << ": descriptor left open";
    }
}

/// What serial_open prints on standard error when a user without the right to the port tries
/// it: run in a child that drops to that user (the test may run as root, which is never
/// refused).
std::string refused_open_message(const std::string& path) {
    int out[2];
    if (pipe(out) != 0) {
        return "pipe failed";
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDERR_FILENO);
        if (geteuid() == 0 &&
            (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
            _exit(2);
        }
        _exit(serial_open(path.c_str(), 19200, nullptr) < 0 ? 0 : 1);
    }
    close(out[1]);
    std::string text;
    char buffer[256];
    for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "the open was not refused";
}

TEST(serial_open_refusal, permission_names_the_ports_group) {
    test_support::pty_pair line;
    const group* dialout = getgrnam("dialout");
    if (dialout == nullptr) {
        GTEST_SKIP() << "no group dialout here";
    }
    // A port as udev leaves it: the group dialout may read and write it, nobody else.
    if (chown(line.path().c_str(), geteuid() == 0 ? 0 : static_cast<uid_t>(-1), dialout->gr_gid) !=
            0 ||
        chmod(line.path().c_str(), geteuid() == 0 ? 0660 : 0) != 0) {
        GTEST_SKIP() << "cannot give the pseudo-terminal to dialout: " << std::strerror(errno);
    }
    EXPECT_EQ(refused_open_message(line.path()),
              "Cannot open: " + line.path() +
                  "\nPermission denied: join the port's group 'dialout' (sudo usermod -aG "
                  "dialout $USER) and log in again.\n");
}

TEST_F(pty_line, second_open_is_refused_while_the_first_holds_the_port) {
    open_port();
    termios other{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_open(line_.path().c_str(), 19200, &other), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cannot open: " + line_.path() + "\nIn use by another program.\n");

    serial_close(port_, &saved_);
    port_ = -1;
    open_port(); // the lock went with the close
}

// ---- timed reads ----

TEST_F(pty_line, read_of_nothing_takes_nothing) {
    open_port();
    to_port({0x42});
    uint8_t buffer[4] = {};
    EXPECT_EQ(serial_read_timed(port_, buffer, 0, READ_TIMEOUT_US), 0);
    EXPECT_EQ(serial_read_byte(port_, READ_TIMEOUT_US), 0x42);
}

TEST_F(pty_line, short_reply_ends_after_one_quiet_wait) {
    open_port();
    to_port({0x43, 0x32, 0x01, 0x03});
    uint8_t buffer[100] = {};
    const auto start = steady::now();
    EXPECT_EQ(serial_read_timed(port_, buffer, 100, READ_TIMEOUT_US), 4);
    EXPECT_GE(elapsed_us(start), READ_TIMEOUT_US);
    EXPECT_EQ(bytes(buffer, buffer + 4), (bytes{0x43, 0x32, 0x01, 0x03}));
}

TEST_F(pty_line, bursts_within_the_timeout_are_collected_in_order) {
    open_port();
    std::thread sender([this] {
        const bytes bursts[] = {{1, 2, 3}, {4, 5}, {6, 7, 8, 9}};
        for (const bytes& burst : bursts) {
            to_port(burst);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    });
    uint8_t buffer[100] = {};
    const int got = serial_read_timed(port_, buffer, 100, READ_TIMEOUT_US);
    sender.join();
    ASSERT_EQ(got, 9);
    EXPECT_EQ(bytes(buffer, buffer + 9), (bytes{1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(pty_line, read_byte_is_unsigned_or_minus_one) {
    open_port();
    for (const int value : {0x00, 0x7F, 0x80, 0xFF}) {
        to_port({static_cast<uint8_t>(value)});
        EXPECT_EQ(serial_read_byte(port_, READ_TIMEOUT_US), value);
    }
    const auto start = steady::now();
    EXPECT_EQ(serial_read_byte(port_, READ_TIMEOUT_US), -1);
    EXPECT_GE(elapsed_us(start), READ_TIMEOUT_US);
    // A byte that is already here counts even when the wait is over before it begins, as it is
    // for a program held up past its deadline.
    to_port({0x5A});
    ASSERT_TRUE(test_support::wait_for([this] { return serial_pending(port_) > 0; },
                                       std::chrono::seconds(5)));
    EXPECT_EQ(serial_read_byte(port_, 0), 0x5A);
    EXPECT_EQ(serial_read_byte(port_, 0), -1);
}

TEST_F(pty_line, interrupted_waits_go_on) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: every signal interrupts the wait
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    open_port();

    const pthread_t reader = pthread_self();
    std::atomic<bool> done{false};
    std::thread interrupter([&] {
        for (int i = 0; i < 25 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            pthread_kill(reader, SIGUSR1);
        }
        to_port({0x11, 0x22});
    });
    uint8_t buffer[2] = {};
    const int got = serial_read_timed(port_, buffer, 2, 900000);
    done = true;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(got, 2);
    EXPECT_EQ(bytes(buffer, buffer + 2), (bytes{0x11, 0x22}));
}

TEST_F(pty_line, hang_up_mid_read_returns_what_was_stored) {
    open_port();
    to_port({0xA1, 0xA2, 0xA3});
    std::thread hang_up([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        close_master();
    });
    const long reads_before = thread_read_calls();
    uint8_t buffer[10] = {};
    const int got = serial_read_timed(port_, buffer, 10, READ_TIMEOUT_US);
    const long reads_after = thread_read_calls();
    hang_up.join();
    EXPECT_EQ(got, 3);
    EXPECT_EQ(bytes(buffer, buffer + 3), (bytes{0xA1, 0xA2, 0xA3}));
    // A dead line ends further calls too, and none of them loops on the failing read.
    EXPECT_EQ(serial_read_byte(port_, READ_TIMEOUT_US), -1);
    serial_drain(port_, READ_TIMEOUT_US);
    const long reads_end = thread_read_calls();
    if (reads_before >= 0) {
        EXPECT_LE(reads_after - reads_before, 5);
        EXPECT_LE(reads_end - reads_after, 5);
    }
}

// ---- drains ----

TEST_F(pty_line, pending_input_goes_in_batches_of_256) {
    open_port();
    to_port(bytes(300, 0x55));
    uint8_t scratch[256];
    const auto start = steady::now();
    EXPECT_EQ(serial_read_timed(port_, scratch, 256, READ_TIMEOUT_US), 256);
    EXPECT_EQ(serial_read_timed(port_, scratch, 256, READ_TIMEOUT_US), 44);
    EXPECT_GE(elapsed_us(start), READ_TIMEOUT_US);
    EXPECT_EQ(serial_read_timed(port_, scratch, 256, READ_TIMEOUT_US), 0);
    EXPECT_GE(elapsed_us(start), 2 * READ_TIMEOUT_US);
}

TEST_F(pty_line, drain_discards_everything_pending) {
    open_port();
    to_port(bytes(300, 0x55));
    const auto start = steady::now();
    serial_drain(port_, READ_TIMEOUT_US);
    EXPECT_GE(elapsed_us(start), 2 * READ_TIMEOUT_US); // the batch of 44 and the quiet wait
    to_port({0x77});
    EXPECT_EQ(serial_read_byte(port_, READ_TIMEOUT_US), 0x77);
}

TEST_F(pty_line, drain_ends_on_a_line_that_never_goes_quiet) {
    open_port();
    std::atomic<bool> stop{false};
    std::atomic<bool> noise_over{false};
    std::thread noise([&] {
        const auto until = steady::now() + std::chrono::seconds(6);
        while (!stop && steady::now() < until) {
            to_port({0x55});
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        noise_over = true;
    });
    const auto start = steady::now();
    serial_drain(port_, READ_TIMEOUT_US);
    const long took = elapsed_us(start);
    const bool ended_by_bound = !noise_over;
    stop = true;
    noise.join();
    EXPECT_GE(took, SERIAL_DRAIN_LIMIT_US);
    EXPECT_TRUE(ended_by_bound) << "the drain waited for the noise to stop";
}

// ---- writes ----

TEST_F(pty_line, send_completes_a_write_the_line_takes_in_parts) {
    open_port();
    bytes data(60000);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    bytes got;
    std::thread reader([&] {
        // Slow at first, so that the port's queue fills and writes come back short.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        while (got.size() < data.size()) {
            const bytes chunk = line_.receive(2000);
            if (chunk.empty()) {
                return;
            }
            got.insert(got.end(), chunk.begin(), chunk.end());
        }
    });
    serial_send(port_, data.data(), data.size());
    serial_wait_sent(port_);
    reader.join();
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "bytes lost or reordered";
}

TEST_F(pty_line, send_gives_up_on_a_line_that_takes_nothing) {
    open_port();
    bytes data(1 << 20, 0x41); // far more than the line buffers while nobody reads
    const auto start = steady::now();
    serial_send(port_, data.data(), data.size());
    EXPECT_GE(elapsed_us(start), 900000);
}

TEST_F(pty_line, descriptor_above_select_limit_reads_and_writes) {
    constexpr int HIGH_FD = 1500;
    static_assert(HIGH_FD >= FD_SETSIZE);
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur <= static_cast<rlim_t>(HIGH_FD)) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= static_cast<rlim_t>(HIGH_FD)) {
            GTEST_SKIP() << "descriptor limit too low";
        }
        limit.rlim_cur = HIGH_FD + 1;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    }
    open_port();
    ASSERT_EQ(dup2(port_, HIGH_FD), HIGH_FD);
    close(port_);
    port_ = HIGH_FD;

    to_port({0x10, 0x20, 0x30});
    uint8_t buffer[8] = {};
    EXPECT_EQ(serial_read_timed(port_, buffer, 8, READ_TIMEOUT_US), 3);
    EXPECT_EQ(bytes(buffer, buffer + 3), (bytes{0x10, 0x20, 0x30}));
    EXPECT_EQ(serial_read_byte(port_, READ_TIMEOUT_US), -1);
    serial_drain(port_, READ_TIMEOUT_US);
    const uint8_t out[] = {0x01, 0x3F};
    serial_send(port_, out, sizeof out);
    serial_wait_sent(port_);
    EXPECT_EQ(from_port(), (bytes{0x01, 0x3F}));
}

// ---- USB latency timer ----

TEST(usb_latency, read_for_the_resolved_device_and_warned_about_above_1_ms) {
    test_support::temp_dir root;
    const std::string sysfs = root.file("sys");
    const std::string timer = sysfs + "/class/tty/ttyUSB3/device/latency_timer";
    std::filesystem::create_directories(sysfs + "/class/tty/ttyUSB3/device");
    std::filesystem::create_directories(root.file("dev"));
    test_support::write_file(root.file("dev/ttyUSB3"), "");
    ASSERT_EQ(symlink("dev/ttyUSB3", root.file("c2").c_str()), 0);
    const struct {
        const char* content; // null: no timer file
        int ms;
    } cases[] = {{nullptr, -1}, {"16\n", 16}, {"1\n", 1}, {"0\n", 0}, {"fast\n", -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content != nullptr ? c.content : "none");
        if (c.content != nullptr) {
            test_support::write_file(timer, c.content);
        }
        char* text = nullptr;
        std::size_t size = 0;
        std::FILE* out = open_memstream(&text, &size);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(warn_slow_converter(sysfs.c_str(), root.file("c2").c_str(), out), c.ms);
        std::fclose(out);
        EXPECT_EQ(std::string(text, size),
                  c.ms > 1 ? "Slow USB serial converter: " + root.file("c2") +
                                 " holds each reply back up to 16 ms; lower its latency timer "
                                 "with: echo 1 | sudo tee " +
                                 timer + "\n"
                           : "");
        std::free(text);
    }
}

} // namespace
