// SPDX-License-Identifier: MIT
// Comparison of a line's terminal settings, for checking that a run put them back.
#pragma once

#include <termios.h>

#include <cstring>

namespace test_support {

/// True when every flag, control character, line discipline and speed is the same.
inline bool same_settings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_line == b.c_line &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && cfgetispeed(&a) == cfgetispeed(&b) &&
           cfgetospeed(&a) == cfgetospeed(&b);
}

} // namespace test_support
