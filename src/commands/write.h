// SPDX-License-Identifier: MIT
// The write command: load an Intel HEX image, erase the target, program and verify it.
#pragma once

#include "commands/option_context.h"

/// Reads the image from ctx.hex_file (null: standard input) before the port opens, then erases
/// the chip, programs and verifies it; reports failure on standard error and sets ctx.error.
void cmd_write(option_context& ctx);
