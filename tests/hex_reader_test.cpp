// SPDX-License-Identifier: MIT
// The Intel HEX reader on in-memory input.
#include "commands/hex_reader.h"
#include "support/hex.h"
#include "support/pty.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;
using test_support::hex_record;

struct delivered {
    uint32_t address;
    bytes data;
    bool operator==(const delivered&) const = default;
};

struct outcome {
    int result;
    std::vector<delivered> records;
    std::string rest; // what the reader left unread
};

void collect(const uint8_t* data, uint32_t address, int count, void* context) {
    static_cast<std::vector<delivered>*>(context)->push_back({address, bytes(data, data + count)});
}

std::FILE* open_text(std::string& text) {
    return fmemopen(text.data(), text.size(), "r");
}

std::string unread(std::FILE* input) {
    std::string rest;
    for (int c = std::getc(input); c != EOF; c = std::getc(input)) {
        rest.push_back(static_cast<char>(c));
    }
    return rest;
}

outcome read_text(std::string text) {
    std::FILE* input = open_text(text);
    EXPECT_NE(input, nullptr);
    outcome out{};
    out.result = hex_read(input, collect, &out.records);
    out.rest = unread(input);
    std::fclose(input);
    return out;
}

bytes counting(int n, int first = 0) {
    bytes data;
    for (int i = 0; i < n; ++i) {
        data.push_back(static_cast<uint8_t>(first + i));
    }
    return data;
}

const std::string END = ":00000001FF";
const std::string REC_0100 = ":10010000000102030405060708090A0B0C0D0E0F77";
const delivered AT_0100{0x0100, counting(16)};
const std::string BYTE_ORDER_MARK = "\xEF\xBB\xBF";

std::string lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

struct reader_case {
    const char* name;
    std::string input;
    int result;
    std::vector<delivered> records;
    std::string rest = "";
};

void PrintTo(const reader_case& c, std::ostream* os) {
    *os << c.name;
}

class HexReaderCases : public ::testing::TestWithParam<reader_case> {};

TEST_P(HexReaderCases, ResultRecordsAndUnreadRest) {
    const reader_case& c = GetParam();
    const outcome out = read_text(c.input);
    EXPECT_EQ(out.result, c.result);
    EXPECT_EQ(out.records, c.records);
    EXPECT_EQ(out.rest, c.rest);
}

// A 255-byte data record is exactly the longest line: 521 characters.
const std::string LONGEST = hex_record(0x00, 0x0200, bytes(255, 0x5A));
// The jump at the reset vector, :03000000020E00ED, with the 0 of 0E lost or doubled: either
// way its pairs still sum to 0, and they would make it a jump to 0xE00E or to 0x00E0.
const std::string ODD_DIGITS = ":0300000002E00ED";
const std::string DOUBLED_DIGIT = ":030000000200E00ED";
// The record at 0x0100 with its first data byte, 00, lost: 01 .. 0F one address early.
const std::string LOST_FIRST_BYTE = ":100100000102030405060708090A0B0C0D0E0F77";
// The record at 0x0100 with its type and first data byte lost: an end record, as it stands.
const std::string LOST_TYPE_AND_BYTE = ":1001000102030405060708090A0B0C0D0E0F77";

const std::vector<reader_case> READER_CASES = {
    {"EndRecordAlone", END, 1, {}},
    {"EndRecordWithLineEnd", END + "\n", 1, {}},
    {"DataRecordUpperCase", REC_0100 + "\n" + END + "\n", 1, {AT_0100}},
    {"DataRecordLowerCase", lower(REC_0100) + "\n" + lower(END) + "\n", 1, {AT_0100}},
    {"CarriageReturnLineFeed", REC_0100 + "\r\n" + END + "\r\n", 1, {AT_0100}},
    {"CarriageReturnOnly", REC_0100 + "\r" + END + "\r", 1, {AT_0100}},
    {"TextAfterDigitsIgnored", REC_0100 + "  ; reset vector\n" + END + " end\n", 1, {AT_0100}},
    {"ShortestRecordNoData", ":0000000000\n" + END, 1, {}},
    {"ShortColonLinesSkipped", ":\n:0000001F\n:00000001F\n" + END, 1, {}},
    {"OtherTextSkipped", "; built by sdcc\n\n  \nhello world line\n" + END, 1, {}},
    // Hex words that are no record: one that does not check, ones that go on as a word.
    {"HexWordsThatAreNoRecordSkipped",
     "deadbeef00 build id\n00000000000_init\n0000000000g\n" + END,
     1,
     {}},
    {"ByteOrderMarkSkipped", BYTE_ORDER_MARK + REC_0100 + "\n" + END, 1, {AT_0100}},
    {"ByteOrderMarkOnLaterLineRejected",
     REC_0100 + "\n" + BYTE_ORDER_MARK + REC_0100 + "\n" + END,
     -1,
     {AT_0100},
     END},
    {"IndentedRecordRejected", "\t " + REC_0100 + "\n" + END, -1, {}, END},
    {"FormFeedOrVerticalTabIndentRejected", "\f\v" + REC_0100 + "\n" + END, -1, {}, END},
    {"NoBreakSpaceIndentRejected", "\xC2\xA0" + REC_0100 + "\n" + END, -1, {}, END},
    {"Latin1NoBreakSpaceIndentRejected", " \xA0" + REC_0100 + "\n" + END, -1, {}, END},
    {"TextBeforeRecordRejected", "boot.hex:" + REC_0100 + "\n" + END, -1, {}, END},
    {"RecordWithoutColonRejected", REC_0100.substr(1) + "  ; reset vector\n" + END, -1, {}, END},
    {"SecondRecordOnTheLineRejected", REC_0100 + END + "\n" + END, -1, {}, END},
    {"SecondRecordAfterBlanksRejected", REC_0100 + " \t" + END + "\n" + END, -1, {}, END},
    {"SecondRecordAfterSemicolonRejected", REC_0100 + " ; " + END + "\n" + END, -1, {}, END},
    {"SecondRecordAfterCommaRejected", REC_0100 + "," + END + "\n" + END, -1, {}, END},
    {"SecondRecordAfterNulOrVerticalTabRejected",
     REC_0100 + std::string("\0\v", 2) + END + "\n" + END,
     -1,
     {},
     END},
    {"BlankAmongFirstDigits", ":00000 001FF\n" + END, -1, {}, END},
    {"TooFewDigitsThenText", ":0000000zzzzz\n" + END, -1, {}, END},
    {"WrongChecksumAfterRecord",
     REC_0100 + "\n:10011000000102030405060708090A0B0C0D0E0F00\n" + END,
     -1,
     {AT_0100},
     END},
    // Damage that the checksum misses: a digit lost or doubled, bytes lost that summed to 0, and
    // count fields one off with checksums that hold, for records of every type.
    {"OddDigitRun", ODD_DIGITS + "\n" + END, -1, {}, END},
    {"OddDigitRunBeforeText", ODD_DIGITS + "x1\n" + END, -1, {}, END},
    {"DoubledDigit", DOUBLED_DIGIT + "\n" + END, -1, {}, END},
    {"LostFirstDataByte", LOST_FIRST_BYTE + "\n" + END, -1, {}, END},
    {"LostTypeAndFirstDataByte",
     REC_0100 + "\n" + LOST_TYPE_AND_BYTE + "\n" + END,
     -1,
     {AT_0100},
     END},
    {"DataCountOneMore", hex_record(0x00, 0x0000, {0x11}, +1) + "\n" + END, -1, {}, END},
    {"DataCountOneLess", hex_record(0x00, 0x0100, counting(16), -1) + "\n" + END, -1, {}, END},
    {"EndRecordCountOneMore", hex_record(0x01, 0, {}, +1) + "\n" + END, -1, {}, END},
    {"LinearAddressCountOneLess", hex_record(0x04, 0, {0x00, 0x01}, -1) + "\n" + END, -1, {}, END},
    {"StartAddressCountOneLess",
     hex_record(0x03, 0, {0, 0, 0x10, 0}, -1) + "\n" + END,
     -1,
     {},
     END},
    {"MiscountedEndRecordAfterEnd", END + "\n" + hex_record(0x01, 0, {}, +1) + "\n", -1, {}},
    {"StartAddressRecordsPassedOver",
     hex_record(0x03, 0, {0x00, 0x00, 0x10, 0x00}) + "\n" +
         hex_record(0x05, 0, {0x00, 0x00, 0x00, 0xCD}) + "\n" + REC_0100 + "\n" + END,
     1,
     {AT_0100}},
    // Extended addresses place the data where the file says: at 0x10000 and above the write
    // refuses it, instead of storing it at its 16-bit address.
    {"ExtendedLinearAddress",
     hex_record(0x04, 0, {0x00, 0x01}) + "\n" + REC_0100 + "\n" + hex_record(0x04, 0, {0, 0}) +
         "\n" + REC_0100 + "\n" + END,
     1,
     {{0x10100, counting(16)}, AT_0100}},
    {"ExtendedSegmentAddress",
     hex_record(0x02, 0, {0x10, 0x00}) + "\n" + REC_0100 + "\n" + hex_record(0x02, 0, {0x01, 0}) +
         "\n" + REC_0100 + "\n" + END,
     1,
     {{0x10100, counting(16)}, {0x1100, counting(16)}}},
    {"ExtendedAddressWithoutItsValue", hex_record(0x04, 0, {0x01}) + "\n" + END, -1, {}, END},
    {"UnknownTypePassedOver", hex_record(0x7E, 0x1234, {1, 2, 3}) + "\n" + END, 1, {}},
    {"EndRecordAnyAddressAndLength", hex_record(0x01, 0x1234, {0, 0, 0}) + "\nrest", 1, {}},
    {"LongestLineAccepted", LONGEST + "\n" + END, 1, {{0x0200, bytes(255, 0x5A)}}},
    {"LineOfOneMoreRejected", LONGEST + " \n" + END, -1, {}, "\n" + END},
    {"LongCommentRejected",
     std::string(600, '#') + "\n" + END,
     -1,
     {},
     std::string(600 - 522, '#') + "\n" + END},
    // The input is read on past the end record: text there is skipped, a record is not (see
    // TerminalIsNotReadPastTheEndRecord for a terminal), and the line bound still holds.
    {"PlainTextAfterEndRead", END + "\n:zz bad line\n:0000001F\n; trailer\n\x1A\n" + END, 1, {}},
    {"ConcatenatedFilesRejected",
     REC_0100 + "\n" + END + "\n" + hex_record(0x00, 0x0000, {0x02, 0x12, 0x34}) + "\n" + END +
         "\n",
     -1,
     {AT_0100},
     END + "\n"},
    {"LongLineAfterEndRejected",
     END + "\n" + std::string(600, '#') + "\n",
     -1,
     {},
     std::string(600 - 522, '#') + "\n"},
    {"EmptyInput", "", -1, {}},
    {"OnlyBlankLines", "\n\r\n\n", -1, {}},
    {"MissingEndRecord", REC_0100 + "\n", -1, {AT_0100}},
    {"FinalRecordWithoutLineEnd", REC_0100, -1, {AT_0100}},
    {"IndentedEndRecordDoesNotCount", "  " + END + "\n", -1, {}},
};

INSTANTIATE_TEST_SUITE_P(Lines, HexReaderCases, ::testing::ValuesIn(READER_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HexReader, EveryCutOfAFileWithoutItsEndRecordIsRejected) {
    const std::string file =
        REC_0100 + "\n" + hex_record(0x00, 0x0110, counting(16, 16)) + "\n" + END;
    for (std::size_t cut = 0; cut < file.size() - 1; ++cut) {
        EXPECT_EQ(read_text(file.substr(0, cut)).result, -1) << "cut at " << cut;
    }
    EXPECT_EQ(read_text(file).result, 1);
}

// A terminal is not read past the end record: a person typing the image ends it there, and
// reading on would wait for more. The line after it would be rejected if it were read.
TEST(HexReader, TerminalIsNotReadPastTheEndRecord) {
    test_support::pty_pair pty;
    const std::string typed = END + "\n" + REC_0100 + "\n";
    ASSERT_TRUE(pty.send(bytes(typed.begin(), typed.end())));
    std::FILE* input = fdopen(dup(pty.slave()), "r");
    ASSERT_NE(input, nullptr);
    std::vector<delivered> records;
    EXPECT_EQ(hex_read(input, collect, &records), 1);
    EXPECT_TRUE(records.empty());
    std::fclose(input);
}

struct image_fixture : ::testing::Test {
    std::vector<uint8_t> image = std::vector<uint8_t>(IMAGE_SIZE, 0xFF);
    uint64_t beyond = 0;

    int load(std::string text) {
        std::FILE* input = open_text(text);
        EXPECT_NE(input, nullptr);
        image_load into{image.data(), 0};
        const int result = hex_read(input, image_store, &into);
        beyond = into.beyond;
        std::fclose(input);
        return result;
    }
};

TEST_F(image_fixture, RecordPastTopIsNotWrapped) {
    ASSERT_EQ(load(hex_record(0x00, 0xFFF8, counting(16, 0x40)) + "\n" + END), 1);
    for (unsigned i = 0; i < 8; ++i) {
        EXPECT_EQ(image[0xFFF8 + i], 0x40 + i) << i;
        EXPECT_EQ(image[i], 0xFF) << i;
    }
    EXPECT_EQ(image[0xFFF7], 0xFF);
    EXPECT_EQ(beyond, 0x10000U);
}

TEST_F(image_fixture, ExtendedAddressBeyondTheImage) {
    ASSERT_EQ(load(hex_record(0x04, 0, {0x00, 0x02}) + "\n" + REC_0100 + "\n" + END), 1);
    EXPECT_EQ(beyond, 0x20100U);
    EXPECT_EQ(image[0x0100], 0xFF);
}

TEST_F(image_fixture, LaterRecordOverwritesEarlier) {
    ASSERT_EQ(load(REC_0100 + "\n" + hex_record(0x00, 0x0104, {0xAA, 0xBB}) + "\n" + END), 1);
    bytes expected = counting(16);
    expected[4] = 0xAA;
    expected[5] = 0xBB;
    EXPECT_EQ(bytes(image.begin() + 0x0100, image.begin() + 0x0110), expected);
    EXPECT_EQ(image[0x00FF], 0xFF);
    EXPECT_EQ(image[0x0110], 0xFF);
}

} // namespace
