#include "adapter/c2_control.h"
#include "commands/commands.h"
#include "serial/serial_port.h"

#include <cstdio>

void cmd_device_erase(option_context& ctx) {
    termios saved_settings{};
    int fd = serial_open(ctx.serial_port, ctx.baud_rate, &saved_settings);
    if (fd < 0) {
        ctx.error = 1;
        return;
    }
    if (start_programming(fd) == 0) {
        ctx.error = 1;
    } else if (c2_device_erase(fd) == 0) {
        std::fputs("Device erase failed.\n", stderr);
        ctx.error = 1;
    }
    serial_close(fd, &saved_settings);
}

void cmd_reset(option_context& ctx) {
    termios saved_settings{};
    int fd = serial_open(ctx.serial_port, ctx.baud_rate, &saved_settings);
    if (fd < 0) {
        ctx.error = 1;
        return;
    }
    c2_target_reset(fd);
    // The restore below takes effect at once; let the reset byte leave at
    // the speed it was sent with first.
    serial_wait_sent(fd);
    serial_close(fd, &saved_settings);
}
