// Terminal mode: keyboard to port, port to screen, until a signal or a lost port ends it.
//
// Both directions are read straight from their descriptors into small fixed buffers, so
// everything that arrives goes out in the wake-up in which it arrived. The settings found on
// standard input and on the port live in static storage, where the signal handler can put
// them back before the process ends by the same signal.
#include "serial/terminal.h"

#include "serial/serial_port.h"

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

/// Signals whose default action ends the process: each one puts the settings back first.
constexpr std::array<int, 5> ENDING_SIGNALS{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

// Read by the signal handler; written only before the handlers are installed or while the
// ending signals are blocked.
termios stdin_saved{};
termios port_saved{};
volatile sig_atomic_t stdin_saved_valid = 0;
volatile sig_atomic_t port_open_fd = -1;

/// Async-signal-safe: tcsetattr only.
void restore_settings() {
    if (stdin_saved_valid != 0) {
        tcsetattr(STDIN_FILENO, TCSANOW, &stdin_saved);
    }
    const int port = port_open_fd;
    if (port >= 0) {
        tcsetattr(port, TCSANOW, &port_saved);
    }
}

extern "C" void end_by_signal(int signal_number) {
    restore_settings();
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal_number, &fallback, nullptr);
    // Still blocked inside the handler: delivered, with its default action, on return.
    raise(signal_number);
}

/// Installs end_by_signal for every ending signal the process does not ignore (a run under
/// nohup keeps ignoring SIGHUP).
void install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = end_by_signal;
    sigemptyset(&action.sa_mask);
    for (int signal_number : ENDING_SIGNALS) {
        sigaddset(&action.sa_mask, signal_number);
    }
    for (int signal_number : ENDING_SIGNALS) {
        struct sigaction found {};
        if (sigaction(signal_number, nullptr, &found) == 0 && found.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(signal_number, &action, nullptr);
    }
}

/// Puts both settings back, closes the port, prints "<what>: <path>" and ends with status 1.
[[noreturn]] void leave_terminal(const char* what, const char* path) {
    sigset_t ending{};
    sigemptyset(&ending);
    for (int signal_number : ENDING_SIGNALS) {
        sigaddset(&ending, signal_number);
    }
    sigprocmask(SIG_BLOCK, &ending, nullptr);
    if (stdin_saved_valid != 0) {
        tcsetattr(STDIN_FILENO, TCSANOW, &stdin_saved);
        stdin_saved_valid = 0;
    }
    const int port = port_open_fd;
    port_open_fd = -1;
    serial_close(port, &port_saved);
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
        std::fwrite(chunk.data(), 1, static_cast<std::size_t>(got), stdout);
        std::fflush(stdout);
        return true;
    }
    return got < 0 && is_passing_failure(events);
}

} // namespace

/// Returns only when the port cannot be opened (error set); otherwise the process ends by a
/// signal (settings put back) or, when the port goes away, with status 1.
void terminal_mode(option_context& ctx) {
    const int port = serial_open(ctx.serial_port, ctx.baud_rate, &port_saved);
    if (port < 0) {
        ctx.error = 1;
        return;
    }
    port_open_fd = port;
    stdin_saved_valid = tcgetattr(STDIN_FILENO, &stdin_saved) == 0 ? 1 : 0;
    install_signal_handlers();
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
            leave_terminal("Cannot wait on", ctx.serial_port);
        }
        if (waits[0].revents != 0) {
            watch_stdin = serve_stdin(port, waits[0].revents);
        }
        if (waits[1].revents != 0 && !serve_port(port, waits[1].revents)) {
            leave_terminal("Connection lost", ctx.serial_port);
        }
    }
}

/// Leaves a descriptor whose settings cannot be read (no terminal) untouched.
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
