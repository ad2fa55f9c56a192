// SPDX-License-Identifier: MIT
// The serial port's line settings over a real pseudo-terminal: the speeds it takes or falls
// back from, the raw settings it makes and puts back exactly, and the USB latency warning.
#include "serial/serial_port.h"
#include "serial/usb_latency.h"
#include "support/line_settings.h"
#include "support/process.h"
#include "support/serial_line.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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

} // namespace
