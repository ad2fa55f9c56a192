// SPDX-License-Identifier: MIT
// An exchange with the adapter, a drain and a port's summary as the trace shows them: the
// command and its frame named as vantrel-emu --trace names them, the bytes both ways and the
// wait. Private to the trace.
#pragma once

#include "protocol/adapter_frame.h"
#include "trace/wire_text.h"

#include <cstdint>

/// One command with the bytes sent for it and what was read after it.
struct exchange_log {
    bool present;
    int command;          // -1: bytes read or sent without a command byte
    int queued_next = -1; // the command that went out queued behind this one; -1: none
    bool queued;    // went out in the same write as the command before it, nothing read between
    long send_call; // which write of the port sent the command byte
    long sent_us;   // monotonic time at which the command byte had been handed over
    byte_log sent;
    adapter_frame frame;
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

/// A traced port's counts, for its summary.
struct port_counts {
    long exchanges;
    long round_trips; // exchanges whose reply the program waited for
    long bytes_sent;
    long bytes_received;
    long bytes_drained;
    long waiting_us;
    long draining_us;
};

/// Appends the port's summary: its counts, and the median and 90th percentile of the first
/// replies times in reply_us, which it reorders. Safe in a signal handler: numbers formatted
/// here, and the quantiles computed in place, with no allocation.
void append_port_summary(line_text& line, const port_counts& counts, int32_t* reply_us,
                         int replies);

/// Appends the command's name ("BLOCK_WRITE"), or "COMMAND 0x55" for a byte outside the
/// table, or "(no command)" for -1: bytes read or sent without a command byte.
void trace_append_command(line_text& line, int command);

/// Appends the frame as command reads it: " 0x0100 16 bytes" for a block request, " 0xB4" for
/// a register argument, the data bytes for any other frame.
void trace_append_frame(line_text& line, int command, const adapter_frame& frame);

/// Appends how the program waited for the reply: its time, its silence, no wait at all, or the
/// command queued behind it, with whose reply its own came.
void append_wait(line_text& line, const exchange_log& e);

/// Gives head, a command that another went out queued behind, the leading bytes of tail's reply
/// that the program asked for beyond tail's own reply: its answer, read in the same round trip.
void split_queued_reply(exchange_log& head, exchange_log& tail);

/// Appends the exchange's line up to its wait.
void append_exchange_body(line_text& line, const exchange_log& e);

/// Appends the drain's line up to how it ended.
void append_drain_body(line_text& line, const drain_log& d);
