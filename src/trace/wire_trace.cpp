// SPDX-License-Identifier: MIT
// The wire trace that VANTREL_TRACE asks for: the run's file, its header and the port's line,
// the notes of the layers above, and the end of the run, also when a signal ends it. The
// traced port's exchanges are in trace_port.cpp, which hands its lines to trace_output, given
// to it when the port opens.
//
// The handler of an ending signal writes the last lines with write(2) from buffers formatted
// beforehand: no stdio, no allocation, no lock.
#include "trace/wire_trace.h"

#include "serial/serial_port.h"
#include "serial/serial_tap.h"
#include "serial/usb_latency.h"
#include "trace/trace_file.h"
#include "trace/trace_port.h"
#include "trace/wire_text.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

bool decided = false;
bool active = false; // the trace is open and writable
int trace_fd = -1;
const char* trace_path = nullptr; // the variable's value
const char* trace_name = nullptr; // the file, or "standard error"
const char* input_path = nullptr; // the HEX input, never a trace

// What the signal handler reads: the trace; -1 when none, ended or done with.
volatile sig_atomic_t signal_fd = -1;

/// "Cannot write the trace to <name>: <why>; <outcome>" on standard error, written as the
/// trace's lines are: a standard error that is a pipe without reader does not end the run.
void warn(const char* name, const char* why, const char* outcome) {
    line_text line{};
    trace_append(line, "Cannot write the trace to %s: %s; %s", name, why, outcome);
    std::fflush(stderr);
    trace_write_line(STDERR_FILENO, line);
}

/// Gives up the trace after a write failed: one warning, and nothing more is traced.
void end_trace(int failure) {
    active = false;
    signal_fd = -1;
    if (trace_fd != STDERR_FILENO) {
        close(trace_fd);
    }
    warn(trace_name, std::strerror(failure), "the trace ends here.");
}

/// Writes one finished line to the trace while it is open; a write that fails ends it.
void trace_output(line_text& line) {
    if (!active) {
        return;
    }
    const int failure = trace_write_line(trace_fd, line);
    if (failure != 0) {
        end_trace(failure);
    }
}

/// The command line of the run, from /proc, with its arguments apart by spaces.
void append_command_line(line_text& line) {
    std::array<char, 512> text{};
    const int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    const ssize_t got = read(fd, text.data(), text.size() - 1);
    close(fd);
    for (ssize_t i = 0; i + 1 < got; ++i) {
        if (text[static_cast<std::size_t>(i)] == '\0') {
            text[static_cast<std::size_t>(i)] = ' ';
        }
    }
    trace_append(line, ": %s%s", text.data(),
                 got == static_cast<ssize_t>(text.size() - 1) ? " ..." : "");
}

/// Opens the trace the variable names and writes the run's header line.
void start_trace(int port_fd) {
    if (std::strcmp(trace_path, "2") == 0) {
        trace_fd = STDERR_FILENO;
        trace_name = "standard error";
    } else {
        const char* why = nullptr;
        trace_fd = trace_file_open(trace_path, port_fd, input_path, why);
        trace_name = trace_path;
        if (trace_fd < 0) {
            warn(trace_path, why, "going on without it.");
            return;
        }
    }
    active = true;
    signal_fd = trace_fd;
    line_text line{};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    std::array<char, 64> date{};
    if (localtime_r(&now, &local) != nullptr) {
        std::strftime(date.data(), date.size(), "%Y-%m-%d %H:%M:%S %z", &local);
    }
    trace_append(line, "# vantrel trace, pid %ld, %s", static_cast<long>(getpid()), date.data());
    append_command_line(line);
    trace_output(line);
}

constexpr std::array<const char*, 3> LOW_LATENCY_TEXT{"on", "refused by the driver",
                                                      "not offered by the driver"};

void write_open_line(long opened_us, const serial_port_opened& opened) {
    line_text line = timed_line(opened_us);
    trace_append(line, "open %s", opened.path);
    std::array<char, PATH_MAX> resolved{};
    if (realpath(opened.path, resolved.data()) != nullptr &&
        std::strcmp(resolved.data(), opened.path) != 0) {
        trace_append(line, " (%s)", resolved.data());
    }
    trace_append(line, ": speed asked %d, set %d; low latency %s; ", opened.speed_asked,
                 opened.speed_set, LOW_LATENCY_TEXT[opened.low_latency]);
    std::array<char, SYSFS_PATH_MAX> timer_file{};
    const int timer_ms = usb_latency_timer_ms(SYSFS_ROOT, opened.path, timer_file);
    if (timer_ms >= 0) {
        trace_append(line, "USB latency timer %d ms (%s)", timer_ms, timer_file.data());
    } else {
        trace_append(line, "no USB latency timer");
    }
    trace_output(line);
}

bool traced(int fd) {
    return active && port_traced(fd);
}

void on_opened(int fd, const serial_port_opened& opened) {
    if (!decided) {
        decided = true;
        start_trace(fd);
    }
    if (!active || port_trace_in_use()) {
        return;
    }
    const long now = monotonic_now_us();
    port_trace_open(fd, now, trace_output);
    write_open_line(now, opened);
}

void on_sent(int fd, const uint8_t* bytes, std::size_t count) {
    if (traced(fd)) {
        port_trace_sent(bytes, count);
    }
}

void on_received(int fd, const uint8_t* bytes, int got, int asked, long timeout_us) {
    if (traced(fd)) {
        port_trace_received(bytes, got, asked, timeout_us);
    }
}

void on_drain_begin(int fd) {
    if (traced(fd)) {
        port_trace_drain_begin();
    }
}

void on_drained(int fd, const uint8_t* bytes, int got) {
    if (traced(fd)) {
        port_trace_drained(bytes, got);
    }
}

void on_closing(int fd) {
    if (traced(fd)) {
        port_trace_close();
    }
}

// Runs in the handler of an ending signal, which may have stopped the program anywhere; the
// other ending signals wait while it runs, and it clears signal_fd first, so it writes once.
void on_ended_by_signal(int signal_number, const char* note, std::size_t note_length) {
    const int fd = signal_fd;
    if (fd < 0) {
        return;
    }
    signal_fd = -1;
    const long now = monotonic_now_us();
    bool writable = true;
    port_trace_cut_lines(now, fd, writable);
    if (note != nullptr) { // the interrupted line, without its carriage return and line end
        line_text line = timed_line(now);
        for (std::size_t i = 0; i < note_length && line.length < line.text.size() - 1; ++i) {
            if (note[i] != '\r' && note[i] != '\n') {
                line.text[line.length++] = note[i];
            }
        }
        writable = writable && trace_write_line(fd, line) == 0;
    }
    port_trace_cut_summary(now, fd, writable);
    line_text line = timed_line(now);
    trace_append_text(line, "end of run: ended by signal ");
    trace_append_number(line, signal_number);
    if (writable) {
        trace_write_line(fd, line);
    }
}

constexpr serial_tap WIRE_TRACE_TAP{on_opened,  on_sent,    on_received,       on_drain_begin,
                                    on_drained, on_closing, on_ended_by_signal};

} // namespace

void wire_trace_install() {
    const char* value = std::getenv(WIRE_TRACE_VARIABLE);
    if (value == nullptr || value[0] == '\0' || std::strcmp(value, "0") == 0) {
        return;
    }
    trace_path = value;
    serial_set_tap(&WIRE_TRACE_TAP);
}

void wire_trace_set_input(const char* path) {
    input_path = path;
}

void wire_trace_terminal(int fd) {
    if (traced(fd)) {
        port_trace_terminal();
    }
}

void wire_trace_screen(int fd, const uint8_t* bytes, std::size_t count) {
    if (traced(fd)) {
        port_trace_screen(bytes, count);
    }
}

void wire_trace_note(const char* format, ...) {
    if (!active) {
        return;
    }
    port_trace_finish();
    line_text line = timed_line(monotonic_now_us());
    va_list args;
    va_start(args, format);
    trace_append_args(line, format, args);
    va_end(args);
    trace_output(line);
    port_trace_publish();
}

void wire_trace_end_of_run(int exit_status) {
    wire_trace_note("end of run: exit status %d", exit_status);
    active = false;
    signal_fd = -1;
}
