// SPDX-License-Identifier: MIT
// Intel HEX input: line splitting, record checks and delivery of data records.
#include "commands/hex_reader.h"

#include <array>
#include <cctype>

namespace {

/// Shortest line taken as a record: ':' and ten digits.
constexpr int HEX_RECORD_MIN = 11;
/// Fewest digits a record line must carry: count, address and type, checksum.
constexpr int HEX_DIGITS_MIN = 10;
/// Decoded bytes of the longest line: half its digits, rounded up.
constexpr int HEX_BYTES_MAX = HEX_LINE_MAX / 2;
/// Decoded bytes around the data: count, address high, address low, type, checksum.
constexpr int HEX_FRAMING_BYTES = 5;

constexpr int HEX_TYPE_DATA = 0x00;
constexpr int HEX_TYPE_END = 0x01;
constexpr int HEX_TYPE_SEGMENT = 0x02; // extended segment address: base = value x 16
constexpr int HEX_TYPE_LINEAR = 0x04;  // extended linear address: base = value x 65536
/// Data bytes of an extended address record: the value, high byte first.
constexpr int HEX_EXTENDED_BYTES = 2;

constexpr int READ_ON = 0;
constexpr int READ_END = 1;
constexpr int READ_REJECTED = -1;

struct hex_line {
    std::array<char, HEX_LINE_MAX> text;
    int length;
};

/// Value 0 to 15 of a character that isxdigit accepted.
unsigned digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<unsigned>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<unsigned>(c - 'a' + 10);
    }
    return static_cast<unsigned>(c - 'A' + 10);
}

/// The position of the first character at or after from that is neither a blank nor a tab.
int blanks_from(const hex_line& line, int from) {
    while (from < line.length && (line.text[from] == ' ' || line.text[from] == '\t')) {
        ++from;
    }
    return from;
}

/// Checks one complete line and delivers it if it is a data record, at the base address that
/// the extended address records before it set. READ_ON to go on, READ_END after an end record,
/// READ_REJECTED for a malformed record.
int examine_line(const hex_line& line, uint32_t& base, hex_data_sink sink, void* context) {
    // A record indented by blanks would be a guess: an indented end record taken as one would
    // cut the image short, and one passed over would lose its data without a word.
    const int first = blanks_from(line, 0);
    if (first > 0 && first < line.length && line.text[first] == ':') {
        return READ_REJECTED;
    }
    if (line.length < HEX_RECORD_MIN || line.text[0] != ':') {
        return READ_ON;
    }
    int digits = 0;
    while (1 + digits < line.length &&
           std::isxdigit(static_cast<unsigned char>(line.text[1 + digits])) != 0) {
        ++digits;
    }
    if (digits < HEX_DIGITS_MIN) {
        return READ_REJECTED;
    }
    // A second record on the same line would be dropped with all its data.
    const int after = blanks_from(line, 1 + digits);
    if (after < line.length && line.text[after] == ':') {
        return READ_REJECTED;
    }

    // An odd run ends in a byte made of its last digit alone.
    std::array<uint8_t, HEX_BYTES_MAX> record{};
    const int decoded = (digits + 1) / 2;
    unsigned sum = 0;
    for (int i = 0; i < decoded; ++i) {
        const int first = 1 + 2 * i;
        unsigned value = digit_value(line.text[first]);
        if (first + 1 <= digits) {
            value = value * 16 + digit_value(line.text[first + 1]);
        }
        record[i] = static_cast<uint8_t>(value);
        sum += value;
    }
    if ((sum & 0xFF) != 0) {
        return READ_REJECTED;
    }

    const int type = record[3];
    if (type == HEX_TYPE_END) {
        return READ_END;
    }
    const int data_bytes = decoded - HEX_FRAMING_BYTES;
    const uint32_t value = record[1] * 256U + record[2];
    if (type == HEX_TYPE_DATA && data_bytes > 0) {
        sink(record.data() + 4, base + value, data_bytes, context);
    } else if (type == HEX_TYPE_SEGMENT || type == HEX_TYPE_LINEAR) {
        // An address record that does not carry its value cannot be followed safely.
        if (data_bytes < HEX_EXTENDED_BYTES) {
            return READ_REJECTED;
        }
        const uint32_t extended = record[4] * 256U + record[5];
        base = type == HEX_TYPE_SEGMENT ? extended << 4 : extended << 16;
    }
    return READ_ON;
}

} // namespace

/// Stops at the first end record or rejected line, leaving the rest of input unread; input
/// that ends without an end record is rejected.
int hex_read(std::FILE* input, hex_data_sink sink, void* context) {
    hex_line line{};
    uint32_t base = 0;
    for (;;) {
        const int c = std::getc(input);
        if (c == '\n' || c == '\r' || c == EOF) {
            const int result = examine_line(line, base, sink, context);
            line.length = 0;
            if (result != READ_ON) {
                return result;
            }
            if (c == EOF) {
                return READ_REJECTED;
            }
            continue;
        }
        if (line.length == HEX_LINE_MAX) {
            return READ_REJECTED;
        }
        line.text[line.length] = static_cast<char>(c);
        ++line.length;
    }
}

void image_store(const uint8_t* data, uint32_t address, int count, void* context) {
    auto& load = *static_cast<image_load*>(context);
    for (int i = 0; i < count; ++i) {
        const uint64_t at = static_cast<uint64_t>(address) + static_cast<uint64_t>(i);
        if (at < IMAGE_SIZE) {
            load.image[at] = data[i];
        } else if (load.beyond == 0 || at < load.beyond) {
            load.beyond = at;
        }
    }
}
