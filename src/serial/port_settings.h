// SPDX-License-Identifier: MIT
// The line's settings: the rates it can be set to, which any layer may ask about (the option
// parser checks --speed against them); the low-latency flag of the port and what the tap is
// told of a port just opened, which are private to the serial layer.
#pragma once

#include "serial/serial_tap.h"

#include <termios.h>

/// The POSIX speed constant for baud_rate; B19200 for any unlisted rate.
speed_t serial_speed_constant(int baud_rate);

/// True when baud_rate is one of the eleven rates the line can be set to.
bool is_accepted_rate(long baud_rate);

/// Asks the driver of fd for low latency: USB serial converters hold small replies back for
/// their latency timer unless asked. Best effort: a driver without the request (a
/// pseudo-terminal among them) is left alone, silently.
void port_request_low_latency(int fd);

/// Turns the flag off again on fd if port_request_low_latency turned it on.
void port_restore_low_latency(int fd);

/// The port just opened as the tap sees it: the speed the driver set and whether it keeps the
/// low-latency flag.
serial_port_opened port_describe(int fd, const char* path, int baud_rate);
