// SPDX-License-Identifier: MIT
// The bytes the program sends, decoded for the wire trace.
#include "serial/wire_decode.h"

#include "serial/wire_trace.h"

namespace {

struct command_entry {
    uint8_t byte;
    const char* name;
};

/// The adapter's commands, by the names vantrel-emu --trace gives them.
constexpr std::array<command_entry, 12> COMMAND_NAMES{{
    {0x01, "IDENTIFY"},
    {0x10, "TARGET_RESET"},
    {0x11, "ADDRESS_WRITE"},
    {0x12, "ADDRESS_READ"},
    {0x13, "DATA_WRITE"},
    {0x14, "DATA_READ"},
    {0x15, "BLOCK_FETCH"},
    {0x16, "BLOCK_SUM"},
    {0x20, "PROGRAM_MODE"},
    {0x21, "BLOCK_WRITE"},
    {0x22, "BLOCK_READ"},
    {0x3F, "QUERY"},
}};

constexpr uint8_t FRAME_START = 0x00;
constexpr uint8_t FRAME_BODY_BIT = 0x80;
constexpr int GROUP_LINE_BYTES = 8; // a header and up to seven bytes
constexpr int BLOCK_WRITE = 0x21, BLOCK_READ = 0x22, ADDRESS_WRITE = 0x11, DATA_WRITE = 0x13;

} // namespace

int decode_sent_byte(frame_decoder& frame, uint8_t b, frame_data& ended) {
    if (b == FRAME_START) {
        frame.open = true;
        frame.body = 0;
        frame.data.length = 0;
        frame.data.overflow = false;
        return -1;
    }
    if ((b & FRAME_BODY_BIT) != 0) {
        if (!frame.open) {
            return -1; // body bytes outside a frame: the adapter drops them
        }
        const int k = frame.body % GROUP_LINE_BYTES;
        ++frame.body;
        if (k == 0) {
            frame.header = b;
        } else if (frame.data.length < FRAME_KEPT_MAX) {
            const int top = (frame.header >> (GROUP_LINE_BYTES - 1 - k)) & 1;
            frame.data.bytes[static_cast<std::size_t>(frame.data.length++)] =
                static_cast<uint8_t>((b & 0x7F) | static_cast<unsigned>(top << 7));
        } else {
            frame.data.overflow = true;
        }
        return -1;
    }
    ended = frame.open ? frame.data : frame_data{};
    frame.open = false;
    return b;
}

void trace_append_frame(line_text& line, int command, const frame_data& f) {
    const bool block = command == BLOCK_WRITE || command == BLOCK_READ;
    const bool one_byte = command == ADDRESS_WRITE || command == DATA_WRITE;
    if (f.overflow) {
        trace_append(line, " [overlong frame]");
    } else if (block && f.length >= 3 && (command == BLOCK_WRITE || f.length == 3)) {
        trace_append(line, " 0x%04X %u bytes", static_cast<unsigned>(f.bytes[0] << 8 | f.bytes[1]),
                     static_cast<unsigned>(f.bytes[2]));
        if (command == BLOCK_WRITE && f.length != 3 + f.bytes[2]) {
            trace_append(line, " [%d data bytes]", f.length - 3);
        }
    } else if (one_byte && f.length == 1) {
        trace_append(line, " 0x%02X", f.bytes[0]);
    } else if (f.length > 0) {
        trace_append(line, " [frame");
        for (int i = 0; i < f.length; ++i) {
            trace_append(line, " %02X", f.bytes[static_cast<std::size_t>(i)]);
        }
        trace_append(line, "]");
    }
}

const char* wire_command_name(uint8_t command) {
    for (const command_entry& entry : COMMAND_NAMES) {
        if (entry.byte == command) {
            return entry.name;
        }
    }
    return nullptr;
}
