// SPDX-License-Identifier: MIT
#include "frame_decoder.h"

#include "adapter_commands.h"

namespace sim {

std::optional<command_frame> frame_decoder::take(uint8_t b) {
    if (!in_frame_) { // the previous command consumed its frame
        length_ = 0;
        overflow_ = false;
    }
    if (b == ADP_FRAME_START) {
        in_frame_ = true;
        body_pos_ = 0;
        length_ = 0;
        overflow_ = false;
        return std::nullopt;
    }
    if (!is_command_byte(b)) {
        if (!in_frame_) {
            return std::nullopt;
        }
        std::size_t k = body_pos_ % 8; // 0: a group header, 1..7: the group's bytes
        ++body_pos_;
        if (k == 0) {
            header_ = b;
            return std::nullopt;
        }
        auto restored = static_cast<uint8_t>((b & 0x7F) | (((header_ >> (7 - k)) & 1) << 7));
        if (length_ < data_.size()) {
            data_[length_++] = restored;
        } else {
            overflow_ = true;
        }
        return std::nullopt;
    }
    in_frame_ = false;
    return command_frame{b, std::span<const uint8_t>(data_.data(), length_), overflow_};
}

} // namespace sim
