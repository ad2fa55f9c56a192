// SPDX-License-Identifier: MIT
// Data frames on the line, coded and decoded.
#include "protocol/adapter_frame.h"

#include "protocol/adapter_protocol.h"

namespace {

constexpr uint8_t FRAME_BODY_BIT = 0x80;

} // namespace

int adapter_frame_encode_group(const uint8_t* data, int count, uint8_t* out) {
    uint8_t header = FRAME_BODY_BIT;
    for (int k = 0; k < count; ++k) {
        if ((data[k] & 0x80) != 0) {
            header |= static_cast<uint8_t>(1U << (FRAME_GROUP_BYTES - 1 - k));
        }
        out[1 + k] = static_cast<uint8_t>(data[k] | FRAME_BODY_BIT);
    }
    out[0] = header;
    return count + 1;
}

int adapter_frame_encode(const uint8_t* data, int count, uint8_t* out) {
    int length = 0;
    out[length++] = ADP_FRAME_START;
    for (int done = 0; done < count; done += FRAME_GROUP_BYTES) {
        const int group = count - done < FRAME_GROUP_BYTES ? count - done : FRAME_GROUP_BYTES;
        length += adapter_frame_encode_group(data + done, group, out + length);
    }
    return length;
}

int adapter_frame_take(adapter_frame_decoder& decoder, uint8_t b, adapter_frame& ended) {
    if (b == ADP_FRAME_START) {
        decoder.open = true;
        decoder.body = 0;
        decoder.data.length = 0;
        decoder.data.overflow = false;
        return -1;
    }
    if (!adapter_is_command_byte(b)) {
        if (!decoder.open) {
            return -1;
        }
        const int k = decoder.body % FRAME_GROUP_LINE_BYTES; // 0: a group header
        ++decoder.body;
        if (k == 0) {
            decoder.header = b;
        } else if (decoder.data.length < FRAME_KEPT_MAX) {
            const int top = (decoder.header >> (FRAME_GROUP_LINE_BYTES - 1 - k)) & 1;
            decoder.data.bytes[static_cast<std::size_t>(decoder.data.length++)] =
                static_cast<uint8_t>((b & 0x7F) | static_cast<unsigned>(top << 7));
        } else {
            decoder.data.overflow = true;
        }
        return -1;
    }
    ended = decoder.open ? decoder.data : adapter_frame{};
    decoder.open = false;
    return b;
}
