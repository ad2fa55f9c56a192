// SPDX-License-Identifier: MIT
// The manual pages, the bash completion and the installed tree, checked against the
// program they describe so that neither can drift from it.
#include "cli/options.h"
#include "serial/serial_port.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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
const std::string EMU_COMPLETION = SOURCE_DIR + "/share/bash-completion/vantrel-emu";

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

/// What a completion function left: its candidates and the options it set with compopt.
struct completion {
    std::vector<std::string> words;
    std::string compopt;
};

/// Runs a completion function in bash after `setup` has set the COMP_* variables.
completion run_completion(const std::string& bash, const std::string& file,
                          const std::string& setup, const std::string& function) {
    // compopt works only inside a real completion; record what is asked of it instead.
    std::string script = "source '" + file + "'; compopt() { COMPOPT+=\" $*\"; }; " + setup + "; " +
                         function +
                         "; printf '%s\\n' \"${COMPREPLY[@]}\"; echo \"@compopt$COMPOPT\"";
    test_support::run_options opts;
    opts.timeout_s = 30;
    run_result r = run_program(bash, {"--norc", "--noprofile", "-c", script}, opts);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    completion c;
    std::stringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("@compopt", 0) == 0) {
            c.compopt = line.substr(8);
        } else if (!line.empty()) {
            c.words.push_back(line);
        }
    }
    return c;
}

/// Completion candidates of vantrel for the words of a command line, the last being completed.
std::vector<std::string> complete(const std::string& bash, const std::vector<std::string>& words) {
    std::string setup = "COMP_WORDS=(vantrel";
    for (const auto& w : words) {
        setup += " '" + w + "'";
    }
    setup += "); COMP_CWORD=" + std::to_string(words.size());
    return run_completion(bash, COMPLETION, setup, "_vantrel").words;
}

/// Completion of vantrel-emu with the cursor at the end of `line`, split as bash splits it.
completion complete_emu(const std::string& bash, const std::string& line) {
    return run_completion(bash, EMU_COMPLETION,
                          "COMP_LINE='vantrel-emu " + line + "'; COMP_POINT=${#COMP_LINE}",
                          "_vantrel_emu");
}

/// The lines of vantrel-emu --help.
std::vector<std::string> emu_help_lines() {
    test_support::run_options opts;
    opts.timeout_s = 30;
    run_result help = run_program(VANTREL_EMU_BINARY, {"--help"}, opts);
    EXPECT_EQ(help.exit_status, 0);
    std::vector<std::string> out;
    std::stringstream lines(help.out);
    std::string line;
    while (std::getline(lines, line)) {
        out.push_back(line);
    }
    return out;
}

/// The options of vantrel-emu --help: the first word of each line that begins "  --".
std::set<std::string> emu_help_options() {
    std::set<std::string> names;
    for (const auto& line : emu_help_lines()) {
        if (line.rfind("  --", 0) == 0) {
            names.insert(line.substr(2, line.find(' ', 2) - 2));
        }
    }
    return names;
}

/// The fault kinds of vantrel-emu --help ("no-reply", "noise", ...).
std::set<std::string> emu_help_fault_kinds() {
    std::set<std::string> kinds;
    bool in_faults = false;
    for (const auto& line : emu_help_lines()) {
        in_faults = in_faults || line == "Fault specs:";
        if (in_faults && line.size() > 2 && line.rfind("  ", 0) == 0 &&
            std::islower(static_cast<unsigned char>(line[2])) != 0) {
            kinds.insert(
                line.substr(2, line.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", 2) - 2));
        }
    }
    return kinds;
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
    std::string page = read_file(MAN_PAGES[1]);
    auto options = emu_help_options();
    for (const auto& w : options) {
        std::string escaped;
        for (char c : w) {
            escaped += c == '-' ? std::string("\\-") : std::string(1, c);
        }
        EXPECT_NE(page.find(escaped), std::string::npos) << w;
    }
    EXPECT_GE(options.size(), 12u);
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
    // In numeric order, which bash keeps only when told not to sort them as text.
    EXPECT_TRUE(std::is_sorted(speeds.begin(), speeds.end(), [](const auto& a, const auto& b) {
        return std::atol(a.c_str()) < std::atol(b.c_str());
    }));
    EXPECT_NE(run_completion(bash, COMPLETION, "COMP_WORDS=(vantrel --speed ''); COMP_CWORD=2",
                             "_vantrel")
                  .compopt.find("-o nosort"),
              std::string::npos);
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

TEST(completion, EmulatorOffersEveryOptionAndFaultOfItsHelp) {
    std::string bash = find_program("bash");
    if (bash.empty()) {
        GTEST_SKIP() << "bash is not installed";
    }
    auto offered = complete_emu(bash, "--").words;
    for (const auto& name : emu_help_options()) {
        EXPECT_NE(std::find(offered.begin(), offered.end(), name), offered.end()) << name;
    }

    // Fault kinds, without the ':' or '=' that the completion puts after them.
    std::set<std::string> kinds;
    for (auto w : complete_emu(bash, "--fault ").words) {
        if (w.back() == ':' || w.back() == '=') {
            w.pop_back();
        }
        kinds.insert(w);
    }
    EXPECT_EQ(kinds, emu_help_fault_kinds());
    EXPECT_GE(kinds.size(), 12u);

    // After a kind that names a command: the command names the help lists.
    std::string help;
    for (const auto& line : emu_help_lines()) {
        help += line + " ";
    }
    const std::string marker = "CMD is a command name (";
    auto at = help.find(marker);
    ASSERT_NE(at, std::string::npos);
    at += marker.size();
    std::set<std::string> listed;
    std::stringstream names(help.substr(at, help.find(')', at) - at));
    std::string name;
    while (std::getline(names, name, ',')) {
        listed.insert(name.substr(name.find_first_not_of(' ')));
    }
    auto commands = complete_emu(bash, "--fault delay:").words;
    EXPECT_EQ(std::set<std::string>(commands.begin(), commands.end()), listed);
}

TEST(completion, EmulatorCompletesValues) {
    std::string bash = find_program("bash");
    if (bash.empty()) {
        GTEST_SKIP() << "bash is not installed";
    }
    temp_dir dir;
    test_support::write_file(dir.file("app.hex"), ":00000001FF\n");
    // Readline replaces only what follows the last ':' or '=' of the word, so that is
    // what a candidate holds; no space goes after a kind that needs more.
    struct row {
        std::string line;
        std::vector<std::string> words;
        bool nospace;
    };
    const row rows[] = {
        {"--fa", {"--fault"}, false},
        {"--trace --no", {"--no-block-read-ack"}, false},
        {"--fault wr", {"wrong-reply:", "write-refused:", "wrong-sum:"}, true},
        {"--fault=hang", {"hang-up-after="}, true},
        {"--fault never", {"never-ready"}, false},
        {"--fault=no-reply:PRO", {"PROGRAM_MODE"}, false},
        {"--once --fault surplus:BLOCK_",
         {"BLOCK_FETCH", "BLOCK_SUM", "BLOCK_WRITE", "BLOCK_READ"},
         false},
        {"--device-id ", {}, false},
        {"--busy-us ", {}, false},
        {"--rx-hold ", {}, false},
        {"--flash " + dir.file("ap"), {dir.file("app.hex")}, false},
        {"--save=" + dir.file("ap"), {dir.file("app.hex")}, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        completion c = complete_emu(bash, r.line);
        EXPECT_EQ(c.words, r.words);
        EXPECT_EQ(c.compopt.find("-o nospace") != std::string::npos, r.nospace) << c.compopt;
    }
}

TEST(package, ChangelogNamesTheProjectVersion) {
    std::string changelog = read_file(SOURCE_DIR + "/packaging/changelog.in");
    EXPECT_TRUE(changelog.starts_with("vantrel (" VANTREL_VERSION ") ")) << changelog.substr(0, 40);
}

TEST(install, GoogleTestIsNeededOnlyForTheTests) {
    temp_dir build;
    test_support::run_options opts;
    opts.timeout_s = 120;
    auto configure = [&](const char* tests) {
        return run_program(VANTREL_CMAKE_COMMAND,
                           {"-S", SOURCE_DIR, "-B", build.path(),
                            "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON",
                            std::string("-DVANTREL_TESTS=") + tests},
                           opts);
    };
    run_result with_tests = configure("ON");
    EXPECT_NE(with_tests.exit_status, 0);
    for (const char* word : {"googletest", "libgtest-dev", "libgmock-dev", "-DVANTREL_TESTS=OFF"}) {
        EXPECT_NE(with_tests.err.find(word), std::string::npos) << word << "\n" << with_tests.err;
    }
    run_result without = configure("OFF");
    EXPECT_EQ(without.exit_status, 0) << without.out << without.err;
}

TEST(install, PrefixHoldsProgramsPagesAndCompletion) {
    temp_dir prefix;
    test_support::run_options opts;
    opts.timeout_s = 120;
    run_result inst = run_program(
        VANTREL_CMAKE_COMMAND, {"--install", VANTREL_BUILD_DIR, "--prefix", prefix.path()}, opts);
    ASSERT_EQ(inst.exit_status, 0) << inst.out << inst.err;

    for (const char* file :
         {"/bin/vantrel", "/bin/vantrel-emu", "/share/bash-completion/completions/vantrel",
          "/share/bash-completion/completions/vantrel-emu", "/share/doc/vantrel/copyright",
          "/share/doc/vantrel/changelog.gz"}) {
        EXPECT_TRUE(is_file(prefix.path() + file)) << file;
    }

    // The pages, compressed without a stored name or time stamp (the same bytes from
    // every build).
    std::string gzip = find_program("gzip");
    ASSERT_FALSE(gzip.empty());
    for (const auto& page : MAN_PAGES) {
        std::string installed =
            prefix.path() + "/share/man/man1/" + page.substr(page.rfind('/') + 1) + ".gz";
        SCOPED_TRACE(installed);
        std::string gz = read_file(installed);
        ASSERT_GE(gz.size(), 10u);
        EXPECT_EQ(gz[3] & 0x08, 0) << "file name stored";
        EXPECT_EQ(gz.substr(4, 4), std::string(4, '\0')) << "time stamp stored";
        EXPECT_EQ(run_program(gzip, {"-dc", installed}, opts).out, read_file(page));
    }

    // The copyright file in the machine-readable format, with the licence of LICENSE.
    std::string copyright = read_file(prefix.path() + "/share/doc/vantrel/copyright");
    EXPECT_EQ(
        copyright.rfind(
            "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n", 0),
        0u);
    const std::string field = "License: Expat\n";
    auto at = copyright.find(field);
    ASSERT_NE(at, std::string::npos);
    std::string text;
    std::stringstream lines(copyright.substr(at + field.size()));
    std::string line;
    while (std::getline(lines, line)) {
        ASSERT_EQ(line.rfind(' ', 0), 0u) << line;
        text += (line == " ." ? "" : line.substr(1)) + "\n";
    }
    std::string license = read_file(SOURCE_DIR + "/LICENSE");
    EXPECT_EQ(text, license.substr(license.find("Permission")));
    const std::string holder = "Copyright (c) ";
    at = license.find(holder) + holder.size();
    EXPECT_NE(
        copyright.find("\nCopyright: " + license.substr(at, license.find('\n', at) - at) + "\n"),
        std::string::npos);

    opts.timeout_s = 30;
    run_result usage = run_program(prefix.path() + "/bin/vantrel", {}, opts);
    EXPECT_EQ(usage.exit_status, 0);
    EXPECT_EQ(usage.out.rfind("Vantrel Programmer, v2.1\r\n", 0), 0u) << usage.out;
    EXPECT_EQ(usage.out.size(), 759u);

    run_result emu_help = run_program(prefix.path() + "/bin/vantrel-emu", {"--help"}, opts);
    EXPECT_EQ(emu_help.exit_status, 0);
}

} // namespace
