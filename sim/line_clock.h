// Time on the emulated line: the speed set on a terminal, and waits that end
// on a deadline or on a stop request.
#pragma once

#include <chrono>
#include <termios.h>

namespace sim {

using line_clock = std::chrono::steady_clock;

/// Bits per second of a termios speed code; 0 for B0 and unknown codes.
long baud_of(speed_t code);

/// Time one byte takes on a line of baud bits per second (start, 8 data bits, stop);
/// zero for baud 0.
line_clock::duration byte_time(long baud);

/// Waits until deadline; false as soon as stop_fd becomes readable.
bool wait_until(line_clock::time_point deadline, int stop_fd);

} // namespace sim
