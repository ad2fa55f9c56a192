// SPDX-License-Identifier: MIT
// Terminal settings put back when a signal ends the process.
//
// The handler may run between any two instructions of the program, so everything it reads is
// complete before it is marked valid, and it calls only async-signal-safe functions.
#include "serial/signal_guard.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstring>

namespace {

/// Signals whose default action ends the process.
constexpr std::array<int, 5> ENDING_SIGNALS{SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

struct guarded {
    termios settings;
    volatile sig_atomic_t fd; // -1: nothing to put back
};

std::array<guarded, 2> slots{{{{}, -1}, {{}, -1}}};
const char* volatile note_text = nullptr;
volatile std::size_t note_length = 0;
bool handlers_installed = false;

extern "C" void end_by_signal(int signal_number) {
    for (const guarded& slot : slots) {
        const int fd = slot.fd;
        if (fd >= 0) {
            tcsetattr(fd, TCSANOW, &slot.settings);
        }
    }
    const char* note = note_text;
    if (note != nullptr) {
        const ssize_t ignored = write(STDERR_FILENO, note, note_length);
        static_cast<void>(ignored);
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal_number, &fallback, nullptr);
    // Still blocked inside the handler: delivered, with its default action, on return.
    raise(signal_number);
}

/// Installs end_by_signal for every ending signal the process does not ignore (a run under
/// nohup keeps ignoring SIGHUP). While it runs, the other ending signals wait.
void install_handlers() {
    struct sigaction action {};
    action.sa_handler = end_by_signal;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : ENDING_SIGNALS) {
        sigaddset(&action.sa_mask, signal_number);
    }
    for (const int signal_number : ENDING_SIGNALS) {
        struct sigaction found {};
        if (sigaction(signal_number, nullptr, &found) == 0 && found.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(signal_number, &action, nullptr);
    }
    handlers_installed = true;
}

} // namespace

void guard_settings(guard_slot slot, int fd, const termios& settings) {
    guarded& entry = slots[slot];
    entry.fd = -1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    entry.settings = settings;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    entry.fd = fd;
    if (!handlers_installed) {
        install_handlers();
    }
}

void guard_release(guard_slot slot) {
    slots[slot].fd = -1;
}

void guard_set_note(const char* note) {
    note_text = nullptr;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    note_length = note != nullptr ? std::strlen(note) : 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    note_text = note;
}
