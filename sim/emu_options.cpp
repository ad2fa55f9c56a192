// SPDX-License-Identifier: MIT
#include "emu_options.h"

#include "fault_spec.h"

#include <getopt.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace emu_tool {

namespace {

const char* const HELP_TEXT =
    "Usage: vantrel-emu [OPTION]...\n"
    "Serves an emulated C2 interface adapter with a C8051F30x target on a\n"
    "pseudo-terminal. Prints the terminal's path (give it to vantrel --serial) on\n"
    "standard output, then serves until SIGINT or SIGTERM.\n"
    "\n"
    "Target and adapter:\n"
    "  --device-id N          device identifier (default 0x04)\n"
    "  --revision-id N        revision identifier (default 0x02)\n"
    "  --adapter-version MAJOR.MINOR\n"
    "                         adapter firmware version (default 1.3)\n"
    "  --no-block-read-ack    send no byte in answer to BLOCK_READ\n"
    "  --block-read-ack-every COUNT\n"
    "                         answer only every COUNTth BLOCK_READ, counted from the\n"
    "                         start (default 1: each one)\n"
    "  --block-once           forget the block taken by BLOCK_READ once a BLOCK_FETCH\n"
    "                         or BLOCK_SUM has served it\n"
    "  --query-says-done      answer QUERY with 0x21 after any erase sequence, even a\n"
    "                         corrupted one (else 0x21 only when the last erase since\n"
    "                         PROGRAM_MODE erased the flash, and 0x00 otherwise)\n"
    "  --latency-us US        send each reply US microseconds (0 to 1000000) after its\n"
    "                         request has arrived, as a USB serial converter does\n"
    "  --busy-us READ,WRITE,ERASE\n"
    "                         keep the adapter busy READ microseconds per block read,\n"
    "                         WRITE per block write and ERASE per erase step, 0 to\n"
    "                         1000000 each (default 200,1000,200); replies wait for it\n"
    "  --rx-hold N            bytes held while the adapter is busy, 0 to 16 (default 1,\n"
    "                         a UART's); any more that arrive meanwhile are lost\n"
    "  --baud-pacing          deliver bytes at the speed set on the line, each reply\n"
    "                         byte on its own as a serial port does; implies --real-line\n"
    "  --real-line            hand each reply byte over on its own at its time on the\n"
    "                         wire, as a serial port does (else a reply comes whole)\n"
    "  --byte-gap-us US       the time of one reply byte on an unpaced real line, in\n"
    "                         microseconds (520: 19200 bit/s); implies --real-line\n"
    "Flash:\n"
    "  --flash FILE           load the flash from an Intel HEX file (else all 0xFF)\n"
    "  --save FILE            write the flash 0x0000-0x1DFF as Intel HEX on exit\n"
    "Running:\n"
    "  --link PATH            also make a symbolic link PATH to the terminal,\n"
    "                         removed on exit (an existing symbolic link is replaced)\n"
    "  --once                 exit after one run of the program: once the terminal\n"
    "                         has been opened and closed again, with no new open\n"
    "                         within 0.3 s\n"
    "  --trace                log every command, decoded, on standard error\n"
    "  --fault SPEC           inject a fault; repeatable, applied in order\n"
    "  --help                 display this help and exit\n"
    "  --version              display the version of vantrel-emu and exit\n"
    "\n"
    "Numbers are decimal, or hexadecimal with 0x; N goes from 0 to 255.\n"
    "Fault specs:\n";

constexpr unsigned long MAX_BYTE_GAP_US = 1000000;
constexpr unsigned long MAX_ACK_EVERY = 1000000;
constexpr std::size_t BUSY_KINDS = 3; // --busy-us READ,WRITE,ERASE

[[noreturn]] void usage_error(const std::string& message) {
    std::fprintf(stderr, "vantrel-emu: %s\nTry 'vantrel-emu --help'.\n", message.c_str());
    std::exit(EXIT_USAGE);
}

/// A number from 0 to max: decimal, or hexadecimal after 0x.
std::optional<unsigned long> parse_number(const std::string& text, unsigned long max) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = text.c_str() + (hex ? 2 : 0);
    if (*digits == '\0' || *digits == '-' || *digits == '+' || *digits == ' ') {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(digits, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || v > max) {
        return std::nullopt;
    }
    return v;
}

std::optional<uint8_t> parse_byte(const std::string& text) {
    auto v = parse_number(text, 255);
    return v ? std::optional<uint8_t>(static_cast<uint8_t>(*v)) : std::nullopt;
}

/// The byte value of option name, or a usage error.
uint8_t byte_option(const char* name, const std::string& value) {
    auto b = parse_byte(value);
    if (!b) {
        usage_error(std::string(name) + ": '" + value + "' is not a number from 0 to 255");
    }
    return *b;
}

/// MAJOR.MINOR of option name into major and minor, or a usage error.
void version_option(const char* name, const std::string& value, uint8_t& major, uint8_t& minor) {
    auto dot = value.find('.');
    auto high = dot == std::string::npos ? std::nullopt : parse_byte(value.substr(0, dot));
    auto low = dot == std::string::npos ? std::nullopt : parse_byte(value.substr(dot + 1));
    if (!high || !low) {
        usage_error(std::string(name) + ": '" + value + "' is not MAJOR.MINOR, each 0 to 255");
    }
    major = *high;
    minor = *low;
}

/// READ,WRITE,ERASE of --busy-us into cfg, or a usage error.
void busy_option(tool_options& o, const std::string& value) {
    std::array<long*, BUSY_KINDS> fields{&o.cfg.block_read_busy_us, &o.cfg.block_write_busy_us,
                                         &o.cfg.erase_step_busy_us};
    std::size_t from = 0;
    for (std::size_t i = 0; i < BUSY_KINDS; ++i) {
        auto comma = value.find(',', from);
        bool last = i + 1 == BUSY_KINDS;
        auto us = (comma == std::string::npos) == last
                      ? parse_number(value.substr(from, comma - from), sim::MAX_BUSY_US)
                      : std::nullopt;
        if (!us) {
            usage_error("--busy-us: '" + value +
                        "' is not READ,WRITE,ERASE, each a number from 0 to 1000000");
        }
        *fields[i] = static_cast<long>(*us);
        from = comma + 1;
    }
}

void fault_option(tool_options& o, const std::string& value) {
    std::string why;
    auto req = sim::parse_fault_spec(value, why);
    if (!req) {
        usage_error("--fault '" + value + "': " + why);
    }
    if (req->is_stale) {
        o.stale.insert(o.stale.end(), req->stale_bytes.begin(), req->stale_bytes.end());
    } else {
        o.faults.push_back(req->f);
    }
}

using option_handler = void (*)(tool_options& o, const std::string& value);

struct option_row {
    const char* name;
    bool takes_value;
    option_handler apply;
};

const std::array<option_row, 21> OPTIONS = {{
    {"device-id", true,
     [](tool_options& o, const std::string& v) {
         o.cfg.device_id = byte_option("--device-id", v);
     }},
    {"revision-id", true,
     [](tool_options& o, const std::string& v) {
         o.cfg.revision_id = byte_option("--revision-id", v);
     }},
    {"adapter-version", true,
     [](tool_options& o, const std::string& v) {
         version_option("--adapter-version", v, o.cfg.version_major, o.cfg.version_minor);
     }},
    {"flash", true, [](tool_options& o, const std::string& v) { o.flash_file = v; }},
    {"save", true, [](tool_options& o, const std::string& v) { o.save_file = v; }},
    {"link", true, [](tool_options& o, const std::string& v) { o.link_path = v; }},
    {"baud-pacing", false, [](tool_options& o, const std::string&) { o.cfg.baud_pacing = true; }},
    {"real-line", false, [](tool_options& o, const std::string&) { o.cfg.real_line = true; }},
    {"byte-gap-us", true,
     [](tool_options& o, const std::string& v) {
         auto us = parse_number(v, MAX_BYTE_GAP_US);
         if (!us || *us == 0) {
             usage_error("--byte-gap-us: '" + v + "' is not a number from 1 to 1000000");
         }
         o.cfg.byte_gap_us = static_cast<int>(*us);
         o.cfg.real_line = true;
     }},
    {"trace", false, [](tool_options& o, const std::string&) { o.trace = true; }},
    {"fault", true, fault_option},
    {"no-block-read-ack", false,
     [](tool_options& o, const std::string&) { o.cfg.block_read_ack = false; }},
    {"block-read-ack-every", true,
     [](tool_options& o, const std::string& v) {
         auto every = parse_number(v, MAX_ACK_EVERY);
         if (!every || *every == 0) {
             usage_error("--block-read-ack-every: '" + v + "' is not a number from 1 to 1000000");
         }
         o.cfg.block_read_ack_every = static_cast<int>(*every);
     }},
    {"block-once", false, [](tool_options& o, const std::string&) { o.cfg.block_once = true; }},
    {"query-says-done", false,
     [](tool_options& o, const std::string&) { o.cfg.query_says_done = true; }},
    {"latency-us", true,
     [](tool_options& o, const std::string& v) {
         auto us = parse_number(v, sim::MAX_LATENCY_US);
         if (!us) {
             usage_error("--latency-us: '" + v + "' is not a number from 0 to 1000000");
         }
         o.cfg.latency_us = static_cast<long>(*us);
     }},
    {"busy-us", true, busy_option},
    {"rx-hold", true,
     [](tool_options& o, const std::string& v) {
         auto n = parse_number(v, sim::MAX_RX_HOLD);
         if (!n) {
             usage_error("--rx-hold: '" + v + "' is not a number from 0 to 16");
         }
         o.cfg.rx_hold = static_cast<int>(*n);
     }},
    {"once", false, [](tool_options& o, const std::string&) { o.once = true; }},
    {"help", false, [](tool_options& o, const std::string&) { o.show = tool_options::HELP; }},
    {"version", false, [](tool_options& o, const std::string&) { o.show = tool_options::VERSION; }},
}};

constexpr int FIRST_ID = 1000; // getopt_long's value for OPTIONS[i] is FIRST_ID + i

} // namespace

tool_options parse_command_line(int argc, char** argv) {
    std::array<option, OPTIONS.size() + 1> long_options{};
    for (std::size_t i = 0; i < OPTIONS.size(); ++i) {
        long_options[i] = {OPTIONS[i].name,
                           OPTIONS[i].takes_value ? required_argument : no_argument, nullptr,
                           FIRST_ID + static_cast<int>(i)};
    }
    tool_options o;
    opterr = 0;
    int id = 0;
    while ((id = getopt_long(argc, argv, ":", long_options.data(), nullptr)) != -1) {
        if (id == ':') {
            usage_error(std::string("option '") + argv[optind - 1] + "' needs a value");
        }
        auto index = static_cast<std::size_t>(id - FIRST_ID);
        if (id < FIRST_ID || index >= OPTIONS.size()) {
            usage_error(std::string("unknown option '") + argv[optind - 1] + "'");
        }
        OPTIONS[index].apply(o, optarg != nullptr ? optarg : "");
    }
    if (optind < argc) {
        usage_error(std::string("unexpected argument '") + argv[optind] + "'");
    }
    if (o.show == tool_options::HELP) {
        std::fputs(HELP_TEXT, stdout);
        std::fputs(sim::fault_spec_syntax(), stdout);
        std::exit(0);
    }
    if (o.show == tool_options::VERSION) {
        std::printf("vantrel-emu %s\n", VANTREL_VERSION);
        std::exit(0);
    }
    return o;
}

} // namespace emu_tool
