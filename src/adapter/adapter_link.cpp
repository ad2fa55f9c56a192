// SPDX-License-Identifier: MIT
// The adapter's wire format: data frames of 7-bit-coded bytes and one-byte commands.
#include "adapter/adapter_link.h"

#include "protocol/adapter_frame.h"
#include "serial/serial_port.h"
#include "trace/wire_trace.h"

#include <array>

namespace {

/// Groups of a long frame put in one write.
constexpr int GROUPS_PER_WRITE = 8;

} // namespace

/// Sends without reading; the groups of long frames go out as the buffer fills.
void adapter_send_data(int fd, const uint8_t* data, int count) {
    std::array<uint8_t, 1 + GROUPS_PER_WRITE * FRAME_GROUP_LINE_BYTES> buffer{};
    int length = 0;
    buffer[length++] = ADP_FRAME_START;
    while (count > 0) {
        if (length + FRAME_GROUP_LINE_BYTES > static_cast<int>(buffer.size())) {
            serial_send(fd, buffer.data(), static_cast<std::size_t>(length));
            length = 0;
        }
        const int group = count < FRAME_GROUP_BYTES ? count : FRAME_GROUP_BYTES;
        length += adapter_frame_encode_group(data, group, buffer.data() + length);
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
    std::array<uint8_t, adapter_frame_line_size(ADAPTER_FRAME_MAX) + 1> buffer{};
    int length = adapter_frame_encode(data, count > 0 ? count : 0, buffer.data());
    buffer[length++] = command;
    serial_send(fd, buffer.data(), static_cast<std::size_t>(length));
}

/// Sends without reading.
///
/// Never more than ONE byte may wait behind a request the adapter is still serving. The
/// adapter takes its commands one after another, and while it drives the chip (a block read
/// or write, an erase step) only its UART holds what arrives: every UART holds one received
/// byte, and nothing guarantees a second. A frame of several bytes, or two commands, behind a
/// request in progress could overrun the adapter's receive buffer and be lost or cut, and a
/// frame cut short is taken as another request. An adapter that loses even the one byte is
/// learned by the block reader, which then waits for every reply (block_reader.cpp).
void adapter_send_frame_command_queued(int fd, const uint8_t* data, int count, uint8_t command,
                                       uint8_t queued) {
    std::array<uint8_t, adapter_frame_line_size(ADAPTER_FRAME_MAX) + 2> buffer{};
    int length = adapter_frame_encode(data, count > 0 ? count : 0, buffer.data());
    buffer[length++] = command;
    buffer[length++] = queued;
    serial_send(fd, buffer.data(), static_cast<std::size_t>(length));
}

/// Sends without reading.
void adapter_send_command(int fd, uint8_t command) {
    serial_send(fd, &command, 1);
}

/// Sends without reading.
void adapter_send_byte_command(int fd, uint8_t command, uint8_t argument) {
    std::array<uint8_t, 4> buffer{};
    adapter_frame_encode(&argument, 1, buffer.data());
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
