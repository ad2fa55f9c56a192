// SPDX-License-Identifier: MIT
// A tap on the serial port: callbacks that a layer above installs (serial_set_tap, in
// serial_port.h) to see what passes on the line, as it passes, without the port knowing what
// the bytes mean. With no tap installed every call site costs one test of a pointer.
#pragma once

#include <cstddef>
#include <cstdint>

/// What the driver did with the request for low latency.
enum serial_low_latency { LOW_LATENCY_ON, LOW_LATENCY_REFUSED, LOW_LATENCY_NOT_OFFERED };

/// A port that serial_open has just opened and set up.
struct serial_port_opened {
    const char* path;
    int speed_asked; // bits per second
    int speed_set;   // bits per second as the driver took it; 0 when none of the rates
    serial_low_latency low_latency;
};

/// Each member may be null. fd is the port's descriptor.
struct serial_tap {
    void (*opened)(int fd, const serial_port_opened& port);
    /// Bytes that serial_send handed to the port.
    void (*sent)(int fd, const uint8_t* bytes, std::size_t count);
    /// The outcome of one serial_read_timed: got of the asked bytes, stored at bytes.
    void (*received)(int fd, const uint8_t* bytes, int got, int asked, long timeout_us);
    /// serial_drain begins.
    void (*drain_begin)(int fd);
    /// serial_drain threw got bytes away; got 0 means the line went quiet and the drain ends.
    void (*drained)(int fd, const uint8_t* bytes, int got);
    /// serial_close is about to close fd.
    void (*closing)(int fd);
    /// A signal is ending the process, after the interruption note (null: none) was written to
    /// standard error. Runs in the signal handler: must be async-signal-safe.
    void (*ended_by_signal)(int signal_number, const char* note, std::size_t note_length);
};
