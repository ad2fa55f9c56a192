#include "adapter/adapter_link.h"
#include "adapter/c2_control.h"
#include "commands/commands.h"
#include "serial/serial_port.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr int DETECT_ATTEMPTS = 5;
constexpr int IDENTIFY_REPLY_SIZE = 4;
constexpr int REPLY_BUFFER_SIZE = 100;

// Prints an identifier as "0x%02X", or "FAILED" for 255 and for no answer.
void print_id(int id) {
    if (id >= 0 && id <= 254) {
        std::printf("0x%02X", id);
    } else {
        std::fputs("FAILED", stdout);
    }
}

} // namespace

void print_device_ids(int fd) {
    int device_id = read_device_id(fd);
    int revision_id = read_revision_id(fd);
    std::fputs("DeviceID: ", stdout);
    print_id(device_id);
    if (device_id == 4) {
        std::fputs(" (C8051F30x)", stdout);
    }
    std::putchar('\n');
    std::fputs("RevisionID: ", stdout);
    print_id(revision_id);
    std::putchar('\n');
}

void cmd_inquire(option_context& ctx) {
    termios saved_settings{};
    int fd = serial_open(ctx.serial_port, ctx.baud_rate, &saved_settings);
    if (fd < 0) {
        ctx.error = 1;
        return;
    }
    std::printf("Port: %s\n", ctx.serial_port);

    std::array<uint8_t, REPLY_BUFFER_SIZE> reply{};
    int major = -1;
    int minor = 0;
    for (int attempt = 0; attempt < DETECT_ATTEMPTS && major < 0; ++attempt) {
        if (adapter_identify(fd, reply.data(), REPLY_BUFFER_SIZE) != IDENTIFY_REPLY_SIZE) {
            continue;
        }
        if (adapter_identify(fd, reply.data() + IDENTIFY_REPLY_SIZE,
                             REPLY_BUFFER_SIZE - IDENTIFY_REPLY_SIZE) != IDENTIFY_REPLY_SIZE) {
            continue;
        }
        if (reply[0] != 0x43 || reply[1] != 0x32) {
            continue;
        }
        if (std::memcmp(reply.data(), reply.data() + IDENTIFY_REPLY_SIZE, IDENTIFY_REPLY_SIZE) !=
            0) {
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
    serial_close(fd, &saved_settings);
}
