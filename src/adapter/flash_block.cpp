// SPDX-License-Identifier: MIT
// Flash block transfers through the adapter, in pieces of at most FLASH_BLOCK_MAX bytes: the
// block requests and block writes.
#include "adapter/flash_block.h"

#include "adapter/adapter_link.h"
#include "serial/serial_port.h"

#include <array>
#include <cstring>

int flash_block_piece(int remaining) {
    return remaining < FLASH_BLOCK_MAX ? remaining : FLASH_BLOCK_MAX;
}

void flash_block_request(int fd, uint8_t command, uint16_t address, int piece,
                         const uint8_t* bytes) {
    std::array<uint8_t, BLOCK_REQUEST_HEADER + FLASH_BLOCK_MAX> request{};
    request[0] = static_cast<uint8_t>(address >> 8);
    request[1] = static_cast<uint8_t>(address & 0xFF);
    request[2] = static_cast<uint8_t>(piece);
    int count = BLOCK_REQUEST_HEADER;
    if (bytes != nullptr) {
        std::memcpy(request.data() + BLOCK_REQUEST_HEADER, bytes, static_cast<std::size_t>(piece));
        count += piece;
    }
    adapter_send_frame_command(fd, request.data(), count, command);
}

void flash_block_request_queued(int fd, uint16_t address, int piece, uint8_t queued) {
    const std::array<uint8_t, BLOCK_REQUEST_HEADER> request{static_cast<uint8_t>(address >> 8),
                                                            static_cast<uint8_t>(address & 0xFF),
                                                            static_cast<uint8_t>(piece)};
    adapter_send_frame_command_queued(fd, request.data(), BLOCK_REQUEST_HEADER, ADP_BLOCK_READ,
                                      queued);
}

/// 0 at the first piece answered with anything but BLOCK_WRITE_DONE, or not within
/// READ_TIMEOUT_US; nothing is sent for the later pieces.
int flash_block_write(int fd, const uint8_t* source, uint16_t address, uint8_t length) {
    int remaining = length;
    while (remaining > 0) {
        const int piece = flash_block_piece(remaining);
        flash_block_request(fd, ADP_BLOCK_WRITE, address, piece, source);
        if (serial_read_byte(fd, READ_TIMEOUT_US) != BLOCK_WRITE_DONE) {
            return 0;
        }
        source += piece;
        address = static_cast<uint16_t>(address + piece);
        remaining -= piece;
    }
    return 1;
}

bool block_erased(const uint8_t* bytes, int count) {
    for (int i = 0; i < count; ++i) {
        if (bytes[i] != 0xFF) {
            return false;
        }
    }
    return true;
}
