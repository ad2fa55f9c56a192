// SPDX-License-Identifier: MIT
// Terminal mode: a raw interactive terminal on the serial port.
#pragma once

#include "commands/option_context.h"

/// Opens ctx.serial_port and copies keyboard to port and port to screen until
/// the process ends. Returns only when the port cannot be opened (error set).
void terminal_mode(option_context& ctx);
