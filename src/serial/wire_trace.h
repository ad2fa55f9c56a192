// SPDX-License-Identifier: MIT
// The wire trace that VANTREL_TRACE asks for: every exchange with the adapter, decoded and
// timed, the drains, notes from the layers above and a summary, for a user to send in when a
// real adapter misbehaves. The serial operations feed it; with the variable unset every feed
// is one test of a flag that the first open of the run decided.
#pragma once

#include <cstddef>
#include <cstdint>

/// The variable: "2" traces to standard error, any other value names a regular file appended
/// to (created with mode 0600); unset, empty or "0": no trace.
inline constexpr const char* WIRE_TRACE_VARIABLE = "VANTREL_TRACE";

namespace wire_trace_detail {

/// True once the first serial_open of the run has found the variable set and the trace open.
extern bool active;

void sent(int fd, const uint8_t* bytes, std::size_t count);
void received(int fd, const uint8_t* bytes, int got, int asked, long timeout_us);
void drain_begin(int fd);
void drained(int fd, const uint8_t* bytes, int got);
void close(int fd);
void screen(int fd, const uint8_t* bytes, std::size_t count);

} // namespace wire_trace_detail

/// The HEX input the run was given (-f), which the trace must never be written to.
void wire_trace_set_input(const char* path);

/// Called by serial_open for each port it opened: the first call of the run reads the variable
/// and, when it asks for a trace, opens it and writes the run's header line. A trace file that
/// cannot be opened, or that is not a regular file of its own (a symbolic link, a device, a
/// FIFO, a directory; the port, the HEX input, standard input or output), gives one warning on
/// standard error and no trace. Then, while tracing, it writes the port's line: path, speeds,
/// low latency, USB latency timer. A trace write that fails later gives one warning and ends
/// the trace; the run goes on as it would have.
void wire_trace_open(int fd, const char* path, int baud_rate);

/// From now on what is sent on fd is typed keys, and traced as such (terminal mode).
void wire_trace_terminal(int fd);

/// Bytes that terminal mode read from the port for the screen.
inline void wire_trace_screen(int fd, const uint8_t* bytes, std::size_t count) {
    if (wire_trace_detail::active) {
        wire_trace_detail::screen(fd, bytes, count);
    }
}

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

/// The run's last line, with its exit status; nothing is traced after it.
void wire_trace_end_of_run(int exit_status);

/// For the handler of a signal that ends the run: writes the exchange in flight, cut short,
/// the note (the interrupted line of standard error, null for none), the port's summary and
/// the end of the run. Async-signal-safe.
void wire_trace_end_by_signal(int signal_number, const char* note, std::size_t note_length);

/// The name the trace gives a command byte ("BLOCK_WRITE"), the same as vantrel-emu --trace;
/// null for a byte that is not one of the adapter's commands.
const char* wire_command_name(uint8_t command);
