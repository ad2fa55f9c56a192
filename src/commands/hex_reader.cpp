// SPDX-License-Identifier: MIT
// Intel HEX input: line splitting, record checks and delivery of data records.
#include "commands/hex_reader.h"

#include <unistd.h>

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

/// Width of the indent character at pos: 1 for a blank, tab, form feed, vertical tab, NUL or
/// Latin-1 no-break space (0xA0), 2 for a UTF-8 no-break space (C2 A0), 0 for anything else.
int indent_width(const hex_line& line, int pos) {
    if (pos >= line.length) {
        return 0;
    }
    const auto c = static_cast<unsigned char>(line.text[pos]);
    if (c == ' ' || c == '\t' || c == '\f' || c == '\v' || c == '\0' || c == 0xA0) {
        return 1;
    }
    if (c == 0xC2 && pos + 1 < line.length &&
        static_cast<unsigned char>(line.text[pos + 1]) == 0xA0) {
        return 2;
    }
    return 0;
}

/// The position of the first character at or after from that is not an indent character.
int blanks_from(const hex_line& line, int from) {
    for (int width = indent_width(line, from); width > 0; width = indent_width(line, from)) {
        from += width;
    }
    return from;
}

/// The number of hex digits in the run that starts at from.
int digits_from(const hex_line& line, int from) {
    int digits = 0;
    while (from + digits < line.length &&
           std::isxdigit(static_cast<unsigned char>(line.text[from + digits])) != 0) {
        ++digits;
    }
    return digits;
}

/// Decodes the run of digits hex digits at from into record, two digits a byte (an odd run,
/// which only holds_record decodes, ends in a byte made of its last digit alone), and returns
/// the low byte of their sum.
unsigned decode_run(const hex_line& line, int from, int digits, uint8_t* record) {
    const int decoded = (digits + 1) / 2;
    unsigned sum = 0;
    for (int i = 0; i < decoded; ++i) {
        const int first = from + 2 * i;
        unsigned value = digit_value(line.text[first]);
        if (first + 1 < from + digits) {
            value = value * 16 + digit_value(line.text[first + 1]);
        }
        record[i] = static_cast<uint8_t>(value);
        sum += value;
    }
    return sum & 0xFF;
}

/// Whether the text at or after from has a ':' followed by at least ten digits: a record, or
/// one made unreadable, that the reader would not load from where it stands.
bool colon_record_from(const hex_line& line, int from) {
    for (int at = from; at < line.length; ++at) {
        if (line.text[at] == ':' && digits_from(line, at + 1) >= HEX_DIGITS_MIN) {
            return true;
        }
    }
    return false;
}

/// Whether a line holds a record where the reader does not load one, so that skipping it as
/// text would drop its data: a ':' followed by at least ten digits anywhere on it (after an
/// indent, other text, a byte-order mark past the start of the input, or the end record), or a
/// record that lost its ':': a first word of at least ten hex digits whose bytes sum to 0 mod
/// 256 as a record's do. That is how editors, pasting and concatenation mangle records, and
/// ordinary comments seldom match it: a ';' or '#' comment only with a ':' and ten hex digits
/// in it ("sha256:..."), prose whose first word is a long hex number one time in 256, and a
/// word that goes on in other letters or '_' never.
bool holds_record(const hex_line& line) {
    if (colon_record_from(line, 0)) {
        return true;
    }
    const int first = blanks_from(line, 0);
    const int digits = digits_from(line, first);
    if (digits < HEX_DIGITS_MIN) {
        return false;
    }
    const int end = first + digits;
    if (end < line.length &&
        (std::isalnum(static_cast<unsigned char>(line.text[end])) != 0 || line.text[end] == '_')) {
        return false;
    }
    std::array<uint8_t, HEX_BYTES_MAX> record{};
    return decode_run(line, first, digits, record.data()) == 0;
}

/// Checks one complete line and delivers it if it is a data record, at the base address that
/// the extended address records before it set. READ_ON to go on, READ_END after an end record,
/// READ_REJECTED for a malformed record (a wrong checksum, an odd number of digits, a count
/// field other than its number of data bytes) or a line that holds one where none is loaded.
int examine_line(const hex_line& line, uint32_t& base, hex_data_sink sink, void* context) {
    if (line.length == 0 || line.text[0] != ':') {
        // A record indented or after other text would be a guess: an indented end record taken
        // as one would cut the image short, and one passed over would lose its data without a
        // word. Lines of text with no record in them are skipped.
        const int first = blanks_from(line, 0);
        if (first > 0 && first < line.length && line.text[first] == ':') {
            return READ_REJECTED;
        }
        return holds_record(line) ? READ_REJECTED : READ_ON;
    }
    if (line.length < HEX_RECORD_MIN) {
        return READ_ON;
    }
    const int digits = digits_from(line, 1);
    if (digits < HEX_DIGITS_MIN) {
        return READ_REJECTED;
    }
    // A second record on the same line would be dropped with all its data.
    const int after = blanks_from(line, 1 + digits);
    if (after < line.length && line.text[after] == ':') {
        return READ_REJECTED;
    }
    if (colon_record_from(line, after)) {
        return READ_REJECTED;
    }

    // A digit lost or doubled leaves an odd run, whose pairs are shifted from the digit on.
    if (digits % 2 != 0) {
        return READ_REJECTED;
    }

    std::array<uint8_t, HEX_BYTES_MAX> record{};
    if (decode_run(line, 1, digits, record.data()) != 0) {
        return READ_REJECTED;
    }
    // Bytes lost or added that sum to 0 (a 00; an FF and a 01) keep the checksum: only the
    // count field, checked for records of every type, still tells.
    const int data_bytes = digits / 2 - HEX_FRAMING_BYTES;
    if (record[0] != data_bytes) {
        return READ_REJECTED;
    }

    const int type = record[3];
    if (type == HEX_TYPE_END) {
        return READ_END;
    }
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

/// A hex_data_sink that only notes that data came.
void note_data(const uint8_t* /*data*/, uint32_t /*address*/, int /*count*/, void* context) {
    *static_cast<bool*>(context) = true;
}

/// Whether a line after the end record holds a record whose data would be dropped: a data
/// record, or one the reader cannot load. A second end record, or another record without data,
/// loses nothing and is let be, as is plain text.
bool drops_data_after_end(const hex_line& line, uint32_t base) {
    bool data = false;
    return holds_record(line) &&
           (examine_line(line, base, note_data, &data) == READ_REJECTED || data);
}

/// Takes a UTF-8 byte-order mark that opens the input, as Windows editors write one; the bytes
/// of a mark begun and not finished stay the start of the first line. Returns the character
/// after them.
int skip_byte_order_mark(std::FILE* input, hex_line& line) {
    static constexpr std::array<int, 3> MARK = {0xEF, 0xBB, 0xBF};
    int matched = 0;
    int c = std::getc(input);
    while (matched < static_cast<int>(MARK.size()) && c == MARK[matched]) {
        ++matched;
        c = std::getc(input);
    }
    if (matched < static_cast<int>(MARK.size())) {
        for (int i = 0; i < matched; ++i) {
            line.text[i] = static_cast<char>(MARK[i]);
        }
        line.length = matched;
    }
    return c;
}

} // namespace

/// Stops at a rejected line, leaving the rest of input unread. After the end record it reads
/// on to the end of the input, so that a record there (files put one after the other) makes
/// the input invalid instead of being dropped; a terminal is not read on, as a person typing
/// the image ends it with that record. Input that ends without an end record is rejected.
int hex_read(std::FILE* input, hex_data_sink sink, void* context) {
    hex_line line{};
    uint32_t base = 0;
    bool ended = false;
    for (int c = skip_byte_order_mark(input, line);; c = std::getc(input)) {
        if (c == '\n' || c == '\r' || c == EOF) {
            int result = READ_ON;
            if (!ended) {
                result = examine_line(line, base, sink, context);
            } else if (drops_data_after_end(line, base)) {
                result = READ_REJECTED;
            }
            line.length = 0;
            if (result == READ_REJECTED) {
                return result;
            }
            if (result == READ_END) {
                if (isatty(fileno(input)) != 0) {
                    return READ_END;
                }
                ended = true;
            }
            if (c == EOF) {
                return ended ? READ_END : READ_REJECTED;
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
