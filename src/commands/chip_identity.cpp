// SPDX-License-Identifier: MIT
// The chip's identity, checked before a command erases, writes or reads it.
//
// A chip of another family has other flash, and an image built for this one is no program for
// it: a write or an erase stops before it changes anything, unless the user has said that they
// know better. A chip whose identifier cannot be read alike twice may be any chip, or a line
// that corrupts what it carries: that is a failure, never taken for a match or a mismatch.
#include "commands/chip_identity.h"

#include "adapter/c2_control.h"

#include <cstdio>

int chip_identity_checked(int fd, const option_context& ctx, chip_other other) {
    const int id = read_id_proven(fd, read_device_id);
    if (id < 0) {
        std::fputs("Cannot identify the chip: its device identifier does not read back alike.\n",
                   stderr);
        return 0;
    }
    if (id != C8051F30X_DEVICE_ID) {
        if (other == CHIP_OTHER_WARNED) {
            std::fprintf(stderr,
                         "Device identifier 0x%02X: not a C8051F30x (0x%02X); reading it "
                         "anyway.\n",
                         id, C8051F30X_DEVICE_ID);
        } else if (ctx.any_device != 0) {
            std::fprintf(stderr,
                         "Device identifier 0x%02X: not a C8051F30x (0x%02X); going on, as %s is "
                         "set.\n",
                         id, C8051F30X_DEVICE_ID, ANY_DEVICE_VARIABLE);
        } else {
            std::fprintf(stderr,
                         "Device identifier 0x%02X: not a C8051F30x (0x%02X); the chip was not "
                         "changed. %s=1 goes on anyway.\n",
                         id, C8051F30X_DEVICE_ID, ANY_DEVICE_VARIABLE);
            return 0;
        }
    }
    // The identifier reads reset the target, which leaves programming mode.
    return start_programming(fd);
}
