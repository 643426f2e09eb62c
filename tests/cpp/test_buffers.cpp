// Byte and character buffers: whole-file reads, hex and base64, case-blind comparison.
#include <gtest/gtest.h>

#include <cstring>

#include <unistd.h>

#include "cBytes.hpp"
#include "cChars.hpp"
#include "cFile.hpp"
#include "mirvo_test_support.hpp"

using mirvotest::LogCapture;

struct Base64Case {
    std::string in;
    const char* out;
};

class Base64 : public ::testing::TestWithParam<Base64Case> {};

TEST_P(Base64, EncodesStandardBase64OnOneLine) {
    cChars c;
    const std::string& in = GetParam().in;
    ASSERT_TRUE(
        c.base64Encode(reinterpret_cast<const unsigned char*>(in.data()), static_cast<int32_t>(in.size())));
    EXPECT_EQ(c.str(), GetParam().out);
    EXPECT_EQ(c.length(), static_cast<int32_t>(strlen(GetParam().out)));
    EXPECT_EQ(c.data()[c.length()], '\0');
}

INSTANTIATE_TEST_SUITE_P(
    All, Base64,
    ::testing::Values(Base64Case{"f", "Zg=="}, Base64Case{"fo", "Zm8="}, Base64Case{"foo", "Zm9v"},
                      Base64Case{"foob", "Zm9vYg=="}, Base64Case{"fooba", "Zm9vYmE="},
                      Base64Case{"foobar", "Zm9vYmFy"}, Base64Case{std::string("\xFB\xFF\xBF", 3), "+/+/"},
                      Base64Case{std::string("\0\0", 2), "AAA="},
                      Base64Case{std::string(57, 'a'),
                                 "YWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFhYWFh"
                                 "YWFhYWFhYWFhYWFh"}));

TEST(Base64, RefusesMissingOrEmptyInputAndEmptiesTheBuffer) {
    cChars c;
    const unsigned char x[] = {1, 2, 3};
    ASSERT_TRUE(c.base64Encode(x, 3));
    EXPECT_FALSE(c.base64Encode(x, 0));
    EXPECT_EQ(c.data(), nullptr);
    EXPECT_EQ(c.length(), 0);
    EXPECT_FALSE(c.base64Encode(nullptr, 3));
    EXPECT_FALSE(c.base64Encode(x, -1));
    EXPECT_EQ(c.data(), nullptr);
}

TEST(Hex, UppercaseTwoDigitsAByte) {
    cChars c;
    const unsigned char bytes[] = {0x0A, 0xFF, 0x00, 0x5c};
    ASSERT_TRUE(c.toHex(bytes, 2));
    EXPECT_EQ(c.str(), "0AFF");
    ASSERT_TRUE(c.toHex(bytes, 4));
    EXPECT_EQ(c.str(), "0AFF005C");
    EXPECT_EQ(c.length(), 8);
}

TEST(Hex, BadArgumentsKeepTheOldTextButAHugeCountEmptiesIt) {
    cChars c;
    const unsigned char bytes[] = {0x12};
    ASSERT_TRUE(c.toHex(bytes, 1));
    EXPECT_FALSE(c.toHex(bytes, 0));
    EXPECT_FALSE(c.toHex(nullptr, 1));
    EXPECT_FALSE(c.toHex(bytes, -3));
    EXPECT_EQ(c.str(), "12");
    EXPECT_FALSE(c.toHex(bytes, 1 << 30));  // refused before any byte is read
    EXPECT_EQ(c.data(), nullptr);
}

struct EqCase {
    const char* a;
    const char* b;
    bool equal;
};

class EqualsIgnoreCase : public ::testing::TestWithParam<EqCase> {};

TEST_P(EqualsIgnoreCase, ComparesAfterAsciiUpperCasing) {
    EXPECT_EQ(equalsIgnoreCase(GetParam().a, GetParam().b), GetParam().equal);
}

INSTANTIATE_TEST_SUITE_P(All, EqualsIgnoreCase,
                         ::testing::Values(EqCase{"CHAIN.P7B", "chain.p7b", true},
                                           EqCase{"abc", "abcd", false}, EqCase{"", "", true},
                                           EqCase{nullptr, "", false}, EqCase{"a", nullptr, false},
                                           EqCase{nullptr, nullptr, false},
                                           EqCase{"\xE9t\xE9", "\xC9T\xC9", false},  // only a-z change case
                                           EqCase{"a[b", "A{B", false}, EqCase{"x1_y", "X1_Y", true}));

TEST(File, LoadsContentFollowedByTwoZeroBytes) {
    mirvotest::TempDir dir;
    const std::string content("ab\0c\n", 5);
    mirvotest::writeFile(dir / "f.bin", content);
    LogCapture capture;
    cFile f;
    ASSERT_TRUE(f.loadFromFile((dir / "f.bin").c_str()));
    EXPECT_EQ(f.length(), 5);
    EXPECT_EQ(f.str(), content);
    EXPECT_EQ(f.data()[5], 0);
    EXPECT_EQ(f.data()[6], 0);
    EXPECT_TRUE(capture.has("end cFile::loadFromFile() return = true\n"));
}

TEST(File, EmptyFileSucceedsEmpty) {
    mirvotest::TempDir dir;
    mirvotest::writeFile(dir / "empty", "");
    cFile f;
    const unsigned char x[] = {1};
    ASSERT_TRUE(f.assign(x, 1));
    EXPECT_TRUE(f.loadFromFile((dir / "empty").c_str()));
    EXPECT_EQ(f.length(), 0);
    EXPECT_EQ(f.data(), nullptr);
}

TEST(File, FailuresLeaveTheBufferEmpty) {
    mirvotest::TempDir dir;
    struct Case {
        std::string path;
        bool logsOpen;
    } cases[] = {{dir / "missing.bin", true}, {dir.path, true}, {"", false}};
    for (const Case& c : cases) {
        LogCapture capture;
        cFile f;
        const unsigned char x[] = {1, 2};
        ASSERT_TRUE(f.assign(x, 2));
        EXPECT_FALSE(f.loadFromFile(c.path.c_str())) << c.path;
        EXPECT_EQ(f.data(), nullptr);
        EXPECT_EQ(f.length(), 0);
        EXPECT_EQ(capture.has("Open file = " + c.path + "\n"), c.logsOpen) << capture.text();
        EXPECT_TRUE(capture.has("end cFile::loadFromFile() return = false\n"));
    }
    cFile f;
    EXPECT_FALSE(f.loadFromFile(nullptr));
}

TEST(File, RefusesAFileTooLargeForItsCountWithoutReadingIt) {
    // A sparse file just above 2^31 bytes: its size does not fit the signed 32-bit count.
    mirvotest::TempDir dir;
    const std::string path = dir / "huge.bin";
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(ftruncate(fileno(f), (off_t{1} << 31) + 10), 0);
    fclose(f);
    LogCapture capture;
    cFile file;
    EXPECT_FALSE(file.loadFromFile(path.c_str()));
    EXPECT_EQ(file.data(), nullptr);
    EXPECT_EQ(file.length(), 0);
    EXPECT_TRUE(capture.has("File size refused = " + path + "\n"));
}

TEST(Bytes, AssignCopiesAndTerminates) {
    cBytes b;
    ASSERT_TRUE(b.assign("xyz", 3));
    EXPECT_EQ(b.str(), "xyz");
    EXPECT_EQ(b.data()[3], 0);
    EXPECT_EQ(b.data()[4], 0);
    EXPECT_TRUE(b.assign(nullptr, 0));
    EXPECT_EQ(b.data(), nullptr);
    EXPECT_FALSE(b.assign(nullptr, 2));
    EXPECT_FALSE(b.assign("x", -1));
}
