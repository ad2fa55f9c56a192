// SPDX-License-Identifier: MIT
// The bash completions of vantrel and vantrel-emu, run in bash: they offer exactly the options
// and values the programs take.
#include "serial/port_settings.h"
#include "support/help_text.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using test_support::emu_help_lines;
using test_support::find_program;
using test_support::temp_dir;

const std::string SOURCE_DIR = VANTREL_SOURCE_DIR;
const std::string COMPLETION = SOURCE_DIR + "/share/bash-completion/vantrel";
const std::string EMU_COMPLETION = SOURCE_DIR + "/share/bash-completion/vantrel-emu";

/// The words of the completion's option list.
std::set<std::string> completion_names() {
    std::string text = test_support::read_file(COMPLETION);
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
    auto r = test_support::run_program(bash, {"--norc", "--noprofile", "-c", script}, opts);
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

TEST(completion, OffersExactlyTheOptionTable) {
    EXPECT_EQ(completion_names(), test_support::table_names());
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
    for (const auto& name : test_support::emu_help_options()) {
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

} // namespace
