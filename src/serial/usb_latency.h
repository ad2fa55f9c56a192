// SPDX-License-Identifier: MIT
// The latency timer of a USB serial converter, read from sysfs: how long the converter may hold
// a short reply back before it hands it to the driver.
#pragma once

#include <cstddef>
#include <cstdio>
#include <span>

/// Where the kernel's sysfs is mounted; tests hand in a directory of their own instead.
inline constexpr const char* SYSFS_ROOT = "/sys";

/// Room for a sysfs path built here, its terminating NUL included.
inline constexpr std::size_t SYSFS_PATH_MAX = 512;

/// The latency timer in milliseconds of the serial device at path (symlinks resolved), read from
/// <sysfs_root>/class/tty/<device name>/device/latency_timer, which is left in file (empty when
/// the path cannot be resolved); -1 when the device has no such timer or it cannot be read.
int usb_latency_timer_ms(const char* sysfs_root, const char* path, std::span<char> file);

/// When that timer is above 1 ms, prints one line to out with its value and the command that
/// lowers it. Returns the timer as usb_latency_timer_ms does.
int warn_slow_converter(const char* sysfs_root, const char* path, std::FILE* out);
