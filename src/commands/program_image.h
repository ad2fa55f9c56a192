#pragma once

#include <cstdint>

/// Erases the target and programs image[start, start + count) in verified
/// blocks, skipping all-0xFF blocks, with retries. 1 on success, else 0;
/// prints progress and the verdict on standard error.
int program_image(int fd, const uint8_t* image, uint16_t start, uint32_t count);
