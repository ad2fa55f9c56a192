// SPDX-License-Identifier: MIT
// The adapter's wire format: data frames of 7-bit-coded bytes and one-byte commands.
#pragma once

#include "protocol/adapter_protocol.h"

#include <cstdint>

/// Sends a data frame of count bytes (0x00 alone for count <= 0).
void adapter_send_data(int fd, const uint8_t* data, int count);

/// Sends a data frame of count bytes (at most ADAPTER_FRAME_MAX) followed by
/// command, in one write.
void adapter_send_frame_command(int fd, const uint8_t* data, int count, uint8_t command);

/// Sends a data frame of count bytes (at most ADAPTER_FRAME_MAX), command, and one one-byte
/// command queued behind it, in one write; the adapter takes the queued byte while it is still
/// busy with command, so both replies come back after one turnaround.
void adapter_send_frame_command_queued(int fd, const uint8_t* data, int count, uint8_t command,
                                       uint8_t queued);

/// Sends one command byte.
void adapter_send_command(int fd, uint8_t command);

/// Sends a command with a one-byte argument as its 4 bytes, in one write.
void adapter_send_byte_command(int fd, uint8_t command, uint8_t argument);

/// Sends ADP_IDENTIFY and collects the reply until a wait of READ_TIMEOUT_US
/// passes in silence. Returns the number of bytes stored, 0 to capacity.
int adapter_identify(int fd, uint8_t* buffer, int capacity);

/// Proves that the adapter's replies are still in step with the commands: sends ADP_IDENTIFY
/// and reads exactly ADAPTER_ID_SIZE bytes (no wait beyond them). 1 when they begin with C and
/// 2; 0 when a late or surplus byte of an earlier reply comes first, or the adapter is silent
/// for READ_TIMEOUT_US. Touches only the adapter, never the target.
int adapter_in_step(int fd);
