// SPDX-License-Identifier: MIT
// The low-latency flag of the port and what the tap is told of a port just opened. Private to
// the serial layer.
#pragma once

#include "serial/serial_tap.h"

/// Asks the driver of fd for low latency: USB serial converters hold small replies back for
/// their latency timer unless asked. Best effort: a driver without the request (a
/// pseudo-terminal among them) is left alone, silently.
void port_request_low_latency(int fd);

/// Turns the flag off again on fd if port_request_low_latency turned it on.
void port_restore_low_latency(int fd);

/// The port just opened as the tap sees it: the speed the driver set and whether it keeps the
/// low-latency flag.
serial_port_opened port_describe(int fd, const char* path, int baud_rate);
