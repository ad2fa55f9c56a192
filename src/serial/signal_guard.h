// SPDX-License-Identifier: MIT
// Terminal settings put back when a signal ends the process (Ctrl-C, SIGTERM, a hang-up, a
// closed output pipe, a file size limit, a timer: every signal whose default action ends it),
// before the signal ends it as it would have. The serial port guards its own; terminal mode
// guards standard input.
#pragma once

#include <termios.h>

#include <cstddef>

enum guard_slot { GUARD_PORT = 0, GUARD_STDIN = 1 };

/// From now on an ending signal puts settings back on fd first (replacing the slot's earlier
/// entry). Installs the handlers on first use, except for signals the process ignores.
void guard_settings(guard_slot slot, int fd, const termios& settings);

/// Forgets the slot's entry.
void guard_release(guard_slot slot);

/// From now on an ending signal clears the low-latency flag of fd first; -1 forgets it.
void guard_low_latency(int fd);

/// The line written to standard error when an ending signal arrives; null for none.
void guard_set_note(const char* note);

/// Called by the handler of an ending signal after the note (null: none); must be
/// async-signal-safe.
using guard_signal_tap = void (*)(int signal_number, const char* note, std::size_t note_length);
void guard_set_signal_tap(guard_signal_tap tap);
