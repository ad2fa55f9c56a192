// SPDX-License-Identifier: MIT
// The bytes the program sends, decoded for the wire trace as the adapter decodes them: 0x00
// starts a frame, 0x80 and above are its body (a header in front of each group of up to seven
// bytes, carrying their bit 7), and a byte 0x01 to 0x7F is a command that ends the frame.
// Private to the trace.
#pragma once

#include "serial/wire_text.h"

#include <array>
#include <cstdint>

/// Data bytes of one frame decoded, as many as the emulator keeps.
inline constexpr int FRAME_KEPT_MAX = 64;

struct frame_data {
    std::array<uint8_t, FRAME_KEPT_MAX> bytes;
    int length;
    bool overflow; // more data bytes than kept
};

/// The frame being sent.
struct frame_decoder {
    bool open; // a 0x00 came since the last command
    int body;  // body bytes so far, headers included
    uint8_t header;
    frame_data data;
};

/// Takes one sent byte. A command byte is returned, with the frame it ends (empty when none) in
/// ended; any other byte gives -1.
int decode_sent_byte(frame_decoder& frame, uint8_t b, frame_data& ended);

/// Appends the frame as command reads it, as vantrel-emu --trace shows it: " 0x0100 16 bytes"
/// for a block request, " 0xB4" for a register argument, the data bytes for any other frame.
void trace_append_frame(line_text& line, int command, const frame_data& frame);
