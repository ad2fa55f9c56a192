// SPDX-License-Identifier: MIT
// Where a trace may be written: a regular file of the user's own that the run does not
// otherwise read or write, opened without waiting, following no final symbolic link.
#include "trace/trace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/// Why the trace may not be written to the file found, or null when it may: it must be a
/// regular file, and none that the run reads or writes otherwise.
const char* refusal(const struct stat& found, int port_fd, const char* input_path) {
    struct stat other {};
    if (S_ISLNK(found.st_mode)) {
        return "it is a symbolic link";
    }
    if (fstat(port_fd, &other) == 0 && same_file(found, other)) {
        return "it is the serial port";
    }
    if (!S_ISREG(found.st_mode)) {
        return "it is not a regular file";
    }
    // A file put in a shared directory beforehand by someone else would be handed the firmware.
    if (found.st_uid != geteuid()) {
        return "it belongs to another user";
    }
    if (input_path != nullptr && stat(input_path, &other) == 0 && same_file(found, other)) {
        return "it is the HEX input";
    }
    if (fstat(STDIN_FILENO, &other) == 0 && same_file(found, other)) {
        return "it is standard input";
    }
    if (fstat(STDOUT_FILENO, &other) == 0 && same_file(found, other)) {
        return "it is standard output";
    }
    // The progress lines would write over the trace's own start.
    if (fstat(STDERR_FILENO, &other) == 0 && same_file(found, other)) {
        return "it is standard error";
    }
    return nullptr;
}

} // namespace

int trace_file_open(const char* path, int port_fd, const char* input_path, const char*& why) {
    struct stat found {};
    const bool existed = lstat(path, &found) == 0;
    why = nullptr;
    if (existed) {
        why = refusal(found, port_fd, input_path);
    } else if (errno != ENOENT) {
        why = std::strerror(errno);
    }
    int fd = -1;
    if (why == nullptr) {
        const int create = existed ? 0 : O_CREAT | O_EXCL;
        fd = open(path,
                  O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK | create,
                  0600);
        if (fd < 0) {
            why = errno == ELOOP ? "it is a symbolic link" : std::strerror(errno);
        }
    }
    // What was found before the open may have been replaced since, and a new file may be the
    // HEX input that did not exist yet: the open file is judged again.
    if (fd >= 0) {
        why = fstat(fd, &found) != 0 ? std::strerror(errno) : refusal(found, port_fd, input_path);
        if (why != nullptr) {
            close(fd);
            fd = -1;
            if (!existed) {
                unlink(path);
            }
        }
    }
    if (fd < 0) {
        return -1;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}
