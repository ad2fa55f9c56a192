// SPDX-License-Identifier: MIT
// The chip's identity, checked before a command erases, writes or reads it.
#pragma once

#include "commands/option_context.h"

/// What a command does with a chip that is not a C8051F30x.
enum chip_other : uint8_t {
    CHIP_OTHER_REFUSED, // stops, unless the user said to go on anyway (option_context.any_device)
    CHIP_OTHER_WARNED,  // says so and goes on
};

/// Reads the device identifier of a target in programming mode as the inquiry does (two reads
/// alike, each alone on the line), then brings the target back into programming mode. 1 to go
/// on; 0 after one message on standard error when the chip cannot be identified, is another
/// chip and other is CHIP_OTHER_REFUSED without ctx.any_device, or does not enter programming
/// mode again. Says on standard error when it goes on with another chip.
int chip_identity_checked(int fd, const option_context& ctx, chip_other other);
