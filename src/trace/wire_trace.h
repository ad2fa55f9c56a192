// SPDX-License-Identifier: MIT
// The wire trace that VANTREL_TRACE asks for: every exchange with the adapter, decoded and
// timed, the drains, notes from the layers above and a summary, for a user to send in when a
// real adapter misbehaves. The driver installs it once, on the serial port's tap; with the
// variable unset nothing is installed and the port runs as if there were no trace.
#pragma once

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
