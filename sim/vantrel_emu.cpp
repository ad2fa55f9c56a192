// vantrel-emu: an emulated C2 interface adapter with a C8051F30x behind it, served on a
// pseudo-terminal, for trying the programmer, scripting it and writing adapters.
#include "emulator.h"
#include "fault_spec.h"
#include "hex_file.h"

#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int EXIT_USAGE = 2;
// After the last close, a new open within this time belongs to the same run (the
// programmer reopens the port for --reset).
constexpr auto ONCE_GRACE = std::chrono::milliseconds(300);
constexpr int WAIT_SLICE_MS = 200;

const char* const HELP_TEXT =
    "Usage: vantrel-emu [OPTION]...\n"
    "Serves an emulated C2 interface adapter with a C8051F30x target on a\n"
    "pseudo-terminal. Prints the terminal's path (give it to vantrel --serial) on\n"
    "standard output, then serves until SIGINT or SIGTERM.\n"
    "\n"
    "Target and adapter:\n"
    "  --device-id N          device identifier (default 0x04)\n"
    "  --revision-id N        revision identifier (default 0x02)\n"
    "  --version MAJOR.MINOR  adapter firmware version (default 1.3)\n"
    "  --no-block-read-ack    send no byte in answer to BLOCK_READ\n"
    "  --baud-pacing          deliver bytes at the speed set on the line\n"
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
    "\n"
    "Numbers N are decimal, or hexadecimal with 0x, from 0 to 255.\n"
    "Fault specs:\n";

struct tool_options {
    sim::config cfg;
    std::vector<sim::fault> faults;
    std::vector<uint8_t> stale;
    std::string flash_file;
    std::string save_file;
    std::string link_path;
    bool once = false;
    bool trace = false;
};

enum option_id {
    OPT_DEVICE_ID = 1000,
    OPT_REVISION_ID,
    OPT_VERSION,
    OPT_FLASH,
    OPT_SAVE,
    OPT_LINK,
    OPT_BAUD_PACING,
    OPT_TRACE,
    OPT_FAULT,
    OPT_NO_BLOCK_READ_ACK,
    OPT_ONCE,
    OPT_HELP,
};

constexpr std::array<option, 13> LONG_OPTIONS = {{
    {"device-id", required_argument, nullptr, OPT_DEVICE_ID},
    {"revision-id", required_argument, nullptr, OPT_REVISION_ID},
    {"version", required_argument, nullptr, OPT_VERSION},
    {"flash", required_argument, nullptr, OPT_FLASH},
    {"save", required_argument, nullptr, OPT_SAVE},
    {"link", required_argument, nullptr, OPT_LINK},
    {"baud-pacing", no_argument, nullptr, OPT_BAUD_PACING},
    {"trace", no_argument, nullptr, OPT_TRACE},
    {"fault", required_argument, nullptr, OPT_FAULT},
    {"no-block-read-ack", no_argument, nullptr, OPT_NO_BLOCK_READ_ACK},
    {"once", no_argument, nullptr, OPT_ONCE},
    {"help", no_argument, nullptr, OPT_HELP},
    {nullptr, 0, nullptr, 0},
}};

[[noreturn]] void usage_error(const std::string& message) {
    std::fprintf(stderr, "vantrel-emu: %s\nTry 'vantrel-emu --help'.\n", message.c_str());
    std::exit(EXIT_USAGE);
}

/// A byte value: decimal, or hexadecimal after 0x.
std::optional<uint8_t> parse_byte(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = text.c_str() + (hex ? 2 : 0);
    if (*digits == '\0' || *digits == '-' || *digits == '+' || *digits == ' ') {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(digits, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || v > 255) {
        return std::nullopt;
    }
    return static_cast<uint8_t>(v);
}

tool_options parse_command_line(int argc, char** argv) {
    tool_options o;
    opterr = 0;
    int id = 0;
    while ((id = getopt_long(argc, argv, ":", LONG_OPTIONS.data(), nullptr)) != -1) {
        std::string value = optarg != nullptr ? optarg : "";
        switch (id) {
        case OPT_DEVICE_ID:
        case OPT_REVISION_ID: {
            auto b = parse_byte(value);
            if (!b) {
                usage_error(std::string(id == OPT_DEVICE_ID ? "--device-id" : "--revision-id") +
                            ": '" + value + "' is not a number from 0 to 255");
            }
            (id == OPT_DEVICE_ID ? o.cfg.device_id : o.cfg.revision_id) = *b;
            break;
        }
        case OPT_VERSION: {
            auto dot = value.find('.');
            auto major = dot == std::string::npos ? std::nullopt : parse_byte(value.substr(0, dot));
            auto minor =
                dot == std::string::npos ? std::nullopt : parse_byte(value.substr(dot + 1));
            if (!major || !minor) {
                usage_error("--version: '" + value + "' is not MAJOR.MINOR, each 0 to 255");
            }
            o.cfg.version_major = *major;
            o.cfg.version_minor = *minor;
            break;
        }
        case OPT_FLASH:
            o.flash_file = value;
            break;
        case OPT_SAVE:
            o.save_file = value;
            break;
        case OPT_LINK:
            o.link_path = value;
            break;
        case OPT_BAUD_PACING:
            o.cfg.baud_pacing = true;
            break;
        case OPT_TRACE:
            o.trace = true;
            break;
        case OPT_NO_BLOCK_READ_ACK:
            o.cfg.block_read_ack = false;
            break;
        case OPT_ONCE:
            o.once = true;
            break;
        case OPT_FAULT: {
            std::string why;
            auto req = sim::parse_fault_spec(value, why);
            if (!req) {
                std::string message = "--fault '";
                message += value;
                message += "': ";
                message += why;
                usage_error(message);
            }
            if (req->is_stale) {
                o.stale.insert(o.stale.end(), req->stale_bytes.begin(), req->stale_bytes.end());
            } else {
                o.faults.push_back(req->f);
            }
            break;
        }
        case OPT_HELP:
            std::fputs(HELP_TEXT, stdout);
            std::fputs(sim::fault_spec_syntax(), stdout);
            std::exit(0);
        case ':':
            usage_error(std::string("option '") + argv[optind - 1] + "' needs a value");
        default:
            usage_error(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    if (optind < argc) {
        usage_error(std::string("unexpected argument '") + argv[optind] + "'");
    }
    return o;
}

/// Counts the opens and closes of the terminal by other processes; the emulator's own
/// descriptor was opened before the watch and stays open, so it never shows.
class open_watch {
  public:
    explicit open_watch(const std::string& path) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0 && inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE) < 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~open_watch() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    open_watch(const open_watch&) = delete;
    open_watch& operator=(const open_watch&) = delete;

    int fd() const { return fd_; }

    /// Reads the pending events.
    void take_events() {
        alignas(inotify_event) std::array<char, 4096> buf{};
        for (;;) {
            ssize_t n = read(fd_, buf.data(), buf.size());
            if (n <= 0) {
                return;
            }
            for (ssize_t at = 0; at < n;) {
                inotify_event ev{};
                std::memcpy(&ev, buf.data() + at, sizeof ev);
                if ((ev.mask & IN_OPEN) != 0) {
                    ++opens_;
                }
                if ((ev.mask & IN_CLOSE) != 0) {
                    ++closes_;
                }
                last_event_ = clock_type::now();
                at += static_cast<ssize_t>(sizeof(inotify_event) + ev.len);
            }
        }
    }

    /// True once the line was opened and every open has been closed for ONCE_GRACE.
    bool run_finished() const {
        return opens_ > 0 && closes_ >= opens_ && clock_type::now() - last_event_ >= ONCE_GRACE;
    }

  private:
    int fd_ = -1;
    long opens_ = 0;
    long closes_ = 0;
    clock_type::time_point last_event_{};
};

/// The symbolic link of --link, removed again when it still points at the terminal.
class line_link {
  public:
    line_link(std::string path, std::string target)
        : path_(std::move(path)), target_(std::move(target)) {}
    ~line_link() { remove(); }
    line_link(const line_link&) = delete;
    line_link& operator=(const line_link&) = delete;

    bool make(std::string& error) {
        struct stat st {};
        if (lstat(path_.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                error = path_ + ": exists and is not a symbolic link; not replaced";
                return false;
            }
            unlink(path_.c_str());
        }
        if (symlink(target_.c_str(), path_.c_str()) != 0) {
            error = path_ + ": " + std::strerror(errno);
            return false;
        }
        made_ = true;
        return true;
    }

    void remove() {
        if (!made_) {
            return;
        }
        made_ = false;
        std::array<char, 4096> buf{};
        ssize_t n = readlink(path_.c_str(), buf.data(), buf.size() - 1);
        if (n >= 0 && std::string(buf.data(), static_cast<std::size_t>(n)) == target_) {
            unlink(path_.c_str());
        }
    }

  private:
    std::string path_;
    std::string target_;
    bool made_ = false;
};

/// Waits for SIGINT, SIGTERM or SIGHUP, or with once for the end of one run.
void serve_until_done(int signal_fd, open_watch* watch) {
    for (;;) {
        std::array<pollfd, 2> fds{
            {{signal_fd, POLLIN, 0}, {watch != nullptr ? watch->fd() : -1, POLLIN, 0}}};
        int r = poll(fds.data(), fds.size(), WAIT_SLICE_MS);
        if (r < 0 && errno != EINTR) {
            std::fprintf(stderr, "vantrel-emu: poll: %s\n", std::strerror(errno));
            return;
        }
        if (r > 0 && (fds[0].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            if (read(signal_fd, &info, sizeof info) > 0) {
                return;
            }
        }
        if (watch != nullptr) {
            if (r > 0 && (fds[1].revents & POLLIN) != 0) {
                watch->take_events();
            }
            if (watch->run_finished()) {
                return;
            }
        }
    }
}

int run(const tool_options& o) {
    sim::flash_array initial{};
    initial.fill(0xFF);
    if (!o.flash_file.empty()) {
        std::string why;
        if (!sim::load_hex_file(o.flash_file, initial, why)) {
            std::fprintf(stderr, "vantrel-emu: --flash %s\n", why.c_str());
            return EXIT_USAGE;
        }
    }

    // The signals are taken through a descriptor; blocking them before the service
    // thread starts keeps them off that thread.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    int signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
    if (signal_fd < 0) {
        std::fprintf(stderr, "vantrel-emu: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    std::unique_ptr<sim::emulator> emu;
    try {
        emu = std::make_unique<sim::emulator>(o.cfg);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantrel-emu: %s\n", e.what());
        close(signal_fd);
        return 1;
    }
    emu->set_flash(0, std::vector<uint8_t>(initial.begin(), initial.end()));
    for (const auto& f : o.faults) {
        emu->add_fault(f);
    }
    if (o.trace) {
        emu->set_trace([](const sim::exchange& e) {
            std::string line = sim::describe_exchange(e) + "\n";
            std::fputs(line.c_str(), stderr);
        });
    }

    std::unique_ptr<open_watch> watch;
    if (o.once) {
        watch = std::make_unique<open_watch>(emu->slave_path());
        if (watch->fd() < 0) {
            std::fprintf(stderr, "vantrel-emu: --once: cannot watch %s: %s\n",
                         emu->slave_path().c_str(), std::strerror(errno));
            close(signal_fd);
            return 1;
        }
    }
    line_link link(o.link_path, emu->slave_path());
    if (!o.link_path.empty()) {
        std::string why;
        if (!link.make(why)) {
            std::fprintf(stderr, "vantrel-emu: --link %s\n", why.c_str());
            close(signal_fd);
            return 1;
        }
    }

    if (!o.stale.empty()) {
        emu->inject(o.stale);
    }
    emu->start();
    std::printf("%s\n", emu->slave_path().c_str());
    std::fflush(stdout);

    serve_until_done(signal_fd, watch.get());
    close(signal_fd);
    emu->stop();
    link.remove();

    if (!o.save_file.empty()) {
        std::string why;
        if (!sim::save_hex_file(o.save_file, emu->flash(), 0, sim::USABLE_FLASH_END, why)) {
            std::fprintf(stderr, "vantrel-emu: --save %s\n", why.c_str());
            return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    tool_options o = parse_command_line(argc, argv);
    return run(o);
}
