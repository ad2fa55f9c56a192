// SPDX-License-Identifier: MIT
// Intel HEX input, loaded into the 64 KB image of the target addresses.
#pragma once

#include <cstdint>
#include <cstdio>

/// Longest accepted line: ':' and 2 x (255 data bytes + 5) digits.
inline constexpr int HEX_LINE_MAX = 521;

/// Bytes of the image a write loads: one per 16-bit target address.
inline constexpr uint32_t IMAGE_SIZE = 65536;

/// Receives one data record: its bytes (valid during the call only), the address of its first
/// byte (the record's 16-bit load address plus the base that extended segment and extended
/// linear address records set), the number of bytes and the caller's context.
using hex_data_sink = void (*)(const uint8_t* data, uint32_t address, int count, void* context);

/// An image being loaded by image_store, and the lowest address of a byte that did not fit.
struct image_load {
    uint8_t* image;  // IMAGE_SIZE bytes
    uint64_t beyond; // 0 while every byte fell below IMAGE_SIZE
};

/// Reads records from input up to the end-of-file record, and past it to the end of input
/// unless input is a terminal; a UTF-8 byte-order mark opening input is skipped. Returns 1
/// after the end record, -1 for a rejected line (a record with a wrong checksum, an odd number
/// of digits or a count field other than its number of data bytes, an extended address record
/// without its two value bytes among them, or a line holding a record where none is loaded:
/// indented, after other text, without its ':', second on its line or after the end record)
/// or input that ends without one.
int hex_read(std::FILE* input, hex_data_sink sink, void* context);

/// A hex_data_sink whose context is an image_load: stores each byte at its address in the
/// image, and notes in beyond the lowest address at or above IMAGE_SIZE instead of wrapping.
void image_store(const uint8_t* data, uint32_t address, int count, void* context);
