#include "platform/ini.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

struct find_case {
    const char* name;
    std::string text;
    const char* section;
    const char* key;
    bool found;
    std::string value;
};

void PrintTo(const find_case& c, std::ostream* os) { *os << c.name; }

class PlatformIniFind : public testing::TestWithParam<find_case> {};

TEST_P(PlatformIniFind, Case) {
    const find_case& c = GetParam();
    std::string value = "untouched";
    EXPECT_EQ(ini_find(c.text, c.section, c.key, &value), c.found);
    EXPECT_EQ(value, c.found ? c.value : "untouched");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PlatformIniFind,
    testing::Values(
        find_case{"Plain", "[Kestrix]\nLog=1\n", "Kestrix", "Log", true, "1"},
        find_case{"CaseOfSectionAndKey", "[kEsTrIx]\nLOG=2\n", "Kestrix", "log", true, "2"},
        find_case{"BlanksTrimmed", "  [ Kestrix ]  \r\n\t Log \t=  a b \t\r\n", "Kestrix", "Log", true, "a b"},
        find_case{"FirstKeyWins", "[S]\nk=1\nk=2\n", "S", "k", true, "1"},
        find_case{"OnlyTheFirstSectionOfAName", "[S]\na=1\n[T]\nb=2\n[S]\nb=3\n", "S", "b", false, ""},
        find_case{"KeyInALaterSection", "[S]\na=1\n[T]\nb=2\n", "T", "b", true, "2"},
        find_case{"DoubleQuotesRemoved", "[S]\nk=\" x \"\n", "S", "k", true, " x "},
        find_case{"SingleQuotesRemoved", "[S]\nk='y'\n", "S", "k", true, "y"},
        find_case{"UnmatchedQuoteKept", "[S]\nk=\"y\n", "S", "k", true, "\"y"},
        find_case{"EmptyValue", "[S]\nk=\n", "S", "k", true, ""},
        find_case{"KeyWithoutEquals", "[S]\nk\n", "S", "k", true, ""},
        find_case{"EqualsInTheValue", "[S]\nk=a=b\n", "S", "k", true, "a=b"},
        find_case{"SemicolonLineIsAKeyOfItsOwn", "[S]\n;k=1\nk=2\n", "S", "k", true, "2"},
        find_case{"KeysBeforeAnySectionIgnored", "k=1\n[S]\n", "S", "k", false, ""},
        find_case{"ByteOrderMark", "\xEF\xBB\xBF[S]\nk=1\n", "S", "k", true, "1"},
        find_case{"NoNewlineAtTheEnd", "[S]\nk=1", "S", "k", true, "1"},
        find_case{"SectionWithoutClosingBracket", "[S\nk=1\n", "S", "k", true, "1"},
        find_case{"MissingSection", "[T]\nk=1\n", "S", "k", false, ""},
        find_case{"KeyIsNotAPrefix", "[S]\nkey=1\n", "S", "k", false, ""},
        find_case{"Empty", "", "S", "k", false, ""}),
    [](const testing::TestParamInfo<find_case>& i) { return std::string(i.param.name); });

TEST(PlatformIniNumbers, ParsedAsTheProfileReaderDoes) {
    const std::pair<const char*, int> cases[] = {
        {"0", 0},        {"42", 42},          {"  42", 42},     {"-5", -5},          {"+5", 5},
        {"12abc", 12},   {"abc", 0},          {"", 0},          {"0x1F", 31},        {"0XfF", 255},
        {"0o17", 15},    {"0b101", 5},        {"0x", 0},        {"08", 8},           {"4294967295", -1},
        {"4294967296", 0}, {"-0x10", -16},    {"2147483648", int(0x80000000u)},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(ini_parse_int(text), value) << text;
}

TEST(PlatformIniFile, ReadAtEachCallWithDefaultsAndBufferSizes) {
    char tmpl[] = "/tmp/quorin-ini-XXXXXX";
    const int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string path = tmpl;
    std::ofstream(path) << "[Card]\nName=abcdefghij\nCount= 0x10 \nEmpty=\n";
    EXPECT_EQ(ini_get_string(path, "card", "name", "d"), "abcdefghij");
    EXPECT_EQ(ini_get_string(path, "card", "name", "d", 5), "abcd");
    EXPECT_EQ(ini_get_string(path, "card", "none", "dflt  ", 5), "dflt");
    EXPECT_EQ(ini_get_string(path, "card", "none", "default", 4), "def");
    EXPECT_EQ(ini_get_int(path, "Card", "Count", 3), 16);
    EXPECT_EQ(ini_get_int(path, "Card", "Empty", 3), 3);
    EXPECT_EQ(ini_get_int(path, "Card", "Name", 3), 0);
    EXPECT_EQ(ini_get_int(path, "Card", "Missing", -2), -2);
    std::ofstream(path) << "[Card]\nCount=7\n";
    EXPECT_EQ(ini_get_int(path, "Card", "Count", 3), 7) << "the file is read again";
    unlink(path.c_str());
    EXPECT_EQ(ini_get_int(path, "Card", "Count", 3), 3);
    EXPECT_EQ(ini_get_string(path, "Card", "Name", "none"), "none");
}

// Each lookup runs in a child that the alarm ends should the open wait for
// a writer; the parent sees how the child ended.
TEST(PlatformIniFile, WhatIsNotARegularFileCountsAsMissing) {
    char tmpl[] = "/tmp/quorin-ini-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string fifo = dir + "/fifo.ini";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string sub = dir + "/dir.ini";
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    for (const std::string& path : {sub, fifo, std::string("/dev/null"), dir + "/missing.ini"}) {
        EXPECT_EXIT(
            {
                alarm(10);
                const bool defaults = ini_get_string(path, "Kestrix", "Log", "0") == "0" &&
                                      ini_get_int(path, "Kestrix", "Device_ID", 7) == 7;
                _exit(defaults ? 0 : 1);
            },
            testing::ExitedWithCode(0), "")
            << path;
    }
    unlink(fifo.c_str());
    rmdir(sub.c_str());
    rmdir(dir.c_str());
}

}  // namespace
