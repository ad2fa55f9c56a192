// SPDX-License-Identifier: MIT
// The wire trace that VANTREL_TRACE asks for: every exchange with the adapter, decoded and
// timed, the drains, notes from the layers above and a summary, for a user to send in when a
// real adapter misbehaves. The serial operations feed it; with the variable unset every feed
// is one test of a flag that the first open of the run decided.
#pragma once

#include <cstddef>
#include <cstdint>

/// The variable: "2" traces to standard error, any other value names a file appended to;
/// unset, empty or "0": no trace.
inline constexpr const char* WIRE_TRACE_VARIABLE = "VANTREL_TRACE";

namespace wire_trace_detail {

/// True once the first serial_open of the run has found the variable set and the trace open.
extern bool active;

void sent(int fd, const uint8_t* bytes, std::size_t count);
void received(int fd, const uint8_t* bytes, int got, int asked, long timeout_us);
void drain_begin(int fd);
void drained(int fd, const uint8_t* bytes, int got);
void close(int fd);

} // namespace wire_trace_detail

/// Called by serial_open for each port it opened: the first call of the run reads the variable
/// and, when it asks for a trace, opens it and writes the run's header line (a trace file that
/// cannot be opened gives one warning on standard error and no trace). Then, while tracing, it
/// writes the port's line: path, speeds, low latency, USB latency timer.
void wire_trace_open(int fd, const char* path, int baud_rate);

/// Bytes that serial_send has handed to the port.
inline void wire_trace_sent(int fd, const uint8_t* bytes, std::size_t count) {
    if (wire_trace_detail::active) {
        wire_trace_detail::sent(fd, bytes, count);
    }
}

/// The outcome of one serial_read_timed: got of the asked bytes, stored at bytes.
inline void wire_trace_received(int fd, const uint8_t* bytes, int got, int asked, long timeout_us) {
    if (wire_trace_detail::active) {
        wire_trace_detail::received(fd, bytes, got, asked, timeout_us);
    }
}

/// serial_drain begins.
inline void wire_trace_drain_begin(int fd) {
    if (wire_trace_detail::active) {
        wire_trace_detail::drain_begin(fd);
    }
}

/// serial_drain threw got bytes away; got 0 means the line went quiet and the drain ends.
inline void wire_trace_drained(int fd, const uint8_t* bytes, int got) {
    if (wire_trace_detail::active) {
        wire_trace_detail::drained(fd, bytes, got);
    }
}

/// serial_close is about to close fd: the last lines and the port's summary are written.
inline void wire_trace_close(int fd) {
    if (wire_trace_detail::active) {
        wire_trace_detail::close(fd);
    }
}

/// Adds one line to the trace, formatted as by printf (a retry, a check, the verdict); does
/// nothing when the run is not traced.
void wire_trace_note(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// The name the trace gives a command byte ("BLOCK_WRITE"), the same as vantrel-emu --trace;
/// null for a byte that is not one of the adapter's commands.
const char* wire_command_name(uint8_t command);
