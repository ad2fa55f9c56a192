// The manual pages, the bash completion and the installed tree, checked against the
// program they describe so that neither can drift from it.
#include "cli/options.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using test_support::read_file;
using test_support::run_program;
using test_support::run_result;
using test_support::temp_dir;

const std::string SOURCE_DIR = VANTREL_SOURCE_DIR;
const std::string MAN_PAGES[] = {SOURCE_DIR + "/docs/vantrel.1",
                                 SOURCE_DIR + "/docs/vantrel-emu.1"};
const std::string COMPLETION = SOURCE_DIR + "/share/bash-completion/vantrel";

/// Absolute path of a program on PATH; empty when it is not installed.
std::string find_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = dir + "/" + name;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

bool is_file(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

/// The option names of the table, as the program looks them up.
std::set<std::string> table_names() {
    sort_option_table();
    std::set<std::string> names;
    for (const auto& row : option_table) {
        names.insert(row.name);
    }
    return names;
}

/// The words of the completion's option list.
std::set<std::string> completion_names() {
    std::string text = read_file(COMPLETION);
    const std::string marker = "local options=\"";
    auto at = text.find(marker);
    if (at == std::string::npos) {
        return {};
    }
    at += marker.size();
    std::stringstream words(text.substr(at, text.find('"', at) - at));
    std::set<std::string> names;
    std::string w;
    while (words >> w) {
        names.insert(w);
    }
    return names;
}

/// Completion candidates for the words of a command line, the last being completed.
std::vector<std::string> complete(const std::string& bash, const std::vector<std::string>& words) {
    std::string script = "source '" + COMPLETION + "'; COMP_WORDS=(vantrel";
    for (const auto& w : words) {
        script += " '" + w + "'";
    }
    script += "); COMP_CWORD=" + std::to_string(words.size()) +
              "; _vantrel; printf '%s\\n' \"${COMPREPLY[@]}\"";
    test_support::run_options opts;
    opts.timeout_s = 30;
    run_result r = run_program(bash, {"--norc", "--noprofile", "-c", script}, opts);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    std::vector<std::string> out;
    std::stringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty()) {
            out.push_back(line);
        }
    }
    return out;
}

/// Rendered text without the terminal's bold and underline (overstrikes and SGR codes).
std::string plain(const std::string& rendered) {
    std::string out;
    for (std::size_t i = 0; i < rendered.size(); ++i) {
        if (rendered[i] == '\b') {
            if (!out.empty()) {
                out.pop_back();
            }
        } else if (rendered[i] == '\x1b') {
            while (i < rendered.size() && rendered[i] != 'm') {
                ++i;
            }
        } else {
            out += rendered[i];
        }
    }
    return out;
}

TEST(docs, ManPagesRenderWithoutWarnings) {
    std::string groff = find_program("groff");
    if (groff.empty()) {
        GTEST_SKIP() << "groff is not installed";
    }
    test_support::run_options opts;
    opts.timeout_s = 60;
    for (const auto& page : MAN_PAGES) {
        SCOPED_TRACE(page);
        run_result r = run_program(groff, {"-ww", "-man", "-Tutf8", page}, opts);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.err, "");
        for (const char* section :
             {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "EXAMPLES"}) {
            EXPECT_NE(plain(r.out).find(section), std::string::npos) << section;
        }
    }
}

TEST(docs, ManShowsThePages) {
    std::string man = find_program("man");
    if (man.empty()) {
        GTEST_SKIP() << "man is not installed";
    }
    test_support::run_options opts;
    opts.timeout_s = 60;
    for (const auto& page : MAN_PAGES) {
        SCOPED_TRACE(page);
        run_result r = run_program(man, {"-l", page}, opts);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_NE(plain(r.out).find("vantrel"), std::string::npos);
    }
}

TEST(docs, ManPageNamesEveryOptionAndTheProtocol) {
    std::string page = read_file(MAN_PAGES[0]);
    for (const auto& name : table_names()) {
        std::string escaped;
        for (char c : name) {
            escaped += c == '-' ? std::string("\\-") : std::string(1, c);
        }
        bool found = false;
        for (const char* after : {" ", "\n", "\""}) {
            found = found || page.find(escaped + after) != std::string::npos;
        }
        EXPECT_TRUE(found) << name << " has no entry of its own";
    }
    for (const char* word :
         {"/dev/ttyS0", "/dev/ttyUSB0", "0x01 IDENTIFY", "0x10 TARGET_RESET", "0x11 ADDRESS_WRITE",
          "0x12 ADDRESS_READ", "0x13 DATA_WRITE", "0x14 DATA_READ", "0x15 BLOCK_FETCH",
          "0x16 BLOCK_SUM", "0x20 PROGRAM_MODE", "0x21 BLOCK_WRITE", "0x22 BLOCK_READ",
          "0x3F QUERY"}) {
        EXPECT_NE(page.find(word), std::string::npos) << word;
    }
}

TEST(docs, EmulatorPageCoversItsHelp) {
    test_support::run_options opts;
    opts.timeout_s = 30;
    run_result help = run_program(VANTREL_EMU_BINARY, {"--help"}, opts);
    ASSERT_EQ(help.exit_status, 0);
    std::string page = read_file(MAN_PAGES[1]);
    // The first word of each option line of the help.
    std::stringstream lines(help.out);
    std::string line;
    int seen = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("  --", 0) != 0) {
            continue;
        }
        std::string w = line.substr(2, line.find(' ', 2) - 2);
        std::string escaped;
        for (char c : w) {
            escaped += c == '-' ? std::string("\\-") : std::string(1, c);
        }
        ++seen;
        EXPECT_NE(page.find(escaped), std::string::npos) << w;
    }
    EXPECT_GE(seen, 12);
}

TEST(completion, OffersExactlyTheOptionTable) {
    EXPECT_EQ(completion_names(), table_names());
    EXPECT_EQ(table_names().size(), OPTION_COUNT);
}

TEST(completion, CompletesValues) {
    std::string bash = find_program("bash");
    if (bash.empty()) {
        GTEST_SKIP() << "bash is not installed";
    }
    // Every offered speed is one the program takes, and all of them are offered.
    auto speeds = complete(bash, {"--speed", ""});
    EXPECT_EQ(speeds.size(), 11u);
    for (const auto& s : speeds) {
        EXPECT_TRUE(is_accepted_rate(std::atol(s.c_str()))) << s;
    }
    EXPECT_EQ(complete(bash, {"-i", "--speed", "11"}), std::vector<std::string>{"115200"});
    EXPECT_EQ(complete(bash, {"--speed=23"}), std::vector<std::string>{"--speed=230400"});
    EXPECT_EQ(complete(bash, {"--speed", "=", "57"}), std::vector<std::string>{"57600"});
    EXPECT_EQ(complete(bash, {"--re"}), (std::vector<std::string>{"--read", "--reset"}));
    EXPECT_EQ(complete(bash, {"-r", "--te"}), (std::vector<std::string>{"--terminal", "--test"}));

    // Files: --serial starts under /dev/, -f and --file anywhere.
    auto ports = complete(bash, {"--serial", ""});
    ASSERT_FALSE(ports.empty());
    for (const auto& p : ports) {
        EXPECT_EQ(p.rfind("/dev/", 0), 0u) << p;
    }
    temp_dir dir;
    test_support::write_file(dir.file("app.hex"), ":00000001FF\n");
    for (const char* opt : {"-f", "--file"}) {
        EXPECT_EQ(complete(bash, {"-w", opt, dir.file("ap")}),
                  std::vector<std::string>{dir.file("app.hex")});
    }
    EXPECT_EQ(complete(bash, {"--file=" + dir.file("ap")}),
              std::vector<std::string>{"--file=" + dir.file("app.hex")});
}

TEST(install, PrefixHoldsProgramsPagesAndCompletion) {
    temp_dir prefix;
    test_support::run_options opts;
    opts.timeout_s = 120;
    run_result inst = run_program(
        VANTREL_CMAKE_COMMAND, {"--install", VANTREL_BUILD_DIR, "--prefix", prefix.path()}, opts);
    ASSERT_EQ(inst.exit_status, 0) << inst.out << inst.err;

    for (const char* file :
         {"/bin/vantrel", "/bin/vantrel-emu", "/share/man/man1/vantrel.1",
          "/share/man/man1/vantrel-emu.1", "/share/bash-completion/completions/vantrel"}) {
        EXPECT_TRUE(is_file(prefix.path() + file)) << file;
    }
    EXPECT_EQ(read_file(prefix.path() + "/share/man/man1/vantrel.1"), read_file(MAN_PAGES[0]));

    opts.timeout_s = 30;
    run_result usage = run_program(prefix.path() + "/bin/vantrel", {}, opts);
    EXPECT_EQ(usage.exit_status, 0);
    EXPECT_EQ(usage.out.rfind("Vantrel Programmer, v2.1\r\n", 0), 0u) << usage.out;
    EXPECT_EQ(usage.out.size(), 759u);

    run_result emu_help = run_program(prefix.path() + "/bin/vantrel-emu", {"--help"}, opts);
    EXPECT_EQ(emu_help.exit_status, 0);
}

} // namespace
