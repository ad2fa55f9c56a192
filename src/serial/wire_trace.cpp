// SPDX-License-Identifier: MIT
// The wire trace that VANTREL_TRACE asks for.
//
// The bytes sent are decoded as the adapter decodes them (wire_decode.h), whatever order the
// layers above send them in; the bytes read after a command, until the next one goes out, are
// its reply. An exchange's line is written once it is over: when the next command goes out, a
// drain or a note begins, or the port closes. In terminal mode the bytes are keys and screen
// output, each written as it passes.
//
// A signal that ends the run must not take the lines that show where it stopped with it. The
// program keeps what is in flight formatted in fixed buffers as it changes (publish_in_flight),
// and the handler completes and writes those lines, the note, the summary and the end of the
// run with write(2) and its own number formatting: no stdio, no allocation, no lock.
#include "serial/wire_trace.h"

#include "serial/serial_port.h"
#include "serial/trace_file.h"
#include "serial/usb_latency.h"
#include "serial/wire_decode.h"
#include "serial/wire_text.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

bool wire_trace_detail::active = false;

namespace {

/// Reply times kept for the median and the 90th percentile; a longer run uses its first ones.
constexpr int REPLY_SAMPLES_MAX = 16384;

/// The speeds a port can be set to, for naming the one the driver took.
constexpr std::array<int, 11> RATES{300,   600,   1200,  2400,   4800,  9600,
                                    19200, 38400, 57600, 115200, 230400};

/// One command with the bytes sent for it and what was read after it.
struct exchange_log {
    bool present;
    int command;  // -1: bytes read or sent without a command byte
    long sent_us; // monotonic time at which the command byte had been handed over
    byte_log sent;
    frame_data frame;
    byte_log received;
    int reads; // serial_read_timed calls made for it
    int last_asked;
    int last_got;
    long timeout_us;
    long answered_us; // monotonic time at which the last read ended
};

struct drain_log {
    bool present;
    bool quiet; // ended by a quiet wait, not by its limit
    long started_us;
    long ended_us;
    byte_log thrown;
};

/// The traced port: the decoding state, the exchange not yet written and the run's counts.
struct port_trace {
    int fd = -1;
    bool terminal; // sent bytes are keys, not commands
    long opened_us;
    frame_decoder frame;
    byte_log outgoing; // bytes sent since the last command byte
    long outgoing_us;  // when the first of them was sent
    exchange_log pending;
    drain_log drain;
    long exchanges;
    long bytes_sent;
    long bytes_received;
    long bytes_drained;
    long waiting_us;
    long draining_us;
    int replies; // reply times in reply_us
};

/// A line not finished when a signal ends the run: its text up to the wait, which the handler
/// completes with how long it had been under way.
struct cut_line {
    long since_us;
    line_text text;
};

/// What is in flight: the drain or the exchange not yet written, and bytes sent since the last
/// command byte.
struct in_flight {
    int count;
    std::array<cut_line, 3> lines;
};

bool decided = false;
int trace_fd = -1;
const char* trace_name = nullptr; // the file, or "standard error"
const char* input_path = nullptr; // the HEX input, never a trace
port_trace port{};
long last_opened_us = 0;
std::array<int32_t, REPLY_SAMPLES_MAX> reply_us{};

// What the signal handler reads. The program fills the copy of in_flight that the handler is
// not pointed at, then points it there, so the handler never sees one half-written.
volatile sig_atomic_t signal_fd = -1;       // the trace; -1 when none, ended or done with
volatile sig_atomic_t summary_due = 0;      // 1 while a port is traced and its summary not written
volatile sig_atomic_t in_flight_shown = -1; // which copy; -1: nothing in flight
std::array<in_flight, 2> in_flight_copies{};

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
    wire_trace_detail::active = false;
    signal_fd = -1;
    if (trace_fd != STDERR_FILENO) {
        close(trace_fd);
    }
    warn(trace_name, std::strerror(failure), "the trace ends here.");
}

void write_line(line_text& line) {
    if (!wire_trace_detail::active) {
        return;
    }
    const int failure = trace_write_line(trace_fd, line);
    if (failure != 0) {
        end_trace(failure);
    }
}

/// A line that starts with the time since the port was opened. Safe in a signal handler.
line_text timed_line(long at_us) {
    line_text line{};
    trace_append_number(line, at_us - last_opened_us, 9);
    trace_append_text(line, " | ");
    return line;
}

void retract_in_flight() {
    in_flight_shown = -1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

/// How the program waited for the reply: its time, its silence, or no wait at all.
void append_wait(line_text& line, const exchange_log& e) {
    const long wait_ms = e.timeout_us / 1000;
    if (e.reads == 0) {
        trace_append(line, "no reply awaited");
    } else if (e.last_got == e.last_asked) {
        trace_append(line, "reply in %ld us", e.answered_us - e.sent_us);
    } else if (e.received.count == 0) {
        trace_append(line, "no reply within %ld ms", wait_ms);
    } else {
        trace_append(line, "%d of %d bytes, then nothing within %ld ms", e.last_got, e.last_asked,
                     wait_ms);
    }
}

/// The exchange's line up to its wait.
void append_exchange_body(line_text& line, const exchange_log& e) {
    if (e.command < 0) {
        trace_append(line, "(no command)");
    } else if (const char* name = wire_command_name(static_cast<uint8_t>(e.command))) {
        trace_append(line, "%s", name);
    } else {
        trace_append(line, "COMMAND 0x%02X", e.command);
    }
    trace_append_frame(line, e.command, e.frame);
    if (e.received.count > 0) {
        trace_append(line, " ->");
        trace_append_bytes(line, e.received);
    } else if (e.reads > 0) {
        trace_append(line, " -> (no reply)");
    }
    trace_append(line, " | sent");
    trace_append_bytes(line, e.sent);
    trace_append(line, " | ");
}

void write_exchange() {
    exchange_log& e = port.pending;
    if (!e.present) {
        return;
    }
    e.present = false;
    line_text line = timed_line(e.sent_us);
    append_exchange_body(line, e);
    append_wait(line, e);
    write_line(line);
    retract_in_flight();

    if (e.command >= 0) {
        ++port.exchanges;
    }
    if (e.reads > 0) {
        port.waiting_us += e.answered_us - e.sent_us;
        if (e.last_got == e.last_asked && port.replies < REPLY_SAMPLES_MAX) {
            reply_us[port.replies++] = static_cast<int32_t>(e.answered_us - e.sent_us);
        }
    }
}

/// The drain's line up to how it ended.
void append_drain_body(line_text& line, const drain_log& d) {
    trace_append(line, "drain");
    if (d.thrown.count > 0) {
        trace_append(line, " ->");
        trace_append_bytes(line, d.thrown);
        trace_append(line, " | threw away %d bytes, ", d.thrown.count);
    } else {
        trace_append(line, " | nothing to throw away, ");
    }
}

void write_drain() {
    drain_log& d = port.drain;
    if (!d.present) {
        return;
    }
    d.present = false;
    line_text line = timed_line(d.started_us);
    append_drain_body(line, d);
    trace_append(line, "%s after %ld us", d.quiet ? "quiet" : "still not quiet",
                 d.ended_us - d.started_us);
    write_line(line);
    retract_in_flight();
    port.draining_us += d.ended_us - d.started_us;
}

/// Writes what is over before anything new begins.
void write_finished() {
    write_drain();
    write_exchange();
}

/// Bytes sent since the last command byte, as an exchange of their own sent at at_us.
exchange_log leftover_exchange(long at_us) {
    exchange_log e{};
    e.present = true;
    e.command = -1;
    e.sent_us = at_us;
    e.sent = port.outgoing;
    return e;
}

/// Formats what is in flight for the signal handler, after each change.
void publish_in_flight() {
    if (port.fd < 0 || port.terminal) {
        retract_in_flight();
        return;
    }
    const int spare = in_flight_shown == 0 ? 1 : 0;
    in_flight& next = in_flight_copies[static_cast<std::size_t>(spare)];
    next.count = 0;
    const auto add = [&next](long since_us) -> line_text& {
        cut_line& cut = next.lines[static_cast<std::size_t>(next.count++)];
        cut.since_us = since_us;
        cut.text = timed_line(since_us);
        return cut.text;
    };
    if (port.drain.present) {
        append_drain_body(add(port.drain.started_us), port.drain);
    }
    if (port.pending.present) {
        append_exchange_body(add(port.pending.sent_us), port.pending);
    }
    if (port.outgoing.count > 0) {
        const exchange_log leftover = leftover_exchange(port.outgoing_us);
        append_exchange_body(add(leftover.sent_us), leftover);
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
    in_flight_shown = next.count > 0 ? spare : -1;
}

/// The nearest-rank p-quantile (0..1) of the first count reply times; reorders them.
long reply_quantile(int count, double p) {
    const int rank = std::max(static_cast<int>(std::ceil(p * count)), 1) - 1;
    std::nth_element(reply_us.begin(), reply_us.begin() + rank, reply_us.begin() + count);
    return reply_us[static_cast<std::size_t>(rank)];
}

/// The port's counts. Safe in a signal handler: numbers formatted here, and the quantiles
/// computed in place, with no allocation.
void append_summary(line_text& line) {
    const std::array<std::pair<const char*, long>, 6> counts{{
        {"close: ", port.exchanges},
        {" exchanges; ", port.bytes_sent},
        {" bytes sent, ", port.bytes_received},
        {" received (", port.bytes_drained},
        {" of them drained); ", port.waiting_us},
        {" us waiting for replies, ", port.draining_us},
    }};
    for (const auto& [text, count] : counts) {
        trace_append_text(line, text);
        trace_append_number(line, count);
    }
    trace_append_text(line, " us draining; ");
    if (port.replies == 0) {
        trace_append_text(line, "no complete reply");
        return;
    }
    const long median = reply_quantile(port.replies, 0.5);
    const long p90 = reply_quantile(port.replies, 0.9);
    trace_append_text(line, "turnaround median ");
    trace_append_number(line, median);
    trace_append_text(line, " us, 90th percentile ");
    trace_append_number(line, p90);
    trace_append_text(line, " us over ");
    trace_append_number(line, port.replies);
    trace_append_text(line, " replies");
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

/// Reads the variable once; opens the trace and writes the run's header line.
void start_trace(int port_fd) {
    const char* value = std::getenv(WIRE_TRACE_VARIABLE);
    if (value == nullptr || value[0] == '\0' || std::strcmp(value, "0") == 0) {
        return;
    }
    if (std::strcmp(value, "2") == 0) {
        trace_fd = STDERR_FILENO;
        trace_name = "standard error";
    } else {
        const char* why = nullptr;
        trace_fd = trace_file_open(value, port_fd, input_path, why);
        trace_name = value;
        if (trace_fd < 0) {
            warn(value, why, "going on without it.");
            return;
        }
    }
    wire_trace_detail::active = true;
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
    write_line(line);
}

/// The speed the driver has set on fd, in bits per second; 0 when it is none of the rates.
int speed_set(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return 0;
    }
    const speed_t speed = cfgetospeed(&settings);
    for (const int rate : RATES) {
        if (serial_speed_constant(rate) == speed) {
            return rate;
        }
    }
    return 0;
}

const char* low_latency_state(int fd) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return "not offered by the driver";
    }
    return (serial.flags & ASYNC_LOW_LATENCY) != 0 ? "on" : "refused by the driver";
}

void write_open_line(int fd, const char* path, int baud_rate) {
    line_text line = timed_line(port.opened_us);
    trace_append(line, "open %s", path);
    std::array<char, PATH_MAX> resolved{};
    if (realpath(path, resolved.data()) != nullptr && std::strcmp(resolved.data(), path) != 0) {
        trace_append(line, " (%s)", resolved.data());
    }
    trace_append(line, ": speed asked %d, set %d; low latency %s; ", baud_rate, speed_set(fd),
                 low_latency_state(fd));
    std::array<char, SYSFS_PATH_MAX> timer_file{};
    const int timer_ms = usb_latency_timer_ms(SYSFS_ROOT, path, timer_file);
    if (timer_ms >= 0) {
        trace_append(line, "USB latency timer %d ms (%s)", timer_ms, timer_file.data());
    } else {
        trace_append(line, "no USB latency timer");
    }
    write_line(line);
}

bool traced(int fd) {
    return fd >= 0 && fd == port.fd;
}

/// Writes count bytes of terminal mode, in lines of what (keys, screen) that show them all.
void write_terminal_bytes(const char* what, const uint8_t* bytes, std::size_t count) {
    const long now = monotonic_now_us();
    for (std::size_t at = 0; at < count; at += SHOWN_BYTES_MAX) {
        byte_log piece{};
        for (std::size_t i = at; i < count && i < at + SHOWN_BYTES_MAX; ++i) {
            trace_log_byte(piece, bytes[i]);
        }
        line_text line = timed_line(now);
        trace_append(line, "%s", what);
        trace_append_bytes(line, piece);
        write_line(line);
    }
}

/// Takes one sent byte at time now_us into the frame, or ends the exchange with a command.
void take_sent_byte(uint8_t b, long now_us) {
    if (port.outgoing.count == 0) {
        port.outgoing_us = now_us;
    }
    trace_log_byte(port.outgoing, b);
    frame_data ended{};
    const int command = decode_sent_byte(port.frame, b, ended);
    if (command < 0) {
        return;
    }
    write_finished();
    exchange_log& e = port.pending;
    e = exchange_log{};
    e.present = true;
    e.command = command;
    e.sent_us = now_us;
    e.sent = port.outgoing;
    e.frame = ended;
    port.outgoing.count = 0;
}

} // namespace

void wire_trace_set_input(const char* path) {
    input_path = path;
}

void wire_trace_open(int fd, const char* path, int baud_rate) {
    if (!decided) {
        decided = true;
        start_trace(fd);
    }
    if (!wire_trace_detail::active || port.fd >= 0) {
        return;
    }
    port = port_trace{};
    port.fd = fd;
    port.opened_us = monotonic_now_us();
    last_opened_us = port.opened_us;
    summary_due = 1;
    write_open_line(fd, path, baud_rate);
}

void wire_trace_terminal(int fd) {
    if (traced(fd)) {
        port.terminal = true;
    }
}

void wire_trace_detail::sent(int fd, const uint8_t* bytes, std::size_t count) {
    if (!traced(fd)) {
        return;
    }
    port.bytes_sent += static_cast<long>(count);
    if (port.terminal) {
        write_terminal_bytes("keys | sent", bytes, count);
        return;
    }
    const long now = monotonic_now_us();
    write_drain(); // a drain still open here ended at its limit
    for (std::size_t i = 0; i < count; ++i) {
        take_sent_byte(bytes[i], now);
    }
    publish_in_flight();
}

void wire_trace_detail::received(int fd, const uint8_t* bytes, int got, int asked,
                                 long timeout_us) {
    if (!traced(fd)) {
        return;
    }
    const long now = monotonic_now_us();
    write_drain();
    exchange_log& e = port.pending;
    if (!e.present) {
        e = exchange_log{};
        e.present = true;
        e.command = -1;
        e.sent_us = now;
    }
    for (int i = 0; i < got; ++i) {
        trace_log_byte(e.received, bytes[i]);
    }
    ++e.reads;
    e.last_asked = asked;
    e.last_got = got;
    e.timeout_us = timeout_us;
    e.answered_us = now;
    port.bytes_received += got;
    publish_in_flight();
}

void wire_trace_detail::screen(int fd, const uint8_t* bytes, std::size_t count) {
    if (!traced(fd)) {
        return;
    }
    port.bytes_received += static_cast<long>(count);
    write_terminal_bytes("screen ->", bytes, count);
}

void wire_trace_detail::drain_begin(int fd) {
    if (!traced(fd)) {
        return;
    }
    write_finished();
    port.drain = drain_log{};
    port.drain.present = true;
    port.drain.started_us = monotonic_now_us();
    port.drain.ended_us = port.drain.started_us;
    publish_in_flight();
}

void wire_trace_detail::drained(int fd, const uint8_t* bytes, int got) {
    if (!traced(fd) || !port.drain.present) {
        return;
    }
    for (int i = 0; i < got; ++i) {
        trace_log_byte(port.drain.thrown, bytes[i]);
    }
    port.bytes_drained += got;
    port.bytes_received += got;
    port.drain.ended_us = monotonic_now_us();
    if (got == 0) {
        port.drain.quiet = true;
        write_drain();
    }
    publish_in_flight();
}

void wire_trace_detail::close(int fd) {
    if (!traced(fd)) {
        return;
    }
    const long now = monotonic_now_us();
    write_finished();
    if (port.outgoing.count > 0) { // bytes that no command byte followed
        port.pending = leftover_exchange(now);
        write_exchange();
    }
    retract_in_flight();
    summary_due = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    line_text line = timed_line(now);
    append_summary(line);
    write_line(line);
    port.fd = -1;
}

void wire_trace_note(const char* format, ...) {
    if (!wire_trace_detail::active) {
        return;
    }
    write_finished();
    line_text line = timed_line(monotonic_now_us());
    va_list args;
    va_start(args, format);
    trace_append_args(line, format, args);
    va_end(args);
    write_line(line);
    publish_in_flight();
}

void wire_trace_end_of_run(int exit_status) {
    wire_trace_note("end of run: exit status %d", exit_status);
    wire_trace_detail::active = false;
    signal_fd = -1;
}

// Runs in the handler of an ending signal, which may have stopped the program anywhere: it
// reads only what is complete (the copy of in_flight it is pointed at, the flags, plain
// counts, of which one may lack the exchange in flight), and calls only clock_gettime, write(2)
// and the signal calls of trace_write_line, all async-signal-safe, besides formatting into
// its own buffers and std::nth_element, which moves the reply times in place. The other ending
// signals wait while it runs, and it clears signal_fd first, so it writes once.
void wire_trace_end_by_signal(int signal_number, const char* note, std::size_t note_length) {
    const int fd = signal_fd;
    if (fd < 0) {
        return;
    }
    signal_fd = -1;
    const long now = monotonic_now_us();
    bool writable = true;
    const auto put = [fd, &writable](line_text& line) {
        writable = writable && trace_write_line(fd, line) == 0;
    };
    const int shown = in_flight_shown;
    if (shown >= 0) {
        const in_flight& cut = in_flight_copies[static_cast<std::size_t>(shown)];
        for (int i = 0; i < cut.count; ++i) {
            line_text line = cut.lines[static_cast<std::size_t>(i)].text;
            trace_append_text(line, "interrupted after ");
            trace_append_number(line, now - cut.lines[static_cast<std::size_t>(i)].since_us);
            trace_append_text(line, " us");
            put(line);
        }
    }
    if (note != nullptr) { // the interrupted line, without its carriage return and line end
        line_text line = timed_line(now);
        for (std::size_t i = 0; i < note_length && line.length < line.text.size() - 1; ++i) {
            if (note[i] != '\r' && note[i] != '\n') {
                line.text[line.length++] = note[i];
            }
        }
        put(line);
    }
    if (summary_due != 0) {
        line_text line = timed_line(now);
        append_summary(line);
        put(line);
    }
    line_text line = timed_line(now);
    trace_append_text(line, "end of run: ended by signal ");
    trace_append_number(line, signal_number);
    put(line);
}
