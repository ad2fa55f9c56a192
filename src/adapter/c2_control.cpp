// SPDX-License-Identifier: MIT
// C2 target control: reset, register access, status waits, identifiers,
// programming mode and whole-chip erase.
#include "adapter/c2_control.h"

#include "adapter/adapter_link.h"
#include "serial/serial_port.h"

#include <cstdio>

namespace {

constexpr int PROGRAM_MODE_ATTEMPTS = 10;

/// Silent polls in a row that a status wait takes before it gives up. A poll sent right after
/// a data write arrives while the adapter is still busy with it, and an adapter that holds no
/// byte meanwhile loses it: the poll asked again finds the adapter free.
constexpr int SILENT_POLLS_MAX = 2;

/// Polls the status until (status & mask) == wanted. 1 when seen, 0 after SILENT_POLLS_MAX
/// silent polls in a row or once C2_WAIT_LIMIT_US of polling has passed.
int wait_status(int fd, int mask, int wanted) {
    const long deadline = monotonic_now_us() + C2_WAIT_LIMIT_US;
    int silent = 0;
    for (;;) {
        const int status = c2_address_read(fd);
        if (status < 0) {
            if (++silent >= SILENT_POLLS_MAX) {
                return 0;
            }
        } else {
            silent = 0;
            if ((status & mask) == wanted) {
                return 1;
            }
        }
        if (monotonic_now_us() >= deadline) {
            return 0;
        }
    }
}

int read_identifier(int fd, uint8_t address) {
    c2_target_reset(fd);
    c2_address_write(fd, address);
    return c2_data_read(fd);
}

} // namespace

void c2_target_reset(int fd) {
    adapter_send_command(fd, ADP_TARGET_RESET);
}

void c2_address_write(int fd, uint8_t address) {
    adapter_send_byte_command(fd, ADP_ADDRESS_WRITE, address);
}

/// Waits at most READ_TIMEOUT_US for the status.
int c2_address_read(int fd) {
    adapter_send_command(fd, ADP_ADDRESS_READ);
    return serial_read_byte(fd, READ_TIMEOUT_US);
}

void c2_data_write(int fd, uint8_t value) {
    adapter_send_byte_command(fd, ADP_DATA_WRITE, value);
}

/// Waits at most READ_TIMEOUT_US for the value.
int c2_data_read(int fd) {
    adapter_send_command(fd, ADP_DATA_READ);
    return serial_read_byte(fd, READ_TIMEOUT_US);
}

int c2_wait_out_ready(int fd) {
    return wait_status(fd, C2_OUT_READY, C2_OUT_READY);
}

int c2_wait_not_busy(int fd) {
    return wait_status(fd, C2_IN_BUSY, 0);
}

/// -1 when the adapter stays silent for READ_TIMEOUT_US after the data read.
int read_device_id(int fd) {
    return read_identifier(fd, C2_DEVICE_ID_REGISTER);
}

/// -1 when the adapter stays silent for READ_TIMEOUT_US after the data read.
int read_revision_id(int fd) {
    return read_identifier(fd, C2_REVISION_ID_REGISTER);
}

/// Each read costs its exchanges and one quiet READ_TIMEOUT_US (a drain that also throws away
/// whatever came after the byte). A byte of an earlier reply that came late, a reply doubled,
/// or a request changed on its way (another register selected, another command taken) makes one
/// read wrong or not alone; a wrong value would have to come twice alike, alone each time.
int read_id_proven(int fd, int (*read_id)(int)) {
    int previous = -1;
    for (int read = 0; read < ID_READS_MAX; ++read) {
        const int id = read_id(fd);
        const bool alone = serial_drain(fd, READ_TIMEOUT_US) == 0 && id >= 0;
        if (!alone) {
            continue;
        }
        if (id == previous) {
            return id;
        }
        previous = id;
    }
    return -1;
}

/// Each attempt costs a drain (at least READ_TIMEOUT_US, at most SERIAL_DRAIN_LIMIT_US) and
/// one reply wait; a silent adapter fails all ten.
int enter_programming_mode(int fd) {
    for (int attempt = 0; attempt < PROGRAM_MODE_ATTEMPTS; ++attempt) {
        serial_drain(fd, READ_TIMEOUT_US);
        adapter_send_command(fd, ADP_PROGRAM_MODE);
        if (serial_read_byte(fd, READ_TIMEOUT_US) == PROGRAM_MODE_ENTERED) {
            return 1;
        }
    }
    return 0;
}

int start_programming(int fd) {
    if (enter_programming_mode(fd) == 0) {
        std::fprintf(stderr, "Cannot switch to flash programming mode.\n");
        return 0;
    }
    return 1;
}

/// 0 as soon as a step fails (silent adapter, refusal, a status wait that gives up); nothing
/// more is sent after a failed step.
int c2_device_erase(int fd) {
    c2_address_write(fd, C2_FLASH_DATA_REGISTER);
    c2_data_write(fd, C2_DEVICE_ERASE);
    if (c2_wait_not_busy(fd) == 0 || c2_wait_out_ready(fd) == 0) {
        return 0;
    }
    if (c2_data_read(fd) != C2_ERASE_ACCEPTED) {
        return 0;
    }
    for (const uint8_t key : C2_ERASE_KEY) {
        c2_data_write(fd, key);
        if (c2_wait_not_busy(fd) == 0) {
            return 0;
        }
    }
    if (c2_wait_out_ready(fd) == 0) {
        return 0;
    }
    adapter_send_command(fd, ADP_QUERY);
    return serial_read_byte(fd, READ_TIMEOUT_US) == QUERY_ERASE_DONE ? 1 : 0;
}
