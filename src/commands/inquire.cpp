// SPDX-License-Identifier: MIT
// The inquire command: find the adapter, print its version and the target's identifiers.
#include "commands/inquire.h"

#include "adapter/adapter_link.h"
#include "adapter/c2_control.h"
#include "commands/command_port.h"
#include "serial/serial_port.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr int DETECT_ATTEMPTS = 5;
constexpr int REPLY_BUFFER_SIZE = 100;

// Prints an identifier as "0x%02X", or "FAILED" for 255 and for none.
void print_id(int id) {
    if (id >= 0 && id <= 254) {
        std::printf("0x%02X", id);
    } else {
        std::fputs("FAILED", stdout);
    }
}

/// Reads both identifiers from the target, then prints the DeviceID and RevisionID lines.
void print_device_ids(int fd) {
    // What the identification left on the line, late or twice, is not the chip's.
    serial_drain(fd, READ_TIMEOUT_US);
    const int device_id = read_id_proven(fd, read_device_id);
    const int revision_id = read_id_proven(fd, read_revision_id);
    std::fputs("DeviceID: ", stdout);
    print_id(device_id);
    if (device_id == C8051F30X_DEVICE_ID) {
        std::fputs(" (C8051F30x)", stdout);
    }
    std::putchar('\n');
    std::fputs("RevisionID: ", stdout);
    print_id(revision_id);
    std::putchar('\n');
}

} // namespace

void cmd_inquire(option_context& ctx) {
    termios saved_settings{};
    const int fd = command_port_open(ctx, saved_settings, nullptr);
    if (fd < 0) {
        return;
    }
    std::printf("Port: %s\n", ctx.serial_port);

    std::array<uint8_t, REPLY_BUFFER_SIZE> reply{};
    int major = -1;
    int minor = 0;
    for (int attempt = 0; attempt < DETECT_ATTEMPTS && major < 0; ++attempt) {
        if (adapter_identify(fd, reply.data(), REPLY_BUFFER_SIZE) != ADAPTER_ID_SIZE) {
            continue;
        }
        if (adapter_identify(fd, reply.data() + ADAPTER_ID_SIZE,
                             REPLY_BUFFER_SIZE - ADAPTER_ID_SIZE) != ADAPTER_ID_SIZE) {
            continue;
        }
        if (reply[0] != ADAPTER_ID_FIRST || reply[1] != ADAPTER_ID_SECOND) {
            continue;
        }
        if (std::memcmp(reply.data(), reply.data() + ADAPTER_ID_SIZE, ADAPTER_ID_SIZE) != 0) {
            continue;
        }
        major = reply[2];
        minor = reply[3];
    }

    if (major < 0) {
        std::fputs("C2 interface adapter not found.\n", stderr);
    } else {
        std::printf("Adapter: %d.%d\n", major, minor);
        print_device_ids(fd);
    }
    command_port_close(fd, saved_settings);
}
