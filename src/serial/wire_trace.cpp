// SPDX-License-Identifier: MIT
// The wire trace that VANTREL_TRACE asks for.
//
// The bytes sent are decoded as the adapter decodes them (wire_decode.h), whatever order the
// layers above send them in; the bytes read after a command, until the next one goes out, are
// its reply. An exchange's line is written once it is over: when the next command goes out, a
// drain or a note begins, or the port closes.
#include "serial/wire_trace.h"

#include "serial/serial_port.h"
#include "serial/usb_latency.h"
#include "serial/wire_decode.h"
#include "serial/wire_text.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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
    long opened_us;
    frame_decoder frame;
    byte_log outgoing; // bytes sent since the last command byte
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

bool decided = false;
int trace_fd = -1;
port_trace port{};
long last_opened_us = 0;
std::array<int32_t, REPLY_SAMPLES_MAX> reply_us{};

void write_line(line_text& line) {
    trace_write_line(trace_fd, line);
}

/// A line that starts with the time since the port was opened.
line_text timed_line(long at_us) {
    line_text line{};
    trace_append(line, "%9ld | ", at_us - last_opened_us);
    return line;
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

void write_exchange() {
    exchange_log& e = port.pending;
    if (!e.present) {
        return;
    }
    e.present = false;
    line_text line = timed_line(e.sent_us);
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
    append_wait(line, e);
    write_line(line);

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

void write_drain() {
    drain_log& d = port.drain;
    if (!d.present) {
        return;
    }
    d.present = false;
    line_text line = timed_line(d.started_us);
    trace_append(line, "drain");
    if (d.thrown.count > 0) {
        trace_append(line, " ->");
        trace_append_bytes(line, d.thrown);
        trace_append(line, " | threw away %d bytes, ", d.thrown.count);
    } else {
        trace_append(line, " | nothing to throw away, ");
    }
    trace_append(line, "%s after %ld us", d.quiet ? "quiet" : "still not quiet",
                 d.ended_us - d.started_us);
    write_line(line);
    port.draining_us += d.ended_us - d.started_us;
}

/// Writes what is over before anything new begins.
void write_finished() {
    write_drain();
    write_exchange();
}

/// The nearest-rank p-quantile (0..1) of the first count reply times; reorders them.
long reply_quantile(int count, double p) {
    const int rank = std::max(static_cast<int>(std::ceil(p * count)), 1) - 1;
    std::nth_element(reply_us.begin(), reply_us.begin() + rank, reply_us.begin() + count);
    return reply_us[static_cast<std::size_t>(rank)];
}

void write_summary(long now_us) {
    line_text line = timed_line(now_us);
    trace_append(line,
                 "close: %ld exchanges; %ld bytes sent, %ld received (%ld of them drained); %ld us "
                 "waiting for replies, %ld us draining; ",
                 port.exchanges, port.bytes_sent, port.bytes_received, port.bytes_drained,
                 port.waiting_us, port.draining_us);
    if (port.replies == 0) {
        trace_append(line, "no complete reply");
    } else {
        const long median = reply_quantile(port.replies, 0.5);
        const long p90 = reply_quantile(port.replies, 0.9);
        trace_append(line, "turnaround median %ld us, 90th percentile %ld us over %d replies",
                     median, p90, port.replies);
    }
    write_line(line);
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
void start_trace() {
    const char* value = std::getenv(WIRE_TRACE_VARIABLE);
    if (value == nullptr || value[0] == '\0' || std::strcmp(value, "0") == 0) {
        return;
    }
    if (std::strcmp(value, "2") == 0) {
        trace_fd = STDERR_FILENO;
    } else {
        trace_fd = open(value, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
        if (trace_fd < 0) {
            std::fprintf(stderr, "Cannot write the trace to %s: %s; going on without it.\n", value,
                         std::strerror(errno));
            return;
        }
    }
    wire_trace_detail::active = true;
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

/// Takes one sent byte at time now_us into the frame, or ends the exchange with a command.
void take_sent_byte(uint8_t b, long now_us) {
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

void wire_trace_open(int fd, const char* path, int baud_rate) {
    if (!decided) {
        decided = true;
        start_trace();
    }
    if (!wire_trace_detail::active || port.fd >= 0) {
        return;
    }
    port = port_trace{};
    port.fd = fd;
    port.opened_us = monotonic_now_us();
    last_opened_us = port.opened_us;
    write_open_line(fd, path, baud_rate);
}

void wire_trace_detail::sent(int fd, const uint8_t* bytes, std::size_t count) {
    if (!traced(fd)) {
        return;
    }
    const long now = monotonic_now_us();
    write_drain(); // a drain still open here ended at its limit
    for (std::size_t i = 0; i < count; ++i) {
        take_sent_byte(bytes[i], now);
    }
    port.bytes_sent += static_cast<long>(count);
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
}

void wire_trace_detail::close(int fd) {
    if (!traced(fd)) {
        return;
    }
    const long now = monotonic_now_us();
    write_finished();
    if (port.outgoing.count > 0) { // bytes that no command byte followed
        exchange_log& e = port.pending;
        e = exchange_log{};
        e.present = true;
        e.command = -1;
        e.sent_us = now;
        e.sent = port.outgoing;
        write_exchange();
    }
    write_summary(now);
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
}
