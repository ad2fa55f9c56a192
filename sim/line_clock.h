// SPDX-License-Identifier: MIT
// Time on the emulated line: the speed set on a terminal, and waits that end
// on a deadline or on a stop request.
#pragma once

#include <chrono>
#include <termios.h>

namespace sim {

using line_clock = std::chrono::steady_clock;

/// A sleep wakes up to ~100 us late on a loaded machine; the end of a wait is spun instead.
inline constexpr auto DEADLINE_SPIN = std::chrono::microseconds(100);

/// Bits per second of a termios speed code; 0 for B0 and unknown codes.
long baud_of(speed_t code);

/// Time one byte takes on a line of baud bits per second (start, 8 data bits, stop);
/// zero for baud 0.
line_clock::duration byte_time(long baud);

/// Waits until deadline, sleeping, then spinning on the clock for the last
/// DEADLINE_SPIN so that a late wake-up does not make the wait late; false as soon as
/// stop_fd becomes readable.
bool wait_until(line_clock::time_point deadline, int stop_fd);

/// How a wait_or_readable ended.
enum class wake { deadline, stopped, readable, broken };

/// Waits as wait_until does, but also ends as soon as watch_fd has bytes to read (readable) or
/// fails (broken); a negative watch_fd is not watched.
wake wait_or_readable(line_clock::time_point deadline, int stop_fd, int watch_fd);

} // namespace sim
