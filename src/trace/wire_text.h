// SPDX-License-Identifier: MIT
// The text lines of the wire trace: a fixed buffer filled as by printf, bytes in hexadecimal,
// and each line written in one write, so that runs sharing a trace file do not cut into each
// other's lines. Private to the trace. What a signal handler may call is marked so: it uses
// no stdio and no allocation.
#pragma once

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdint>

/// Bytes of one direction shown on an exchange's line; more are counted, not shown.
inline constexpr int SHOWN_BYTES_MAX = 64;
inline constexpr std::size_t TRACE_LINE_MAX = 1024;

/// Bytes seen in one direction: the first SHOWN_BYTES_MAX of them, and how many there were.
struct byte_log {
    std::array<uint8_t, SHOWN_BYTES_MAX> bytes;
    int count;
};

/// One line being built; a line that outgrows the buffer is cut.
struct line_text {
    std::array<char, TRACE_LINE_MAX> text;
    std::size_t length;
};

/// Adds b to log, counted whether or not it is kept for showing.
void trace_log_byte(byte_log& log, uint8_t b);

/// Appends to line as vsnprintf formats.
void trace_append_args(line_text& line, const char* format, va_list args);

/// Appends to line as printf formats.
void trace_append(line_text& line, const char* format, ...) __attribute__((format(printf, 2, 3)));

/// Appends " XX" for each byte shown, and the count of a log too long to show.
void trace_append_bytes(line_text& line, const byte_log& log);

/// Appends text as it is. Safe in a signal handler.
void trace_append_text(line_text& line, const char* text);

/// Appends value in decimal, right-aligned in width characters as "%*ld" does. Safe in a
/// signal handler.
void trace_append_number(line_text& line, long value, int width = 0);

/// Writes the line and a line end to fd in one write: 0, or the errno of the write that failed.
/// SIGPIPE or SIGXFSZ that the failing write raised (a pipe without reader, a file past its
/// size limit) is thrown away, so that a trace that cannot be written never ends the run. Safe
/// in a signal handler.
int trace_write_line(int fd, line_text& line);
