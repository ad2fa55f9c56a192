// SPDX-License-Identifier: MIT
#include "frame_decoder.h"

namespace sim {

std::optional<command_frame> frame_decoder::take(uint8_t b) {
    const int command = adapter_frame_take(state_, b, ended_);
    if (command < 0) {
        return std::nullopt;
    }
    return command_frame{
        static_cast<uint8_t>(command),
        std::span<const uint8_t>(ended_.bytes.data(), static_cast<std::size_t>(ended_.length)),
        ended_.overflow};
}

} // namespace sim
