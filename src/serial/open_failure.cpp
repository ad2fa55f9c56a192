// SPDX-License-Identifier: MIT
// Why a serial port cannot be opened, said in the user's terms.
#include "serial/open_failure.h"

#include <grp.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

/// Group that serial ports usually belong to, named when the port's own cannot be found.
constexpr const char* USUAL_PORT_GROUP = "dialout";

/// The group owning path, or USUAL_PORT_GROUP when it cannot be told.
const char* port_group(const char* path) {
    struct stat status {};
    if (stat(path, &status) != 0) {
        return USUAL_PORT_GROUP;
    }
    const group* owner = getgrgid(status.st_gid);
    return owner != nullptr && owner->gr_name != nullptr ? owner->gr_name : USUAL_PORT_GROUP;
}

} // namespace

void report_open_failure(const char* path, int error_number, open_step step) {
    // Kept exactly as scripts know it; the reason follows on a line of its own.
    std::fprintf(stderr, "Cannot open: %s\n", path);
    if (step == OPEN_STEP_LOCK && (error_number == EWOULDBLOCK || error_number == EAGAIN)) {
        std::fputs("In use by another program.\n", stderr);
        return;
    }
    switch (error_number) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
        std::fputs("No such device: check the path and that the adapter is plugged in.\n", stderr);
        return;
    case EACCES:
    case EPERM:
        std::fprintf(stderr,
                     "Permission denied: join the port's group '%s' "
                     "(sudo usermod -aG %s $USER) and log in again.\n",
                     port_group(path), port_group(path));
        return;
    case EBUSY:
        std::fputs("In use by another program.\n", stderr);
        return;
    case ENOTTY:
    case EINVAL:
    case EISDIR:
        std::fputs("Not a serial port.\n", stderr);
        return;
    default:
        break;
    }
    if (step == OPEN_STEP_SETTINGS) {
        std::fputs("Not a serial port.\n", stderr);
        return;
    }
    std::fprintf(stderr, "%s.\n", std::strerror(error_number));
}
