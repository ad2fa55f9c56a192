// SPDX-License-Identifier: MIT
// The traced port: the bytes sent, decoded as the adapter decodes them, whatever order the
// layers above send them in; the bytes read after a command, until the next one goes out, are
// its reply. An exchange's line is written once it is over: when the next command goes out, a
// drain or a note begins, or the port closes. In terminal mode the bytes are keys and screen
// output, each written as it passes. Private to the trace.
//
// A signal that ends the run must not take the lines that show where it stopped with it: what
// is in flight is kept formatted in fixed buffers as it changes, for the cut lines below.
#pragma once

#include "trace/wire_text.h"

#include <cstddef>
#include <cstdint>

/// A line that starts with the time since the port was last opened. Safe in a signal handler.
line_text timed_line(long at_us);

/// Takes each finished line of the port to the run's trace, which owns the file. Never called
/// from a signal handler: the cut lines below are written to the descriptor they are given.
using trace_line_sink = void (*)(line_text& line);

/// Starts tracing fd, opened at opened_us, its finished lines going to sink; the caller then
/// writes the port's line.
void port_trace_open(int fd, long opened_us, trace_line_sink sink);

/// True when fd is the traced port.
bool port_traced(int fd);

/// True while a port is traced.
bool port_trace_in_use();

/// From now on what is sent is typed keys, and traced as such (terminal mode).
void port_trace_terminal();

void port_trace_sent(const uint8_t* bytes, std::size_t count);
void port_trace_received(const uint8_t* bytes, int got, int asked, long timeout_us);
void port_trace_drain_begin();
void port_trace_drained(const uint8_t* bytes, int got);

/// Bytes that terminal mode read from the port for the screen.
void port_trace_screen(const uint8_t* bytes, std::size_t count);

/// Writes what is over, before a note.
void port_trace_finish();

/// After a note: what is in flight is formatted again for the signal handler.
void port_trace_publish();

/// The last lines and the port's summary; the port is no longer traced.
void port_trace_close();

/// For the handler of an ending signal: writes each line in flight to fd, cut short at now_us,
/// while writable; a write that fails clears writable. Async-signal-safe.
void port_trace_cut_lines(long now_us, int fd, bool& writable);

/// For the handler of an ending signal: writes the port's summary at now_us to fd while
/// writable, when a port is still traced. Async-signal-safe.
void port_trace_cut_summary(long now_us, int fd, bool& writable);
