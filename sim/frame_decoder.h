// SPDX-License-Identifier: MIT
// The adapter's input side: bytes from the line in, data frames and command
// bytes out. 0x00 starts a frame; its body comes in groups of a header byte
// and up to seven bytes, all with bit 7 set, the header holding the top bits
// that the group's bytes lost; a byte 0x01..0x7F is a command that ends the frame.
#pragma once

#include "protocol/adapter_frame.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace sim {

/// A command byte with the frame that came before it.
struct command_frame {
    uint8_t command = 0;
    std::span<const uint8_t> data{}; // valid until the decoder takes its next byte
    bool overflow = false;           // the frame held more bytes than the decoder keeps
};

class frame_decoder {
  public:
    static constexpr std::size_t CAPACITY = FRAME_KEPT_MAX; // data bytes kept per frame

    /// Takes one byte; a command byte yields itself with the frame before it (empty
    /// when no frame was started since the last command). Body bytes outside a frame
    /// are dropped.
    std::optional<command_frame> take(uint8_t b);

  private:
    adapter_frame_decoder state_{};
    adapter_frame ended_{}; // the frame of the last command
};

} // namespace sim
