// SPDX-License-Identifier: MIT
#include "fault_spec.h"

#include "hex_digits.h"

#include <algorithm>
#include <cctype>

namespace sim {

namespace {

constexpr unsigned long MAX_DELAY_MS = 60000;
constexpr unsigned long MAX_COUNT = 1000000;
constexpr std::size_t HELP_WIDTH = 76;

/// Decimal digits only, at most max; nullopt for anything else.
std::optional<unsigned long> parse_decimal(std::string_view text, unsigned long max) {
    if (text.empty() || text.size() > 9) {
        return std::nullopt;
    }
    unsigned long value = 0;
    for (char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value > max) {
        return std::nullopt;
    }
    return value;
}

/// A count from 1 to MAX_COUNT into count; false, leaving it alone, for anything else.
bool parse_count(std::string_view text, int& count) {
    auto value = parse_decimal(text, MAX_COUNT);
    if (!value || *value == 0) {
        return false;
    }
    count = static_cast<int>(*value);
    return true;
}

/// Hexadecimal digits with an optional 0x prefix, at most max.
std::optional<unsigned long> parse_hex_number(std::string_view text, unsigned long max) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    unsigned long value = 0;
    for (char c : text) {
        int d = hex_digit(c);
        if (d < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<unsigned long>(d);
    }
    if (value > max) {
        return std::nullopt;
    }
    return value;
}

bool same_letters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) !=
            std::toupper(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

/// Splits "head<sep>rest" at the first sep; rest is nullopt without one.
std::pair<std::string_view, std::optional<std::string_view>> split(std::string_view text,
                                                                   char sep) {
    auto at = text.find(sep);
    if (at == std::string_view::npos) {
        return {text, std::nullopt};
    }
    return {text.substr(0, at), text.substr(at + 1)};
}

/// Text broken into lines of at most HELP_WIDTH characters at spaces, each ended by "\n".
std::string wrap(const std::string& text) {
    std::string out;
    std::size_t line_start = 0;
    std::size_t word_start = 0;
    while (word_start < text.size()) {
        std::size_t word_end = std::min(text.find(' ', word_start), text.size());
        if (word_end - line_start > HELP_WIDTH && word_start > line_start) {
            out += text.substr(line_start, word_start - 1 - line_start) + "\n";
            line_start = word_start;
        }
        word_start = word_end + 1;
    }
    return out + text.substr(line_start) + "\n";
}

/// CMD[@N][=VALUE] for the per-command faults.
std::optional<fault_request> parse_command_fault(fault_kind kind, std::string_view body,
                                                 std::string& error) {
    auto [target, value] = split(body, '=');
    auto [cmd_text, nth_text] = split(target, '@');
    fault_request req;
    req.f.kind = kind;
    auto cmd = parse_command(cmd_text);
    if (!cmd) {
        error = "unknown command '" + std::string(cmd_text) +
                "' (a name such as PROGRAM_MODE or a byte such as 0x20)";
        return std::nullopt;
    }
    req.f.command = *cmd;
    if (nth_text && !parse_count(*nth_text, req.f.nth)) {
        error = "the occurrence after '@' must be a number from 1";
        return std::nullopt;
    }
    switch (kind) {
    case fault_kind::no_reply:
        if (value) {
            error = "no-reply takes no value";
            return std::nullopt;
        }
        break;
    case fault_kind::delay_reply: {
        auto ms = value ? parse_decimal(*value, MAX_DELAY_MS) : std::nullopt;
        if (!ms) {
            error = "delay needs '=MS', milliseconds from 0 to 60000";
            return std::nullopt;
        }
        req.f.delay_ms = static_cast<int>(*ms);
        break;
    }
    default: { // wrong_reply, surplus_reply
        auto bytes = value ? parse_hex_bytes(*value) : std::nullopt;
        if (!bytes) {
            error = "needs '=HEX', the reply bytes as hexadecimal pairs";
            return std::nullopt;
        }
        req.f.bytes = *bytes;
        break;
    }
    }
    return req;
}

/// ADDR[xTIMES] for the block faults.
std::optional<fault_request> parse_block_fault(fault_kind kind, std::string_view body,
                                               std::string& error) {
    // The address may carry a 0x prefix, so the times are split off at the last 'x'
    // that is not part of that prefix.
    std::string_view addr_text = body;
    std::optional<std::string_view> times_text;
    std::size_t from =
        (body.size() > 1 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X')) ? 2 : 0;
    auto at = body.find_first_of("xX", from);
    if (at != std::string_view::npos) {
        addr_text = body.substr(0, at);
        times_text = body.substr(at + 1);
    }
    fault_request req;
    req.f.kind = kind;
    auto addr = parse_hex_number(addr_text, 0xFFFF);
    if (!addr) {
        error = "needs a flash address in hexadecimal, 0x0000 to 0xFFFF";
        return std::nullopt;
    }
    req.f.address = static_cast<uint16_t>(*addr);
    if (times_text && !parse_count(*times_text, req.f.times)) {
        error = "the count after 'x' must be a number from 1";
        return std::nullopt;
    }
    return req;
}

/// N[=MASK] for the faults on the Nth byte received.
std::optional<fault_request> parse_request_fault(fault_kind kind, std::string_view body,
                                                 std::string& error) {
    auto [count_text, value] = split(body, '=');
    fault_request req;
    req.f.kind = kind;
    int n = 0;
    if (!parse_count(count_text, n)) {
        error = "the byte number after ':' must be a number from 1";
        return std::nullopt;
    }
    req.f.after_bytes = static_cast<std::size_t>(n);
    if (kind != fault_kind::request_flip) {
        if (value) {
            error = std::string(kind == fault_kind::request_drop ? "drop" : "twice") +
                    " takes no value";
            return std::nullopt;
        }
        return req;
    }
    auto mask = value ? parse_hex_number(*value, 0xFF) : std::nullopt;
    if (!mask || *mask == 0) {
        error = "flip needs '=MASK', the bits to flip as a hexadecimal byte from 01 to FF";
        return std::nullopt;
    }
    req.f.bytes = {static_cast<uint8_t>(*mask)};
    return req;
}

using body_parser = std::optional<fault_request> (*)(fault_kind kind, std::string_view body,
                                                     std::string& error);

/// The faults aimed at a command, a block or a received byte: NAME:BODY.
struct aimed_fault {
    const char* name;
    fault_kind kind;
    const char* body; // what must follow the colon, for the message
    body_parser parse;
};

constexpr aimed_fault AIMED_FAULTS[] = {
    {"no-reply", fault_kind::no_reply, "CMD", parse_command_fault},
    {"wrong-reply", fault_kind::wrong_reply, "CMD", parse_command_fault},
    {"delay", fault_kind::delay_reply, "CMD", parse_command_fault},
    {"surplus", fault_kind::surplus_reply, "CMD", parse_command_fault},
    {"write-refused", fault_kind::write_refused, "ADDR", parse_block_fault},
    {"wrong-sum", fault_kind::wrong_sum, "ADDR", parse_block_fault},
    {"short-fetch", fault_kind::short_fetch, "ADDR", parse_block_fault},
    {"flip", fault_kind::request_flip, "N=MASK", parse_request_fault},
    {"drop", fault_kind::request_drop, "N", parse_request_fault},
    {"twice", fault_kind::request_twice, "N", parse_request_fault},
};

} // namespace

std::optional<uint8_t> parse_command(std::string_view text) {
    std::string_view name = text;
    if (name.size() > 4 && same_letters(name.substr(0, 4), "ADP_")) {
        name.remove_prefix(4);
    }
    for (const auto& c : ADAPTER_COMMANDS) {
        if (same_letters(name, c.name)) {
            return c.byte;
        }
    }
    std::optional<unsigned long> value;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        value = parse_hex_number(text, 0x7F);
    } else {
        value = parse_decimal(text, 0x7F);
    }
    if (!value || *value == 0) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(*value);
}

std::optional<std::vector<uint8_t>> parse_hex_bytes(std::string_view text) {
    std::vector<uint8_t> bytes;
    std::size_t i = 0;
    while (i < text.size()) {
        if (!bytes.empty() && (text[i] == ',' || text[i] == ':')) {
            ++i;
        }
        if (i + 1 >= text.size()) {
            return std::nullopt;
        }
        int byte = hex_pair(text[i], text[i + 1]);
        if (byte < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<uint8_t>(byte));
        i += 2;
    }
    if (bytes.empty()) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<fault_request> parse_fault_spec(std::string_view spec, std::string& error) {
    auto [head, body] = split(spec, ':');
    for (const auto& k : AIMED_FAULTS) {
        if (head == k.name) {
            if (!body || body->empty()) {
                error = std::string(k.name) + " needs ':" + k.body + "'";
                return std::nullopt;
            }
            return k.parse(k.kind, *body, error);
        }
    }

    auto [name, value] = split(spec, '=');
    fault_request req;
    if (name == "never-ready" || name == "always-busy") {
        if (value) {
            error = std::string(name) + " takes no value";
            return std::nullopt;
        }
        req.f.kind = name == "never-ready" ? fault_kind::never_ready : fault_kind::always_busy;
        return req;
    }
    if (name == "noise") {
        req.f.kind = fault_kind::noise;
        if (value) {
            auto [period_text, byte_text] = split(*value, ':');
            auto period = parse_decimal(period_text, MAX_DELAY_MS);
            if (!period || *period == 0) {
                error = "noise takes '=MS', a period from 1 to 60000 milliseconds";
                return std::nullopt;
            }
            req.f.period_ms = static_cast<int>(*period);
            if (byte_text) {
                auto bytes = parse_hex_bytes(*byte_text);
                if (!bytes || bytes->size() != 1) {
                    error = "the noise byte after ':' must be one hexadecimal pair";
                    return std::nullopt;
                }
                req.f.bytes = *bytes;
            }
        }
        return req;
    }
    if (name == "stale") {
        auto bytes = value ? parse_hex_bytes(*value) : std::nullopt;
        if (!bytes) {
            error = "stale needs '=HEX', the waiting bytes as hexadecimal pairs";
            return std::nullopt;
        }
        req.is_stale = true;
        req.stale_bytes = *bytes;
        return req;
    }
    if (name == "hang-up-after") {
        auto count = value ? parse_decimal(*value, MAX_COUNT) : std::nullopt;
        if (!count || *count == 0) {
            error = "hang-up-after needs '=N', a byte count from 1";
            return std::nullopt;
        }
        req.f.kind = fault_kind::hang_up_after;
        req.f.after_bytes = *count;
        return req;
    }
    error = "unknown fault '" + std::string(name) + "'";
    return std::nullopt;
}

const char* fault_spec_syntax() {
    static const std::string text = [] {
        std::string names;
        for (const auto& c : ADAPTER_COMMANDS) {
            names += names.empty() ? "(" : ", ";
            names += c.name;
        }
        return std::string(
                   "  no-reply:CMD[@N]          the reply to CMD (its Nth occurrence only) is "
                   "dropped\n"
                   "  wrong-reply:CMD[@N]=HEX   the reply is replaced by the bytes HEX\n"
                   "  delay:CMD[@N]=MS          the reply comes MS milliseconds late\n"
                   "  surplus:CMD[@N]=HEX       the bytes HEX follow the reply\n"
                   "  write-refused:ADDR[xT]    block writes covering ADDR answer 01 (T times)\n"
                   "  wrong-sum:ADDR[xT]        block sums covering ADDR are off by one (T times)\n"
                   "  short-fetch:ADDR[xT]      block fetches covering ADDR lack a byte (T times)\n"
                   "  flip:N=MASK               the adapter takes the Nth byte received XOR MASK\n"
                   "  drop:N                    the adapter never takes the Nth byte received\n"
                   "  twice:N                   the adapter takes the Nth byte received twice\n"
                   "  never-ready               the status never shows output ready\n"
                   "  always-busy               the status always shows input busy\n"
                   "  noise[=MS[:HH]]           an unasked byte HH (55) every MS (10) "
                   "milliseconds\n"
                   "  stale=HEX                 the bytes HEX wait on the line before the first "
                   "run\n"
                   "  hang-up-after=N           the line is closed when the Nth byte arrives\n") +
               wrap("CMD is a command name " + names +
                    ") or a byte such as 0x20; ADDR and MASK are hexadecimal; HEX is pairs of "
                    "hexadecimal digits, optionally separated by ',' or ':'. The bytes "
                    "received count from 1 at the start; --trace shows the commands as the "
                    "adapter took them.");
    }();
    return text.c_str();
}

} // namespace sim
