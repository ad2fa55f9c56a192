// SPDX-License-Identifier: MIT
// Terminal settings put back when a signal ends the process.
//
// The handler may run between any two instructions of the program, so everything it reads is
// complete before it is marked valid, and it calls only async-signal-safe functions. A traced
// run also gets its last lines into the trace, through the tap's ended_by_signal.
#include "serial/signal_guard.h"

#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace {

/// Signals whose default action ends the process and that can be caught, besides the real-time
/// signals, which end it too.
constexpr std::array<int, 22> ENDING_SIGNALS{
    SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,
    SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU,
    SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS};

struct guarded {
    termios settings;
    volatile sig_atomic_t fd; // -1: nothing to put back
};

std::array<guarded, 2> slots{{{{}, -1}, {{}, -1}}};
volatile sig_atomic_t low_latency_fd = -1; // the port whose low-latency flag this process set
const char* volatile note_text = nullptr;
volatile std::size_t note_length = 0;
guard_signal_tap volatile signal_tap = nullptr;
bool handlers_installed = false;

/// Calls each for every signal the guard covers.
template <typename Each> void for_each_ending_signal(Each each) {
    for (const int signal_number : ENDING_SIGNALS) {
        each(signal_number);
    }
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
        each(signal_number);
    }
}

extern "C" void end_by_signal(int signal_number) {
    const int saved_errno = errno;
    const int latency_fd = low_latency_fd;
    if (latency_fd >= 0) {
        serial_struct serial{};
        if (ioctl(latency_fd, TIOCGSERIAL, &serial) == 0) {
            serial.flags &= ~static_cast<int>(ASYNC_LOW_LATENCY);
            ioctl(latency_fd, TIOCSSERIAL, &serial);
        }
    }
    for (const guarded& slot : slots) {
        const int fd = slot.fd;
        if (fd >= 0) {
            tcsetattr(fd, TCSANOW, &slot.settings);
        }
    }
    const char* note = note_text;
    const std::size_t length = note_length;
    if (note != nullptr) {
        const ssize_t ignored = write(STDERR_FILENO, note, length);
        static_cast<void>(ignored);
    }
    const guard_signal_tap tap = signal_tap;
    if (tap != nullptr) {
        tap(signal_number, note, length);
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal_number, &fallback, nullptr);
    errno = saved_errno;
    // Still blocked inside the handler: delivered, with its default action, on return (a
    // fault that raised it by an instruction raises it again with that action).
    raise(signal_number);
}

/// Installs end_by_signal for every ending signal that still has its default action: one the
/// process ignores stays ignored (a run under nohup keeps ignoring SIGHUP), and one that
/// another part of the process handles (a sanitizer's fault report) stays with it. While the
/// handler runs, the other ending signals wait.
void install_handlers() {
    struct sigaction action {};
    action.sa_handler = end_by_signal;
    sigemptyset(&action.sa_mask);
    for_each_ending_signal(
        [&action](int signal_number) { sigaddset(&action.sa_mask, signal_number); });
    for_each_ending_signal([&action](int signal_number) {
        struct sigaction found {};
        if (sigaction(signal_number, nullptr, &found) == 0 && found.sa_handler == SIG_DFL &&
            (found.sa_flags & SA_SIGINFO) == 0) {
            sigaction(signal_number, &action, nullptr);
        }
    });
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

void guard_low_latency(int fd) {
    low_latency_fd = fd;
    if (fd >= 0 && !handlers_installed) {
        install_handlers();
    }
}

void guard_set_note(const char* note) {
    note_text = nullptr;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    note_length = note != nullptr ? std::strlen(note) : 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    note_text = note;
}

void guard_set_signal_tap(guard_signal_tap tap) {
    signal_tap = tap;
}
