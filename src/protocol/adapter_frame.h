// SPDX-License-Identifier: MIT
// Data frames on the line: 0x00 starts a frame, and its bytes follow in groups of up to seven,
// each group behind a header byte that carries their bit 7; every body byte has bit 7 set, so
// neither a command byte nor a new 0x00 can be taken for frame content. A command byte ends
// the frame.
#pragma once

#include <array>
#include <cstdint>

/// Data bytes of one group, and the group's bytes on the line with its header.
inline constexpr int FRAME_GROUP_BYTES = 7;
inline constexpr int FRAME_GROUP_LINE_BYTES = FRAME_GROUP_BYTES + 1;

/// Bytes on the line of a frame of count data bytes, its 0x00 included.
constexpr int adapter_frame_line_size(int count) {
    return 1 + count + (count + FRAME_GROUP_BYTES - 1) / FRAME_GROUP_BYTES;
}

/// Puts one group of 1 to 7 data bytes at out: its header, then the bytes with bit 7 set.
/// Returns the number of line bytes written.
int adapter_frame_encode_group(const uint8_t* data, int count, uint8_t* out);

/// Puts the whole frame of count (0 or more) data bytes at out, which must hold
/// adapter_frame_line_size(count) bytes. Returns its length.
int adapter_frame_encode(const uint8_t* data, int count, uint8_t* out);

/// Data bytes of one frame kept by a decoder; more are noted as overflow.
inline constexpr int FRAME_KEPT_MAX = 64;

/// A decoded frame.
struct adapter_frame {
    std::array<uint8_t, FRAME_KEPT_MAX> bytes;
    int length;
    bool overflow; // more data bytes than kept
};

/// The frame being received, as the adapter decodes the bytes sent to it.
struct adapter_frame_decoder {
    bool open; // a 0x00 came since the last command
    int body;  // body bytes so far, headers included
    uint8_t header;
    adapter_frame data;
};

/// Takes one byte. A command byte is returned, with the frame it ends in ended (empty when no
/// frame was started since the last command); any other byte gives -1. Body bytes outside a
/// frame are dropped.
int adapter_frame_take(adapter_frame_decoder& decoder, uint8_t b, adapter_frame& ended);
