// SPDX-License-Identifier: MIT
// The text lines of the wire trace.
#include "trace/wire_text.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
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

void trace_append_text(line_text& line, const char* text) {
    for (; *text != '\0' && line.length < line.text.size() - 1; ++text) {
        line.text[line.length++] = *text;
    }
}

void trace_append_number(line_text& line, long value, int width) {
    std::array<char, 24> reversed{};
    std::size_t count = 0;
    unsigned long rest =
        value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        reversed[count++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    if (value < 0) {
        reversed[count++] = '-';
    }
    for (int pad = width - static_cast<int>(count); pad > 0; --pad) {
        trace_append_text(line, " ");
    }
    while (count > 0 && line.length < line.text.size() - 1) {
        line.text[line.length++] = reversed[--count];
    }
}

namespace {

/// Takes back a signal that is pending now but was not in before: setting a pending signal to
/// be ignored discards it, and the action is then put back as it was.
void discard_raised(int signal_number, const sigset_t& before) {
    sigset_t now;
    if (sigpending(&now) != 0 || sigismember(&now, signal_number) != 1 ||
        sigismember(&before, signal_number) == 1) {
        return;
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction found {};
    if (sigaction(signal_number, &ignore, &found) == 0) {
        sigaction(signal_number, &found, nullptr);
    }
}

} // namespace

// Only write(2) and the signal mask and action calls, all async-signal-safe.
int trace_write_line(int fd, line_text& line) {
    line.length = std::min(line.length, line.text.size() - 1);
    line.text[line.length++] = '\n';
    sigset_t raised;
    sigemptyset(&raised);
    sigaddset(&raised, SIGPIPE);
    sigaddset(&raised, SIGXFSZ);
    sigset_t kept;
    sigset_t before;
    sigprocmask(SIG_BLOCK, &raised, &kept);
    sigpending(&before);
    const char* at = line.text.data();
    std::size_t left = line.length;
    int failure = 0;
    while (left > 0 && failure == 0) {
        const ssize_t written = write(fd, at, left);
        if (written > 0) {
            at += written;
            left -= static_cast<std::size_t>(written);
        } else if (written < 0 && errno != EINTR) {
            failure = errno;
        } else if (written == 0) {
            failure = EIO;
        }
    }
    if (failure != 0) {
        discard_raised(SIGPIPE, before);
        discard_raised(SIGXFSZ, before);
    }
    sigprocmask(SIG_SETMASK, &kept, nullptr);
    return failure;
}
