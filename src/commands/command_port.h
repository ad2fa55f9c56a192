// SPDX-License-Identifier: MIT
// The serial port as each command opens and closes it.
#pragma once

#include "commands/option_context.h"

#include <termios.h>

/// Opens ctx.serial_port at ctx.baud_rate, saving its settings in saved_settings.
/// interrupted is the line printed if a signal ends the run while the port is
/// open (null: none). The descriptor, or -1 with ctx.error set after the reason
/// has been printed.
int command_port_open(option_context& ctx, termios& saved_settings, const char* interrupted);

/// Puts saved_settings back, closes fd and forgets the interruption line.
void command_port_close(int fd, const termios& saved_settings);
