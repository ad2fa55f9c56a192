// SPDX-License-Identifier: MIT
// The run of the program once its option context holds the command line.
#pragma once

#include "commands/option_context.h"

/// Installs the wire trace when the environment asks for it, parses the options into ctx, runs the
/// selected command (or the usage text) and the target reset, and returns the exit status: 1 when
/// anything failed, else 0. A missing option value ends the run before any port is opened.
int run_program(option_context& ctx);
