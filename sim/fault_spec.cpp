#include "fault_spec.h"

#include <array>
#include <cctype>
#include <cstdio>

namespace sim {

namespace {

constexpr unsigned long MAX_DELAY_MS = 60000;
constexpr unsigned long MAX_COUNT = 1000000;

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

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
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

struct kind_name {
    const char* name;
    fault_kind kind;
};

constexpr kind_name COMMAND_FAULTS[] = {
    {"no-reply", fault_kind::no_reply},
    {"wrong-reply", fault_kind::wrong_reply},
    {"delay", fault_kind::delay_reply},
    {"surplus", fault_kind::surplus_reply},
};

constexpr kind_name BLOCK_FAULTS[] = {
    {"write-refused", fault_kind::write_refused},
    {"wrong-sum", fault_kind::wrong_sum},
    {"short-fetch", fault_kind::short_fetch},
};

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
    if (nth_text) {
        auto nth = parse_decimal(*nth_text, MAX_COUNT);
        if (!nth || *nth == 0) {
            error = "the occurrence after '@' must be a number from 1";
            return std::nullopt;
        }
        req.f.nth = static_cast<int>(*nth);
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
    if (times_text) {
        auto times = parse_decimal(*times_text, MAX_COUNT);
        if (!times || *times == 0) {
            error = "the count after 'x' must be a number from 1";
            return std::nullopt;
        }
        req.f.times = static_cast<int>(*times);
    }
    return req;
}

} // namespace

const std::vector<command_info>& command_table() {
    static const std::vector<command_info> table = {
        {0x01, "IDENTIFY", true},     {0x10, "TARGET_RESET", false}, {0x11, "ADDRESS_WRITE", false},
        {0x12, "ADDRESS_READ", true}, {0x13, "DATA_WRITE", false},   {0x14, "DATA_READ", true},
        {0x15, "BLOCK_FETCH", true},  {0x16, "BLOCK_SUM", true},     {0x20, "PROGRAM_MODE", true},
        {0x21, "BLOCK_WRITE", true},  {0x22, "BLOCK_READ", true},    {0x3F, "QUERY", true},
    };
    return table;
}

const char* command_name(uint8_t command) {
    for (const auto& c : command_table()) {
        if (c.byte == command) {
            return c.name;
        }
    }
    return nullptr;
}

std::optional<uint8_t> parse_command(std::string_view text) {
    std::string_view name = text;
    if (name.size() > 4 && same_letters(name.substr(0, 4), "ADP_")) {
        name.remove_prefix(4);
    }
    for (const auto& c : command_table()) {
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
        int hi = hex_digit(text[i]);
        int lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
        i += 2;
    }
    if (bytes.empty()) {
        return std::nullopt;
    }
    return bytes;
}

std::optional<fault_request> parse_fault_spec(std::string_view spec, std::string& error) {
    auto [head, body] = split(spec, ':');
    for (const auto& k : COMMAND_FAULTS) {
        if (head == k.name) {
            if (!body || body->empty()) {
                error = std::string(k.name) + " needs ':CMD'";
                return std::nullopt;
            }
            return parse_command_fault(k.kind, *body, error);
        }
    }
    for (const auto& k : BLOCK_FAULTS) {
        if (head == k.name) {
            if (!body || body->empty()) {
                error = std::string(k.name) + " needs ':ADDR'";
                return std::nullopt;
            }
            return parse_block_fault(k.kind, *body, error);
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

std::string describe_exchange(const exchange& e) {
    std::array<char, 32> buf{};
    std::string out;
    const char* name = command_name(e.command);
    bool replies = false;
    if (name != nullptr) {
        out = name;
        for (const auto& c : command_table()) {
            replies = replies || (c.byte == e.command && c.replies);
        }
    } else {
        std::snprintf(buf.data(), buf.size(), "COMMAND 0x%02X", e.command);
        out = buf.data();
    }
    const auto& f = e.frame;
    bool block = e.command == 0x21 || e.command == 0x22;
    bool one_byte = e.command == 0x11 || e.command == 0x13;
    if (e.frame_overflow) {
        out += " [overlong frame]";
    } else if (block && f.size() >= 3 && (e.command == 0x21 || f.size() == 3)) {
        std::snprintf(buf.data(), buf.size(), " 0x%04X %u bytes",
                      static_cast<unsigned>(f[0] << 8 | f[1]), static_cast<unsigned>(f[2]));
        out += buf.data();
        if (e.command == 0x21 && f.size() != 3u + f[2]) {
            std::snprintf(buf.data(), buf.size(), " [%zu data bytes]", f.size() - 3);
            out += buf.data();
        }
    } else if (one_byte && f.size() == 1) {
        std::snprintf(buf.data(), buf.size(), " 0x%02X", f[0]);
        out += buf.data();
    } else if (!f.empty()) {
        out += " [frame";
        for (uint8_t b : f) {
            std::snprintf(buf.data(), buf.size(), " %02X", b);
            out += buf.data();
        }
        out += "]";
    }
    if (!e.reply.empty()) {
        out += " ->";
        for (uint8_t b : e.reply) {
            std::snprintf(buf.data(), buf.size(), " %02X", b);
            out += buf.data();
        }
    } else if (replies) {
        out += " -> (no reply)";
    }
    if (e.delay_ms > 0) {
        std::snprintf(buf.data(), buf.size(), " (%d ms late)", e.delay_ms);
        out += buf.data();
    }
    return out;
}

const char* fault_spec_syntax() {
    return "  no-reply:CMD[@N]          the reply to CMD (its Nth occurrence only) is dropped\n"
           "  wrong-reply:CMD[@N]=HEX   the reply is replaced by the bytes HEX\n"
           "  delay:CMD[@N]=MS          the reply comes MS milliseconds late\n"
           "  surplus:CMD[@N]=HEX       the bytes HEX follow the reply\n"
           "  write-refused:ADDR[xT]    block writes covering ADDR answer 01 (T times)\n"
           "  wrong-sum:ADDR[xT]        block sums covering ADDR are off by one (T times)\n"
           "  short-fetch:ADDR[xT]      block fetches covering ADDR lack a byte (T times)\n"
           "  never-ready               the status never shows output ready\n"
           "  always-busy               the status always shows input busy\n"
           "  noise[=MS[:HH]]           an unasked byte HH (55) every MS (10) milliseconds\n"
           "  stale=HEX                 the bytes HEX wait on the line before the first run\n"
           "  hang-up-after=N           the line is closed when the Nth byte arrives\n"
           "CMD is a command name (IDENTIFY, TARGET_RESET, ADDRESS_WRITE, ADDRESS_READ,\n"
           "DATA_WRITE, DATA_READ, BLOCK_FETCH, BLOCK_SUM, PROGRAM_MODE, BLOCK_WRITE,\n"
           "BLOCK_READ, QUERY) or a byte such as 0x20; ADDR is hexadecimal; HEX is pairs\n"
           "of hexadecimal digits, optionally separated by ',' or ':'.\n";
}

} // namespace sim
