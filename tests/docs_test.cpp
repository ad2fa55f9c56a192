// SPDX-License-Identifier: MIT
// The manual pages and the installed tree, checked against the programs they describe so that
// neither can drift from them.
#include "support/help_text.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <sstream>
#include <string>

namespace {

using test_support::find_program;
using test_support::read_file;
using test_support::run_program;
using test_support::run_result;
using test_support::temp_dir;

const std::string SOURCE_DIR = VANTREL_SOURCE_DIR;
const std::string MAN_PAGES[] = {SOURCE_DIR + "/docs/vantrel.1",
                                 SOURCE_DIR + "/docs/vantrel-emu.1"};

bool is_file(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
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

TEST(docs, ManPageNamesEveryOptionAndTheProtocol) {
    std::string page = read_file(MAN_PAGES[0]);
    for (const auto& name : test_support::table_names()) {
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
    auto options = test_support::emu_help_options();
    for (const auto& w : options) {
        std::string escaped;
        for (char c : w) {
            escaped += c == '-' ? std::string("\\-") : std::string(1, c);
        }
        EXPECT_NE(page.find(escaped), std::string::npos) << w;
    }
    EXPECT_GE(options.size(), 12u);
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
