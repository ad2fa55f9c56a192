// SPDX-License-Identifier: MIT
// Opening the serial port over a real pseudo-terminal: the speeds it takes or falls back from,
// the raw settings it makes and puts back exactly, the USB latency warning; and the refusals of
// a path that is no port, a port the user may not open and one another program holds, with the
// reason, leaving nothing behind.
#include "serial/serial_port.h"
#include "serial/usb_latency.h"
#include "support/line_settings.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/serial_line.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

using test_support::pty_line;
using test_support::same_settings;

TEST_F(pty_line, speed_applied_in_both_directions) {
    const struct {
        int baud;
        speed_t constant;
    } cases[] = {
        {300, B300},       {600, B600},     {1200, B1200},   {2400, B2400},   {4800, B4800},
        {9600, B9600},     {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
        {230400, B230400}, {1800, B19200},  {0, B19200},     {-9600, B19200}, {460800, B19200},
    };
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

} // namespace
