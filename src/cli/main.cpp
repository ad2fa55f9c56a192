// SPDX-License-Identifier: MIT
// vantrel: flash programmer for C8051F30x microcontrollers through a C2
// interface adapter on a serial port.
#include "cli/driver.h"
#include "cli/options.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

/// Gives each of descriptors 0, 1 and 2 that was closed at start a /dev/null opened against
/// its direction (write-only for input, read-only for the outputs), so that the port can never
/// become one of them and using the stream fails instead. False when that is impossible.
bool occupy_closed_standard_descriptors() {
    constexpr int directions[] = {O_WRONLY, O_RDONLY, O_RDONLY};
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free descriptor: this one, since those below it are open.
        if (open("/dev/null", directions[fd]) != fd) {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (!occupy_closed_standard_descriptors()) {
        return 1;
    }
    option_context ctx{};
    option_context_init(ctx, argc, argv);
    return run_program(ctx);
}
