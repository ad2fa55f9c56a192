// SPDX-License-Identifier: MIT
// The --trace line of one exchange, decoded by the command table.
#include "fault_spec.h"
#include "protocol/adapter_protocol.h"

#include <array>
#include <cstdio>

namespace sim {

namespace {

/// Appends printf-formatted text of at most a few dozen characters.
template <typename... Args> void append(std::string& out, const char* format, Args... args) {
    std::array<char, 32> buf{};
    std::snprintf(buf.data(), buf.size(), format, args...);
    out += buf.data();
}

void append_bytes(std::string& out, const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) {
        append(out, " %02X", b);
    }
}

/// The frame as its command reads it: a block request, a register argument, or raw bytes.
void append_frame(std::string& out, const exchange& e) {
    const auto& f = e.frame;
    bool block = e.command == ADP_BLOCK_WRITE || e.command == ADP_BLOCK_READ;
    bool one_byte = e.command == ADP_ADDRESS_WRITE || e.command == ADP_DATA_WRITE;
    if (e.frame_overflow) {
        out += " [overlong frame]";
    } else if (block && f.size() >= 3 && (e.command == ADP_BLOCK_WRITE || f.size() == 3)) {
        append(out, " 0x%04X %u bytes", static_cast<unsigned>(f[0] << 8 | f[1]),
               static_cast<unsigned>(f[2]));
        if (e.command == ADP_BLOCK_WRITE && f.size() != 3u + f[2]) {
            append(out, " [%zu data bytes]", f.size() - 3);
        }
    } else if (one_byte && f.size() == 1) {
        append(out, " 0x%02X", f[0]);
    } else if (!f.empty()) {
        out += " [frame";
        append_bytes(out, f);
        out += "]";
    }
}

} // namespace

std::string describe_exchange(const exchange& e) {
    std::string out;
    if (e.lost) {
        append(out, "lost while busy: %02X", e.command);
        return out;
    }
    const adapter_command_info* command = adapter_command_find(e.command);
    if (command != nullptr) {
        out = command->name;
    } else {
        append(out, "COMMAND 0x%02X", e.command);
    }
    append_frame(out, e);
    if (!e.reply.empty()) {
        out += " ->";
        append_bytes(out, e.reply);
    } else if (command != nullptr && command->replies) {
        out += " -> (no reply)";
    }
    if (e.delay_ms > 0) {
        append(out, " (%d ms late)", e.delay_ms);
    }
    return out;
}

} // namespace sim
