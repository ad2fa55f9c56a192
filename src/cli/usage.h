// SPDX-License-Identifier: MIT
#pragma once

#include "commands/option_context.h"

/// Writes the usage text to standard output, byte for byte.
void print_usage();

/// The test command: does nothing and changes nothing.
void cmd_test(option_context& ctx);
