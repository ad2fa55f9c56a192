// SPDX-License-Identifier: MIT
// The read command: the flash as Intel HEX on standard output.
#pragma once

#include "commands/option_context.h"

/// Dumps the first ctx.flash_size bytes of flash as Intel HEX on standard output and says
/// "Completed." or "Failed." on standard error; sets ctx.error on failure.
void cmd_read(option_context& ctx);
