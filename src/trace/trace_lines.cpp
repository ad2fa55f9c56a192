// SPDX-License-Identifier: MIT
// An exchange with the adapter, a drain and the port's summary as the trace shows them.
#include "trace/trace_lines.h"

#include "protocol/adapter_protocol.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

void trace_append_command(line_text& line, int command) {
    if (command < 0) {
        trace_append(line, "(no command)");
    } else if (const char* name = adapter_command_name(static_cast<uint8_t>(command))) {
        trace_append(line, "%s", name);
    } else {
        trace_append(line, "COMMAND 0x%02X", command);
    }
}

void trace_append_frame(line_text& line, int command, const adapter_frame& f) {
    const adapter_command_info* info =
        command < 0 ? nullptr : adapter_command_find(static_cast<uint8_t>(command));
    const adapter_frame_use use = info != nullptr ? info->frame : FRAME_NONE;
    if (f.overflow) {
        trace_append(line, " [overlong frame]");
    } else if ((use == FRAME_BLOCK_DATA && f.length >= BLOCK_REQUEST_HEADER) ||
               (use == FRAME_BLOCK && f.length == BLOCK_REQUEST_HEADER)) {
        trace_append(line, " 0x%04X %u bytes", static_cast<unsigned>(f.bytes[0] << 8 | f.bytes[1]),
                     static_cast<unsigned>(f.bytes[2]));
        if (use == FRAME_BLOCK_DATA && f.length != BLOCK_REQUEST_HEADER + f.bytes[2]) {
            trace_append(line, " [%d data bytes]", f.length - BLOCK_REQUEST_HEADER);
        }
    } else if (use == FRAME_REGISTER && f.length == 1) {
        trace_append(line, " 0x%02X", f.bytes[0]);
    } else if (f.length > 0) {
        trace_append(line, " [frame");
        for (int i = 0; i < f.length; ++i) {
            trace_append(line, " %02X", f.bytes[static_cast<std::size_t>(i)]);
        }
        trace_append(line, "]");
    }
}

void append_wait(line_text& line, const exchange_log& e) {
    const long wait_ms = e.timeout_us / 1000;
    if (e.queued_next >= 0) {
        trace_append_command(line, e.queued_next);
        trace_append(line, " queued behind it");
    } else if (e.reads == 0) {
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

void append_exchange_body(line_text& line, const exchange_log& e) {
    trace_append_command(line, e.command);
    trace_append_frame(line, e.command, e.frame);
    if (e.received.count > 0) {
        trace_append(line, " ->");
        trace_append_bytes(line, e.received);
    } else if (e.reads > 0) {
        trace_append(line, " -> (no reply)");
    }
    trace_append(line, " | sent");
    trace_append_bytes(line, e.sent);
    trace_append(line, e.queued ? ", queued | " : " | ");
}

namespace {

/// Bytes of command's own reply, the block read before it (head) giving a fetch's length.
int own_reply_length(int command, const exchange_log& head) {
    if (command == ADP_BLOCK_FETCH && head.command == ADP_BLOCK_READ &&
        head.frame.length == BLOCK_REQUEST_HEADER) {
        return head.frame.bytes[2] + 2;
    }
    if (command == ADP_IDENTIFY) {
        return ADAPTER_ID_SIZE;
    }
    const adapter_command_info* info =
        command < 0 ? nullptr : adapter_command_find(static_cast<uint8_t>(command));
    return info != nullptr && info->replies ? 1 : 0;
}

} // namespace

void split_queued_reply(exchange_log& head, exchange_log& tail) {
    // The program asked for the head's answer and tail's own reply together: what it asked for
    // beyond tail's own reply is the head's, taken first.
    const int lead =
        std::min(tail.last_asked - own_reply_length(tail.command, head), tail.received.count);
    if (lead <= 0) {
        return;
    }
    byte_log own{};
    for (int i = 0; i < tail.received.count && i < SHOWN_BYTES_MAX; ++i) {
        trace_log_byte(i < lead ? head.received : own,
                       tail.received.bytes[static_cast<std::size_t>(i)]);
    }
    own.count = tail.received.count - lead;
    tail.received = own;
}

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

namespace {

/// The nearest-rank p-quantile (0..1) of the first count reply times; reorders them.
long reply_quantile(int32_t* reply_us, int count, double p) {
    const int rank = std::max(static_cast<int>(std::ceil(p * count)), 1) - 1;
    std::nth_element(reply_us, reply_us + rank, reply_us + count);
    return reply_us[rank];
}

} // namespace

void append_port_summary(line_text& line, const port_counts& counts, int32_t* reply_us,
                         int replies) {
    const std::array<std::pair<const char*, long>, 7> shown{{
        {"close: ", counts.exchanges},
        {" exchanges in ", counts.round_trips},
        {" round trips; ", counts.bytes_sent},
        {" bytes sent, ", counts.bytes_received},
        {" received (", counts.bytes_drained},
        {" of them drained); ", counts.waiting_us},
        {" us waiting for replies, ", counts.draining_us},
    }};
    for (const auto& [text, count] : shown) {
        trace_append_text(line, text);
        trace_append_number(line, count);
    }
    trace_append_text(line, " us draining; ");
    if (replies == 0) {
        trace_append_text(line, "no complete reply");
        return;
    }
    const long median = reply_quantile(reply_us, replies, 0.5);
    const long p90 = reply_quantile(reply_us, replies, 0.9);
    trace_append_text(line, "turnaround median ");
    trace_append_number(line, median);
    trace_append_text(line, " us, 90th percentile ");
    trace_append_number(line, p90);
    trace_append_text(line, " us over ");
    trace_append_number(line, replies);
    trace_append_text(line, " replies");
}
