// SPDX-License-Identifier: MIT
// The traced port: exchanges, drains and terminal bytes as lines, and the port's summary.
//
// The program keeps what is in flight formatted in fixed buffers as it changes
// (publish_in_flight); the signal handler completes and writes those lines and the summary
// with write(2) and its own number formatting: no stdio, no allocation, no lock.
#include "trace/trace_port.h"

#include "protocol/adapter_frame.h"
#include "serial/serial_port.h"
#include "trace/trace_lines.h"

#include <array>
#include <atomic>
#include <csignal>

namespace {

/// Reply times kept for the median and the 90th percentile; a longer run uses its first ones.
constexpr int REPLY_SAMPLES_MAX = 16384;

/// The decoding state, the exchange not yet written and the port's counts.
struct port_trace {
    int fd = -1;          // -1: no port is traced
    trace_line_sink sink; // where finished lines go
    bool terminal;        // sent bytes are keys, not commands
    long opened_us;
    adapter_frame_decoder frame;
    byte_log outgoing; // bytes sent since the last command byte
    long outgoing_us;  // when the first of them was sent
    long send_calls;   // writes to the port so far
    exchange_log head; // a command that another went out queued behind, until their reply
    exchange_log pending;
    drain_log drain;
    port_counts counts;
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
    std::array<cut_line, 4> lines;
};

port_trace port{};
long last_opened_us = 0;
std::array<int32_t, REPLY_SAMPLES_MAX> reply_us{};

// What the signal handler reads. The program fills the copy of in_flight that the handler is
// not pointed at, then points it there, so the handler never sees one half-written.
volatile sig_atomic_t summary_due = 0;      // 1 while a port is traced and its summary not written
volatile sig_atomic_t in_flight_shown = -1; // which copy; -1: nothing in flight
std::array<in_flight, 2> in_flight_copies{};

/// Hands a finished line to the run's trace.
void output(line_text& line) {
    if (port.sink != nullptr) {
        port.sink(line);
    }
}

void retract_in_flight() {
    in_flight_shown = -1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

/// Writes the line of one exchange and counts it.
void write_exchange_line(const exchange_log& e) {
    line_text line = timed_line(e.sent_us);
    append_exchange_body(line, e);
    append_wait(line, e);
    output(line);
    if (e.command >= 0) {
        ++port.counts.exchanges;
        port.counts.round_trips += e.reads > 0 ? 1 : 0;
    }
}

void write_exchange() {
    exchange_log& e = port.pending;
    if (!e.present) {
        return;
    }
    e.present = false;
    if (port.head.present) {
        port.head.present = false;
        split_queued_reply(port.head, e);
        write_exchange_line(port.head);
    }
    write_exchange_line(e);
    retract_in_flight();

    if (e.reads > 0) {
        port.counts.waiting_us += e.answered_us - e.sent_us;
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
    append_drain_body(line, d);
    trace_append(line, "%s after %ld us", d.quiet ? "quiet" : "still not quiet",
                 d.ended_us - d.started_us);
    output(line);
    retract_in_flight();
    port.counts.draining_us += d.ended_us - d.started_us;
}

/// Bytes sent since the last command byte, as an exchange of their own sent at at_us.
exchange_log leftover_exchange(long at_us) {
    exchange_log e{};
    e.present = true;
    e.command = -1;
    e.queued_next = -1;
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
    if (port.head.present) {
        append_exchange_body(add(port.head.sent_us), port.head);
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
        output(line);
    }
}

/// Takes one sent byte at time now_us into the frame, or ends the exchange with a command.
void take_sent_byte(uint8_t b, long now_us) {
    if (port.outgoing.count == 0) {
        port.outgoing_us = now_us;
    }
    trace_log_byte(port.outgoing, b);
    adapter_frame ended{};
    const int command = adapter_frame_take(port.frame, b, ended);
    if (command < 0) {
        return;
    }
    // A command sent in the same write as the one before it, with nothing read between, went
    // out queued behind it: one reply wait serves both, and both lines are written after it.
    exchange_log& e = port.pending;
    const bool queued = e.present && e.command >= 0 && e.reads == 0 &&
                        e.send_call == port.send_calls && !port.head.present;
    if (queued) {
        write_drain();
        port.head = e;
        port.head.queued_next = command;
    } else {
        port_trace_finish();
    }
    e = exchange_log{};
    e.present = true;
    e.command = command;
    e.queued_next = -1;
    e.queued = queued;
    e.send_call = port.send_calls;
    e.sent_us = now_us;
    e.sent = port.outgoing;
    e.frame = ended;
    port.outgoing.count = 0;
}

} // namespace

line_text timed_line(long at_us) {
    line_text line{};
    trace_append_number(line, at_us - last_opened_us, 9);
    trace_append_text(line, " | ");
    return line;
}

void port_trace_open(int fd, long opened_us, trace_line_sink sink) {
    port = port_trace{};
    port.fd = fd;
    port.sink = sink;
    port.opened_us = opened_us;
    last_opened_us = opened_us;
    summary_due = 1;
}

bool port_traced(int fd) {
    return fd >= 0 && fd == port.fd;
}

bool port_trace_in_use() {
    return port.fd >= 0;
}

void port_trace_terminal() {
    port.terminal = true;
}

void port_trace_sent(const uint8_t* bytes, std::size_t count) {
    port.counts.bytes_sent += static_cast<long>(count);
    if (port.terminal) {
        write_terminal_bytes("keys | sent", bytes, count);
        return;
    }
    const long now = monotonic_now_us();
    write_drain(); // a drain still open here ended at its limit
    ++port.send_calls;
    for (std::size_t i = 0; i < count; ++i) {
        take_sent_byte(bytes[i], now);
    }
    publish_in_flight();
}

void port_trace_received(const uint8_t* bytes, int got, int asked, long timeout_us) {
    const long now = monotonic_now_us();
    write_drain();
    exchange_log& e = port.pending;
    if (!e.present) {
        e = exchange_log{};
        e.present = true;
        e.command = -1;
        e.queued_next = -1;
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
    port.counts.bytes_received += got;
    publish_in_flight();
}

void port_trace_screen(const uint8_t* bytes, std::size_t count) {
    port.counts.bytes_received += static_cast<long>(count);
    write_terminal_bytes("screen ->", bytes, count);
}

void port_trace_drain_begin() {
    port_trace_finish();
    port.drain = drain_log{};
    port.drain.present = true;
    port.drain.started_us = monotonic_now_us();
    port.drain.ended_us = port.drain.started_us;
    publish_in_flight();
}

void port_trace_drained(const uint8_t* bytes, int got) {
    if (!port.drain.present) {
        return;
    }
    for (int i = 0; i < got; ++i) {
        trace_log_byte(port.drain.thrown, bytes[i]);
    }
    port.counts.bytes_drained += got;
    port.counts.bytes_received += got;
    port.drain.ended_us = monotonic_now_us();
    if (got == 0) {
        port.drain.quiet = true;
        write_drain();
    }
    publish_in_flight();
}

void port_trace_finish() {
    write_drain();
    write_exchange();
}

void port_trace_publish() {
    publish_in_flight();
}

void port_trace_close() {
    const long now = monotonic_now_us();
    port_trace_finish();
    if (port.outgoing.count > 0) { // bytes that no command byte followed
        port.pending = leftover_exchange(now);
        write_exchange();
    }
    retract_in_flight();
    summary_due = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    line_text line = timed_line(now);
    append_port_summary(line, port.counts, reply_us.data(), port.replies);
    output(line);
    port.fd = -1;
}

// Both run in the handler of an ending signal, which may have stopped the program anywhere:
// they read only what is complete (the copy of in_flight the handler is pointed at, the flags,
// plain counts, of which one may lack the exchange in flight), and call only write(2) and the
// signal calls of trace_write_line, besides formatting into their own buffers and
// std::nth_element, which moves the reply times in place.
void port_trace_cut_lines(long now_us, int fd, bool& writable) {
    const int shown = in_flight_shown;
    if (shown < 0) {
        return;
    }
    const in_flight& cut = in_flight_copies[static_cast<std::size_t>(shown)];
    for (int i = 0; i < cut.count; ++i) {
        line_text line = cut.lines[static_cast<std::size_t>(i)].text;
        trace_append_text(line, "interrupted after ");
        trace_append_number(line, now_us - cut.lines[static_cast<std::size_t>(i)].since_us);
        trace_append_text(line, " us");
        writable = writable && trace_write_line(fd, line) == 0;
    }
}

void port_trace_cut_summary(long now_us, int fd, bool& writable) {
    if (summary_due == 0) {
        return;
    }
    line_text line = timed_line(now_us);
    append_port_summary(line, port.counts, reply_us.data(), port.replies);
    writable = writable && trace_write_line(fd, line) == 0;
}
