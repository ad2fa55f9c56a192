// SPDX-License-Identifier: MIT
// The serial port as each command opens and closes it.
#include "commands/command_port.h"

#include "serial/serial_port.h"
#include "serial/usb_latency.h"

#include <cstdio>

int command_port_open(option_context& ctx, termios& saved_settings, const char* interrupted) {
    const int fd = serial_open(ctx.serial_port, ctx.baud_rate, &saved_settings);
    if (fd < 0) {
        ctx.error = 1;
        return -1;
    }
    serial_set_interrupt_note(interrupted);
    // Once a run: a --reset after the command opens the same port again.
    static bool latency_checked = false;
    if (!latency_checked) {
        latency_checked = true;
        warn_slow_converter(SYSFS_ROOT, ctx.serial_port, stderr);
    }
    return fd;
}

void command_port_close(int fd, const termios& saved_settings) {
    serial_set_interrupt_note(nullptr);
    serial_close(fd, &saved_settings);
}
