#include "serial/terminal.h"

#include "serial/serial_port.h"

#include <cstdio>

// Placeholder until the interactive loop lands: opening is real, the loop is not.
void terminal_mode(option_context& ctx) {
    termios saved_settings{};
    int fd = serial_open(ctx.serial_port, ctx.baud_rate, &saved_settings);
    if (fd < 0) {
        ctx.error = 1;
        return;
    }
    std::fputs("Terminal mode is not available in this build.\n", stderr);
    serial_close(fd, &saved_settings);
    ctx.error = 1;
}

void stdin_set_raw_input(int /*fd*/) {}
