// SPDX-License-Identifier: MIT
// The latency timer of a USB serial converter, read from sysfs.
//
// A converter collects what the adapter sends and hands it to the host when its buffer fills
// or its latency timer runs out: 16 ms by default on common chips, so every one-byte reply of
// the protocol would arrive up to 16 ms late. Drivers that know the low-latency request lower
// the timer for it; the others leave it as it is.
#include "serial/usb_latency.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

/// The largest value the converters' timer takes, in milliseconds.
constexpr long LATENCY_TIMER_MAX_MS = 255;

} // namespace

int usb_latency_timer_ms(const char* sysfs_root, const char* path, std::span<char> file) {
    if (file.empty()) {
        return -1;
    }
    file[0] = '\0';
    std::array<char, PATH_MAX> resolved{};
    if (realpath(path, resolved.data()) == nullptr) {
        return -1;
    }
    const char* slash = std::strrchr(resolved.data(), '/');
    const char* name = slash != nullptr ? slash + 1 : resolved.data();
    const int length = std::snprintf(file.data(), file.size(),
                                     "%s/class/tty/%s/device/latency_timer", sysfs_root, name);
    if (length < 0 || static_cast<std::size_t>(length) >= file.size()) {
        file[0] = '\0';
        return -1;
    }
    const int fd = open(file.data(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    std::array<char, 16> text{};
    const ssize_t got = read(fd, text.data(), text.size() - 1);
    close(fd);
    if (got <= 0) {
        return -1;
    }
    char* end = nullptr;
    const long ms = std::strtol(text.data(), &end, 10);
    if (end == text.data() || ms < 0 || ms > LATENCY_TIMER_MAX_MS) {
        return -1;
    }
    return static_cast<int>(ms);
}

int warn_slow_converter(const char* sysfs_root, const char* path, std::FILE* out) {
    std::array<char, SYSFS_PATH_MAX> file{};
    const int ms = usb_latency_timer_ms(sysfs_root, path, file);
    if (ms > 1) {
        std::fprintf(out,
                     "Slow USB serial converter: %s holds each reply back up to %d ms; lower its "
                     "latency timer with: echo 1 | sudo tee %s\n",
                     path, ms, file.data());
    }
    return ms;
}
