// SPDX-License-Identifier: MIT
// Flash block transfers through the adapter, in pieces of at most FLASH_BLOCK_MAX bytes.
#include "adapter/flash_block.h"

#include "adapter/adapter_link.h"
#include "serial/serial_port.h"

#include <array>
#include <cstring>

namespace {

constexpr int REQUEST_HEADER_BYTES = 3;

/// The fetch reply: a leading byte, the flash bytes, a trailing byte.
constexpr int FETCH_EXTRA_BYTES = 2;

using block_request = std::array<uint8_t, REQUEST_HEADER_BYTES + FLASH_BLOCK_MAX>;

int piece_length(int remaining) {
    return remaining < FLASH_BLOCK_MAX ? remaining : FLASH_BLOCK_MAX;
}

void fill_request_header(block_request& request, uint16_t address, int piece) {
    request[0] = static_cast<uint8_t>(address >> 8);
    request[1] = static_cast<uint8_t>(address & 0xFF);
    request[2] = static_cast<uint8_t>(piece);
}

/// Sends the block read request; its one answer byte, if any, is not looked at. Costs one
/// READ_TIMEOUT_US when the adapter does not answer it.
void request_block(int fd, uint16_t address, int piece) {
    block_request request{};
    fill_request_header(request, address, piece);
    adapter_send_frame_command(fd, request.data(), REQUEST_HEADER_BYTES, ADP_BLOCK_READ);
    serial_read_byte(fd, READ_TIMEOUT_US);
}

} // namespace

/// 0 at the first fetch reply that is short after a READ_TIMEOUT_US of silence, or that is
/// followed at once by further bytes (a late or surplus byte shifted it); the failed piece and
/// later ones leave destination unchanged.
int flash_block_read(int fd, uint8_t* destination, uint16_t address, uint8_t length) {
    int remaining = length;
    while (remaining > 0) {
        const int piece = piece_length(remaining);
        request_block(fd, address, piece);
        adapter_send_command(fd, ADP_BLOCK_FETCH);
        std::array<uint8_t, FLASH_BLOCK_MAX + FETCH_EXTRA_BYTES> reply{};
        const int wanted = piece + FETCH_EXTRA_BYTES;
        if (serial_read_timed(fd, reply.data(), wanted, READ_TIMEOUT_US) != wanted) {
            return 0;
        }
        // A byte already waiting behind a complete reply means the reply began with a byte
        // that belonged to an earlier answer: its flash bytes are off by one.
        if (serial_pending(fd) != 0) {
            return 0;
        }
        std::memcpy(destination, reply.data() + 1, static_cast<std::size_t>(piece));
        destination += piece;
        address = static_cast<uint16_t>(address + piece);
        remaining -= piece;
    }
    return 1;
}

/// 0 at the first piece answered with anything but 0x00, or not within READ_TIMEOUT_US;
/// nothing is sent for the later pieces.
int flash_block_write(int fd, const uint8_t* source, uint16_t address, uint8_t length) {
    int remaining = length;
    while (remaining > 0) {
        const int piece = piece_length(remaining);
        block_request request{};
        fill_request_header(request, address, piece);
        std::memcpy(request.data() + REQUEST_HEADER_BYTES, source, static_cast<std::size_t>(piece));
        adapter_send_frame_command(fd, request.data(), REQUEST_HEADER_BYTES + piece,
                                   ADP_BLOCK_WRITE);
        if (serial_read_byte(fd, READ_TIMEOUT_US) != 0x00) {
            return 0;
        }
        source += piece;
        address = static_cast<uint16_t>(address + piece);
        remaining -= piece;
    }
    return 1;
}

/// -1 at the first sum answer missing after READ_TIMEOUT_US; nothing is sent after it.
int flash_block_sum(int fd, uint16_t address, uint8_t length) {
    int remaining = length;
    int sum = 0;
    while (remaining > 0) {
        const int piece = piece_length(remaining);
        request_block(fd, address, piece);
        adapter_send_command(fd, ADP_BLOCK_SUM);
        const int piece_sum = serial_read_byte(fd, READ_TIMEOUT_US);
        if (piece_sum < 0) {
            return -1;
        }
        sum = (sum + piece_sum) & 0xFF;
        address = static_cast<uint16_t>(address + piece);
        remaining -= piece;
    }
    return sum;
}

bool block_erased(const uint8_t* bytes, int count) {
    for (int i = 0; i < count; ++i) {
        if (bytes[i] != 0xFF) {
            return false;
        }
    }
    return true;
}
