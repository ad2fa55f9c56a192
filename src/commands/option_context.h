// SPDX-License-Identifier: MIT
// The one record of parser state, settings and outcome that every option
// handler and every command receives.
#pragma once

#include <cstdint>

enum command_code : int32_t {
    CMD_NONE = 0,
    CMD_HELP = 1,
    CMD_READ = 2,
    CMD_WRITE = 3,
    CMD_DEVICE_ERASE = 4,
    CMD_INQUIRE = 5,
    CMD_TEST = 6,
};

struct option_context {
    int32_t args_left;       // arguments not yet consumed
    char** next_arg;         // the next unconsumed argument
    int32_t command;         // a command_code
    int32_t error;           // 0, or 1 once anything failed; never cleared
    const char* serial_port; // not owned
    const char* hex_file;    // not owned; null reads standard input
    uint32_t flash_size;     // flash bytes covered by read and write, from address 0
    int32_t baud_rate;       // bits per second
    uint8_t reset_target;    // 1: reset the target after the command
    uint8_t value_missing;   // 1 once an option lacked its value: then nothing opens a port
    uint8_t any_device;      // 1: write and erase a chip that is not a C8051F30x too
    uint8_t check_image;     // 1: the write checks its image and ends before opening the port
};

/// Set to anything but "" or "0", lets a write or an erase go on with another chip than a
/// C8051F30x (option_context.any_device).
inline constexpr const char* ANY_DEVICE_VARIABLE = "VANTREL_ANY_DEVICE";

/// Set to anything but "" or "0", makes a write only read and check its image, as it does
/// before writing, and say so; the port is not opened (option_context.check_image).
inline constexpr const char* CHECK_IMAGE_VARIABLE = "VANTREL_CHECK_IMAGE";
