// SPDX-License-Identifier: MIT
// The programmer's commands. Each takes the option context, reports failure
// on standard error and by setting ctx.error, and returns nothing.
#pragma once

#include "commands/option_context.h"

void cmd_inquire(option_context& ctx);
void cmd_read(option_context& ctx);
void cmd_write(option_context& ctx);
void cmd_device_erase(option_context& ctx);
void cmd_reset(option_context& ctx);
