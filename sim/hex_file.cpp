// SPDX-License-Identifier: MIT
#include "hex_file.h"

#include "hex_digits.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace sim {

namespace {

constexpr std::size_t RECORD_BYTES = 16;

/// Decodes the hexadecimal pairs after the colon; false on an odd count or a non-digit.
bool decode_pairs(const std::string& line, std::vector<uint8_t>& out) {
    out.clear();
    if ((line.size() - 1) % 2 != 0) {
        return false;
    }
    for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
        int byte = hex_pair(line[i], line[i + 1]);
        if (byte < 0) {
            return false;
        }
        out.push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

} // namespace

bool load_hex_text(const std::string& text, flash_array& flash, std::string& error) {
    std::istringstream in(text);
    std::string line;
    std::vector<uint8_t> rec;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        while (!line.empty() &&
               (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.pop_back();
        }
        if (line.empty()) {
            continue;
        }
        auto where = "line " + std::to_string(number) + ": ";
        if (line[0] != ':') {
            error = where + "does not begin with ':'";
            return false;
        }
        if (!decode_pairs(line, rec) || rec.size() < 5) {
            error = where + "not a record of hexadecimal pairs";
            return false;
        }
        std::size_t count = rec[0];
        if (rec.size() != count + 5) {
            error = where + "length does not match its byte count";
            return false;
        }
        unsigned sum = 0;
        for (uint8_t b : rec) {
            sum += b;
        }
        if ((sum & 0xFF) != 0) {
            error = where + "bad checksum";
            return false;
        }
        unsigned address = static_cast<unsigned>(rec[1] << 8 | rec[2]);
        switch (rec[3]) {
        case 0x00:
            if (address + count > FLASH_SPACE) {
                error = where + "data runs past address 0xFFFF";
                return false;
            }
            for (std::size_t i = 0; i < count; ++i) {
                flash[address + i] = rec[4 + i];
            }
            break;
        case 0x01:
            return true;
        case 0x02: // segment and linear bases: only a base of zero fits a 64 KiB device
        case 0x04:
            for (std::size_t i = 0; i < count; ++i) {
                if (rec[4 + i] != 0) {
                    error = where + "extended address beyond 64 KiB";
                    return false;
                }
            }
            break;
        case 0x03: // start addresses mean nothing to the flash
        case 0x05:
            break;
        default:
            error = where + "unknown record type";
            return false;
        }
    }
    error = "no end-of-file record";
    return false;
}

bool load_hex_file(const std::string& path, flash_array& flash, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (!load_hex_text(text.str(), flash, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

std::string hex_text(const flash_array& flash, uint16_t begin, uint32_t end) {
    std::string out;
    if (end > FLASH_SPACE) {
        end = FLASH_SPACE;
    }
    std::array<char, 64> line{};
    for (uint32_t at = begin; at < end; at += RECORD_BYTES) {
        auto n = static_cast<std::size_t>(std::min<uint32_t>(RECORD_BYTES, end - at));
        bool blank = true;
        for (std::size_t i = 0; i < n; ++i) {
            blank = blank && flash[at + i] == 0xFF;
        }
        if (blank) {
            continue;
        }
        unsigned sum = static_cast<unsigned>(n + (at >> 8) + (at & 0xFF));
        int len = std::snprintf(line.data(), line.size(), ":%02X%04X00", static_cast<unsigned>(n),
                                static_cast<unsigned>(at));
        out.append(line.data(), static_cast<std::size_t>(len));
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(line.data(), line.size(), "%02X", flash[at + i]);
            out.append(line.data(), 2);
            sum += flash[at + i];
        }
        std::snprintf(line.data(), line.size(), "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        out.append(line.data(), 3);
    }
    out += ":00000001FF\n";
    return out;
}

bool save_hex_file(const std::string& path, const flash_array& flash, uint16_t begin, uint32_t end,
                   std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    out << hex_text(flash, begin, end);
    out.close();
    if (!out) {
        error = path + ": write failed";
        return false;
    }
    return true;
}

} // namespace sim
