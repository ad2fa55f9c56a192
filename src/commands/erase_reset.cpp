// SPDX-License-Identifier: MIT
// The device-erase command, and the target reset that follows any command when asked for.
#include "commands/erase_reset.h"

#include "adapter/block_reader.h"
#include "adapter/c2_control.h"
#include "adapter/erase_proof.h"
#include "commands/chip_identity.h"
#include "commands/command_port.h"
#include "serial/serial_port.h"

#include <cstdio>

void cmd_device_erase(option_context& ctx) {
    termios saved_settings{};
    const int fd =
        command_port_open(ctx, saved_settings,
                          "\rInterrupted: the chip may be left partly erased; erase it again.\n");
    if (fd < 0) {
        return;
    }
    if (start_programming(fd) == 0 || chip_identity_checked(fd, ctx, CHIP_OTHER_REFUSED) == 0) {
        ctx.error = 1;
        command_port_close(fd, saved_settings);
        return;
    }
    block_reader reader{fd};
    if (flash_erase_proven(reader) == 0) {
        std::fputs("Device erase failed.\n", stderr);
        ctx.error = 1;
    }
    command_port_close(fd, saved_settings);
}

void cmd_reset(option_context& ctx) {
    termios saved_settings{};
    const int fd = command_port_open(ctx, saved_settings, nullptr);
    if (fd < 0) {
        return;
    }
    c2_target_reset(fd);
    // The restore below takes effect at once; let the reset byte leave at
    // the speed it was sent with first.
    serial_wait_sent(fd);
    command_port_close(fd, saved_settings);
}
