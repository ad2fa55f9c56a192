// SPDX-License-Identifier: MIT
// Opening the serial port: a path that is no port, a port the user may not open and one another
// program holds are refused with the reason, and leave nothing behind.
#include "serial/serial_port.h"
#include "support/process.h"
#include "support/pty.h"
#include "support/serial_line.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

using test_support::pty_line;

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
