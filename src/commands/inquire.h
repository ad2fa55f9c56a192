// SPDX-License-Identifier: MIT
// The inquire command: find the adapter, print its version and the target's identifiers.
#pragma once

#include "commands/option_context.h"

/// Prints the port, the adapter's version and the target's identifiers on standard output, or
/// "C2 interface adapter not found." on standard error; sets ctx.error when the port fails.
void cmd_inquire(option_context& ctx);
