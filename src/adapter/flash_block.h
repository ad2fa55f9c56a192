// SPDX-License-Identifier: MIT
// Flash block transfers through the adapter, in pieces of at most FLASH_BLOCK_MAX bytes: the
// block requests and block writes. Block reads go through a block_reader (block_reader.h).
#pragma once

#include "protocol/adapter_protocol.h"

#include <cstdint>

/// The piece of a transfer that has remaining bytes left: at most FLASH_BLOCK_MAX of them.
int flash_block_piece(int remaining);

/// Sends command after a frame of address, piece (1 to FLASH_BLOCK_MAX) and, unless bytes is
/// null, the piece's bytes, in one write.
void flash_block_request(int fd, uint8_t command, uint16_t address, int piece,
                         const uint8_t* bytes);

/// Sends ADP_BLOCK_READ after a frame of address and piece (1 to FLASH_BLOCK_MAX), and the
/// one-byte command queued behind it (ADP_BLOCK_FETCH or ADP_BLOCK_SUM), in one write.
void flash_block_request_queued(int fd, uint16_t address, int piece, uint8_t queued);

/// Programs length bytes from source at address. 1 when every piece was
/// answered 0x00, else 0.
int flash_block_write(int fd, const uint8_t* source, uint16_t address, uint8_t length);

/// True when all count bytes are 0xFF, as erased flash reads: such a block is neither
/// programmed nor dumped.
bool block_erased(const uint8_t* bytes, int count);
