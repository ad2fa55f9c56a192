// SPDX-License-Identifier: MIT
// The adapter's wire format: data frames of 7-bit-coded bytes and one-byte commands.
#include "adapter/adapter_link.h"

#include "serial/serial_port.h"
#include "serial/wire_trace.h"

#include <array>

namespace {

constexpr int GROUP_BYTES = 7;
constexpr int GROUP_LINE_BYTES = GROUP_BYTES + 1;
constexpr uint8_t FRAME_BODY_BIT = 0x80;

/// Line bytes of a frame of ADAPTER_FRAME_MAX data bytes, its start byte and its command.
constexpr int FRAME_LINE_MAX =
    1 + ADAPTER_FRAME_MAX + (ADAPTER_FRAME_MAX + GROUP_BYTES - 1) / GROUP_BYTES + 1;

/// Puts one group of 1 to 7 data bytes at out as its header and the bytes with bit 7 set.
/// Returns the number of line bytes written.
int encode_group(const uint8_t* data, int count, uint8_t* out) {
    uint8_t header = FRAME_BODY_BIT;
    for (int k = 0; k < count; ++k) {
        if ((data[k] & 0x80) != 0) {
            header |= static_cast<uint8_t>(1U << (6 - k));
        }
        out[1 + k] = static_cast<uint8_t>(data[k] | FRAME_BODY_BIT);
    }
    out[0] = header;
    return count + 1;
}

/// Puts the whole frame of count (0 to ADAPTER_FRAME_MAX) data bytes at out; returns its length.
int encode_frame(const uint8_t* data, int count, uint8_t* out) {
    int length = 0;
    out[length++] = ADP_FRAME_START;
    for (int done = 0; done < count; done += GROUP_BYTES) {
        const int group = count - done < GROUP_BYTES ? count - done : GROUP_BYTES;
        length += encode_group(data + done, group, out + length);
    }
    return length;
}

} // namespace

/// Sends without reading; the groups of long frames go out as the buffer fills.
void adapter_send_data(int fd, const uint8_t* data, int count) {
    constexpr int GROUPS_PER_WRITE = 8;
    std::array<uint8_t, 1 + GROUPS_PER_WRITE * GROUP_LINE_BYTES> buffer{};
    int length = 0;
    buffer[length++] = ADP_FRAME_START;
    while (count > 0) {
        if (length + GROUP_LINE_BYTES > static_cast<int>(buffer.size())) {
            serial_send(fd, buffer.data(), static_cast<std::size_t>(length));
            length = 0;
        }
        const int group = count < GROUP_BYTES ? count : GROUP_BYTES;
        length += encode_group(data, group, buffer.data() + length);
        data += group;
        count -= group;
    }
    serial_send(fd, buffer.data(), static_cast<std::size_t>(length));
}

/// Sends without reading; a count above ADAPTER_FRAME_MAX goes out as frame, then command.
void adapter_send_frame_command(int fd, const uint8_t* data, int count, uint8_t command) {
    if (count > ADAPTER_FRAME_MAX) {
        adapter_send_data(fd, data, count);
        adapter_send_command(fd, command);
        return;
    }
    std::array<uint8_t, FRAME_LINE_MAX> buffer{};
    int length = encode_frame(data, count > 0 ? count : 0, buffer.data());
    buffer[length++] = command;
    serial_send(fd, buffer.data(), static_cast<std::size_t>(length));
}

/// Sends without reading.
void adapter_send_command(int fd, uint8_t command) {
    serial_send(fd, &command, 1);
}

/// Sends without reading.
void adapter_send_byte_command(int fd, uint8_t command, uint8_t argument) {
    std::array<uint8_t, 4> buffer{};
    encode_frame(&argument, 1, buffer.data());
    buffer[3] = command;
    serial_send(fd, buffer.data(), buffer.size());
}

/// 0 from a silent adapter, after one READ_TIMEOUT_US; a reply ends one quiet wait after its
/// last byte.
int adapter_identify(int fd, uint8_t* buffer, int capacity) {
    adapter_send_command(fd, ADP_IDENTIFY);
    return serial_read_timed(fd, buffer, capacity, READ_TIMEOUT_US);
}

int adapter_in_step(int fd) {
    std::array<uint8_t, ADAPTER_ID_SIZE> reply{};
    const int in_step = adapter_identify(fd, reply.data(), ADAPTER_ID_SIZE) == ADAPTER_ID_SIZE &&
                        reply[0] == ADAPTER_ID_FIRST && reply[1] == ADAPTER_ID_SECOND;
    wire_trace_note("in-step check: %s", in_step != 0 ? "passed" : "failed, replies out of step");
    return in_step;
}
