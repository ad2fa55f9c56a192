// SPDX-License-Identifier: MIT
// Terminal mode: keyboard to port, port to screen, until a signal or a lost port ends it.
//
// Both directions are read straight from their descriptors into small fixed buffers, so
// everything that arrives goes out in the wake-up in which it arrived. The settings found on
// standard input and on the port are put back when a signal ends the process. A traced run
// traces both directions as they pass: keys sent and screen output.
#include "commands/terminal.h"

#include "serial/serial_port.h"
#include "serial/signal_guard.h"
#include "trace/wire_trace.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

/// Bytes taken from either side per read.
constexpr std::size_t TERMINAL_CHUNK = 256;

/// Puts both settings back, closes the port, prints "<what>: <path>" and ends with status 1.
[[noreturn]] void leave_terminal(int port, const termios& port_saved, const termios* stdin_saved,
                                 const char* what, const char* path) {
    if (stdin_saved != nullptr) {
        tcsetattr(STDIN_FILENO, TCSANOW, stdin_saved);
        guard_release(GUARD_STDIN);
    }
    serial_close(port, &port_saved);
    wire_trace_end_of_run(1);
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", what, path);
    std::exit(1);
}

/// Hang-up, error or a closed descriptor among the events of one wait.
bool is_hang_up(short events) {
    return (events & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

/// True after a read that failed only for the moment, unless the wait also reported a hang-up
/// (then the next wait would wake at once again).
bool is_passing_failure(short events) {
    return (errno == EINTR || errno == EAGAIN) && !is_hang_up(events);
}

/// Serves standard input once it was reported: true while it stays worth watching. End of
/// file and hard errors end the watch; an interrupted read does not.
bool serve_stdin(int port, short events) {
    std::array<uint8_t, TERMINAL_CHUNK> chunk{};
    const ssize_t got = read(STDIN_FILENO, chunk.data(), chunk.size());
    if (got > 0) {
        const auto count = static_cast<std::size_t>(got);
        for (std::size_t i = 0; i < count; ++i) {
            if (chunk[i] == '\n') {
                chunk[i] = '\r';
            }
        }
        serial_send(port, chunk.data(), count);
        return true;
    }
    return got < 0 && is_passing_failure(events);
}

/// Copies what the port holds to standard output: false when the port has gone away (a
/// failed or empty read, or a hang-up with nothing left to read).
bool serve_port(int port, short events) {
    std::array<uint8_t, TERMINAL_CHUNK> chunk{};
    const ssize_t got = read(port, chunk.data(), chunk.size());
    if (got > 0) {
        wire_trace_screen(port, chunk.data(), static_cast<std::size_t>(got));
        std::fwrite(chunk.data(), 1, static_cast<std::size_t>(got), stdout);
        std::fflush(stdout);
        return true;
    }
    return got < 0 && is_passing_failure(events);
}

/// Clears ICANON and ECHO on fd and sets VMIN 1, VTIME 0; a descriptor whose settings cannot
/// be read (no terminal) is left untouched.
void stdin_set_raw_input(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return;
    }
    settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    settings.c_cc[VTIME] = 0;
    settings.c_cc[VMIN] = 1;
    tcsetattr(fd, TCSANOW, &settings);
}

} // namespace

/// Returns only when the port cannot be opened (error set); otherwise the process ends by a
/// signal (settings put back) or, when the port goes away, with status 1.
void terminal_mode(option_context& ctx) {
    termios port_saved{};
    const int port = serial_open(ctx.serial_port, ctx.baud_rate, &port_saved);
    if (port < 0) {
        ctx.error = 1;
        return;
    }
    wire_trace_terminal(port);
    termios stdin_found{};
    const termios* stdin_saved = nullptr;
    if (tcgetattr(STDIN_FILENO, &stdin_found) == 0) {
        stdin_saved = &stdin_found;
        guard_settings(GUARD_STDIN, STDIN_FILENO, stdin_found);
    }
    stdin_set_raw_input(STDIN_FILENO);

    bool watch_stdin = true;
    for (;;) {
        // A negative descriptor is skipped by poll: standard input at its end costs nothing.
        std::array<pollfd, 2> waits{
            {{watch_stdin ? STDIN_FILENO : -1, POLLIN, 0}, {port, POLLIN, 0}}};
        if (poll(waits.data(), waits.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            leave_terminal(port, port_saved, stdin_saved, "Cannot wait on", ctx.serial_port);
        }
        if (waits[0].revents != 0) {
            watch_stdin = serve_stdin(port, waits[0].revents);
        }
        if (waits[1].revents != 0 && !serve_port(port, waits[1].revents)) {
            leave_terminal(port, port_saved, stdin_saved, "Connection lost", ctx.serial_port);
        }
    }
}
