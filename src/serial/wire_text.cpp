// SPDX-License-Identifier: MIT
// The text lines of the wire trace.
#include "serial/wire_text.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

void trace_log_byte(byte_log& log, uint8_t b) {
    if (log.count < SHOWN_BYTES_MAX) {
        log.bytes[static_cast<std::size_t>(log.count)] = b;
    }
    ++log.count;
}

// clang-tidy 14 loses track of va_start once it has checked another file in the same run and
// then takes args for uninitialised; alone, this file passes.
void trace_append_args(line_text& line, const char* format, va_list args) {
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const int added = std::vsnprintf(line.text.data() + line.length, line.text.size() - line.length,
                                     format, args);
    if (added > 0) {
        line.length = std::min(line.length + static_cast<std::size_t>(added), line.text.size() - 1);
    }
}

void trace_append(line_text& line, const char* format, ...) {
    va_list args;
    va_start(args, format);
    trace_append_args(line, format, args);
    va_end(args);
}

void trace_append_bytes(line_text& line, const byte_log& log) {
    constexpr std::array<char, 17> DIGITS{"0123456789ABCDEF"};
    const int shown = std::min(log.count, SHOWN_BYTES_MAX);
    for (int i = 0; i < shown && line.text.size() - line.length > 3; ++i) {
        const uint8_t b = log.bytes[static_cast<std::size_t>(i)];
        line.text[line.length++] = ' ';
        line.text[line.length++] = DIGITS[b >> 4];
        line.text[line.length++] = DIGITS[b & 0x0F];
    }
    if (log.count > shown) {
        trace_append(line, " ... (%d bytes)", log.count);
    }
}

void trace_write_line(int fd, line_text& line) {
    line.length = std::min(line.length, line.text.size() - 1);
    line.text[line.length++] = '\n';
    const char* at = line.text.data();
    std::size_t left = line.length;
    while (left > 0) {
        const ssize_t written = write(fd, at, left);
        if (written > 0) {
            at += written;
            left -= static_cast<std::size_t>(written);
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            return;
        }
    }
}
