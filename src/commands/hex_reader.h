// Intel HEX input, 16-bit addresses.
#pragma once

#include <cstdint>
#include <cstdio>

/// Longest accepted line: ':' and 2 x (255 data bytes + 5) digits.
inline constexpr int HEX_LINE_MAX = 521;

/// Receives one data record: its bytes (valid during the call only), the load
/// address 0 to 65535, the number of bytes and the caller's context.
using hex_data_sink = void (*)(const uint8_t* data, unsigned address, int count, void* context);

/// Reads records from input up to the end-of-file record. Returns 1 after the
/// end record, -1 for a rejected line or input that ends without one.
int hex_read(std::FILE* input, hex_data_sink sink, void* context);

/// A hex_data_sink that stores into the 65536-byte image at context.
void image_store(const uint8_t* data, unsigned address, int count, void* context);
