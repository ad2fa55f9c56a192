// SPDX-License-Identifier: MIT
// The serial port: raw 8-bit line setup and restore, timed reads, writes. The rates it can be
// set to are in port_settings.h, the tap it feeds in serial_tap.h.
#pragma once

#include "serial/serial_tap.h"

#include <termios.h>

#include <cstddef>
#include <cstdint>

/// Bound of every single wait for an adapter reply, in microseconds.
inline constexpr long READ_TIMEOUT_US = 100000;

/// Bound of serial_drain on a line that never goes quiet, in microseconds.
inline constexpr long SERIAL_DRAIN_LIMIT_US = 1000000;

/// Opens path raw at baud_rate (unlisted rates run at 19200) and locks it
/// against other programmers. Fills *saved_settings (if given) with the
/// settings as found; they are also put back if an ending signal (Ctrl-C,
/// SIGTERM, a hang-up) arrives before serial_close. Returns the descriptor,
/// or -1 after printing "Cannot open: <path>" and a line that says why.
int serial_open(const char* path, int baud_rate, termios* saved_settings);

/// Puts saved_settings back at once and closes fd.
void serial_close(int fd, const termios* saved_settings);

/// Writes all count bytes, retrying short writes; gives up silently when the
/// port stays unwritable for a bounded time or fails.
void serial_send(int fd, const void* data, std::size_t count);

/// Reads up to count bytes; each wait for the next bytes lasts at most
/// timeout_us (below 1 s), the first one counted from the moment the bytes
/// sent before have left the line at its speed. Returns the number stored,
/// 0 to count; ends early when the port fails or hangs up.
int serial_read_timed(int fd, uint8_t* buffer, int count, long timeout_us);

/// The next byte, 0 to 255, or -1 when none came within timeout_us.
int serial_read_byte(int fd, long timeout_us);

/// Discards input until the line has been quiet for timeout_us, or until
/// SERIAL_DRAIN_LIMIT_US has passed on a line that never goes quiet. Returns the number of
/// bytes thrown away.
int serial_drain(int fd, long timeout_us);

/// Waits until everything written to fd has left the port.
void serial_wait_sent(int fd);

/// Number of received bytes already waiting to be read; 0 when none or unknown. Does not wait.
int serial_pending(int fd);

/// The one line printed to standard error if an ending signal interrupts the
/// run while a port is open (null: none); the text must outlive the port.
void serial_set_interrupt_note(const char* note);

/// Installs tap (null: none) for every port opened from now on; tap must outlive them.
void serial_set_tap(const serial_tap* tap);

/// Microseconds on the monotonic clock, for deadlines.
long monotonic_now_us();
