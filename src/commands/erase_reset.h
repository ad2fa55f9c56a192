// SPDX-License-Identifier: MIT
// The device-erase command, and the target reset that follows any command when asked for.
#pragma once

#include "commands/option_context.h"

/// Erases the whole flash and proves it blank; "Device erase failed." on standard error and
/// ctx.error set on failure.
void cmd_device_erase(option_context& ctx);

/// Opens the port and sends the target reset; reads nothing.
void cmd_reset(option_context& ctx);
