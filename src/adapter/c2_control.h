// SPDX-License-Identifier: MIT
// C2 target control: reset, register access, status waits, identifiers,
// programming mode and whole-chip erase.
#pragma once

#include "protocol/adapter_protocol.h"

#include <cstdint>

/// Bound on the time a status wait keeps polling for its condition, in microseconds.
inline constexpr long C2_WAIT_LIMIT_US = 2000000;

/// Sends the target reset; reads nothing.
void c2_target_reset(int fd);
/// Selects the C2 register for the following data reads and writes.
void c2_address_write(int fd, uint8_t address);
/// The C2 status 0 to 255, or -1 when the adapter stays silent.
int c2_address_read(int fd);
/// Writes value to the selected register.
void c2_data_write(int fd, uint8_t value);
/// The selected register's value 0 to 255, or -1 when the adapter stays silent.
int c2_data_read(int fd);
/// Polls until C2_OUT_READY; 1 when seen, 0 after two silent polls in a row or after
/// C2_WAIT_LIMIT_US.
int c2_wait_out_ready(int fd);
/// Polls while C2_IN_BUSY; 1 when clear, 0 after two silent polls in a row or after
/// C2_WAIT_LIMIT_US.
int c2_wait_not_busy(int fd);
/// Resets the target and reads its device identifier: 0 to 255, or -1.
int read_device_id(int fd);
/// Resets the target and reads its revision identifier: 0 to 255, or -1.
int read_revision_id(int fd);
/// An identifier (read_device_id or read_revision_id) read until two reads agree, each the one
/// byte on a line that was quiet before it and stays quiet for READ_TIMEOUT_US after it: 0 to
/// 255, or -1 when ID_READS_MAX reads give no two such alike. Leaves the target reset.
int read_id_proven(int fd, int (*read_id)(int));
/// Reads of one identifier that read_id_proven makes before it gives up.
inline constexpr int ID_READS_MAX = 5;
/// Up to 10 attempts of drain and ADP_PROGRAM_MODE; 1 once answered 0x00, else 0.
int enter_programming_mode(int fd);
/// enter_programming_mode, printing "Cannot switch to flash programming mode." on failure.
int start_programming(int fd);
/// Whole-chip erase of a target in programming mode; 1 when confirmed, else 0.
int c2_device_erase(int fd);
