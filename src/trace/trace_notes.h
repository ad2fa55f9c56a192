// SPDX-License-Identifier: MIT
// What the layers above the port tell the wire trace. Each call does nothing when the run is
// not traced.
#pragma once

#include <cstddef>
#include <cstdint>

/// Adds one line to the trace, formatted as by printf (a retry, a check, the verdict).
void wire_trace_note(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// From now on what is sent on fd is typed keys, and traced as such (terminal mode).
void wire_trace_terminal(int fd);

/// Bytes that terminal mode read from the port fd for the screen.
void wire_trace_screen(int fd, const uint8_t* bytes, std::size_t count);

/// The run's last line, with its exit status; nothing is traced after it.
void wire_trace_end_of_run(int exit_status);
