// SPDX-License-Identifier: MIT
// The wire trace that VANTREL_TRACE asks for: every exchange with the adapter, decoded and
// timed, the drains, notes from the layers above and a summary, for a user to send in when a
// real adapter misbehaves. The driver installs it once, on the serial port's tap; with the
// variable unset nothing is installed and the port runs as if there were no trace. The layers
// above the port add notes to it; each note call does nothing when the run is not traced.
#pragma once

#include <cstddef>
#include <cstdint>

/// The variable: "2" traces to standard error, any other value names a regular file appended
/// to (created with mode 0600); unset, empty or "0": no trace.
inline constexpr const char* WIRE_TRACE_VARIABLE = "VANTREL_TRACE";

/// Reads the variable and, when it asks for a trace, installs the trace on the serial port's
/// tap. The first port opened then opens the trace and writes the run's header line. A trace
/// file that cannot be opened, or that is not a regular file of its own (a symbolic link, a
/// device, a FIFO, a directory; the port, the HEX input, standard input or output), gives one
/// warning on standard error and no trace. While tracing, each port opened gets its line:
/// path, speeds, low latency, USB latency timer. A trace write that fails later gives one
/// warning and ends the trace; the run goes on as it would have.
void wire_trace_install();

/// The HEX input the run was given (-f), which the trace must never be written to.
void wire_trace_set_input(const char* path);

/// Adds one line to the trace, formatted as by printf (a retry, a check, the verdict).
void wire_trace_note(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// From now on what is sent on fd is typed keys, and traced as such (terminal mode).
void wire_trace_terminal(int fd);

/// Bytes that terminal mode read from the port fd for the screen.
void wire_trace_screen(int fd, const uint8_t* bytes, std::size_t count);

/// The run's last line, with its exit status; nothing is traced after it.
void wire_trace_end_of_run(int exit_status);
