// The properties file: line syntax, trimming, duplicates, loading once, typed getters.
#include <gtest/gtest.h>

#include <map>

#include "cProperty.hpp"
#include "mirvo_test_support.hpp"

using mirvotest::LogCapture;
using Map = std::map<std::string, std::string>;

struct ParseCase {
    const char* what;
    std::string text;
    Map expected;
};

class PropertyParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(PropertyParse, ReadsLines) {
    LogCapture capture;
    cProperty p;
    p.properties["stale"] = "x";
    const bool ok = p.parse(GetParam().text.c_str());
    EXPECT_EQ(p.properties, GetParam().expected);
    EXPECT_EQ(ok, !GetParam().expected.empty());
}

INSTANTIATE_TEST_SUITE_P(
    All, PropertyParse,
    ::testing::Values(
        ParseCase{"basic",
                  "LOG.path = logs\nLOG.file = vexa.log\n",
                  {{"LOG.path", "logs"}, {"LOG.file", "vexa.log"}}},
        ParseCase{"outer blanks trimmed inner kept",
                  "   PFX.path \t=  C:\\x y\\  \t\n",
                  {{"PFX.path", "C:\\x y\\"}}},
        ParseCase{"non ascii last byte stays", "k = \xA4\xA4\xA4\xE5\n", {{"k", "\xA4\xA4\xA4\xE5"}}},
        ParseCase{"non ascii first byte of key stays", "\xE9k=v", {{"\xE9k", "v"}}},
        ParseCase{"further equals in value", "key=a=b\n", {{"key", "a=b"}}},
        ParseCase{"no equals skipped", "just text\nk=v\n", {{"k", "v"}}},
        ParseCase{"empty key", "=v\n", {{"", "v"}}}, ParseCase{"empty value", "k=\n", {{"k", ""}}},
        ParseCase{"comments", "#a=1\n;b=2\nc=3\n", {{"c", "3"}}},
        ParseCase{"blank then hash is a key", "  #a = 1\n", {{"#a", "1"}}},
        ParseCase{"crlf", "a = 1\r\nb = 2\r\n", {{"a", "1"}, {"b", "2"}}},
        ParseCase{"last line without end", "a=1\nb=2", {{"a", "1"}, {"b", "2"}}},
        ParseCase{"duplicate last wins", "a = 1\na = 2\n", {{"a", "2"}}},
        ParseCase{"case matters",
                  "log.level = DEBUG\nLOG.level = INFO\n",
                  {{"log.level", "DEBUG"}, {"LOG.level", "INFO"}}},
        ParseCase{"control chars trimmed", "\x01k\x7f = \x1fv\x7f\n", {{"k", "v"}}},
        ParseCase{"only comments and blanks", "# one\n\n; two\n   \n", {}}, ParseCase{"empty text", "", {}}),
    [](const auto& test) {
        std::string n = test.param.what;
        for (char& c : n)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return n;
    });

TEST(Property, NullTextParsesNothing) {
    LogCapture capture;
    cProperty p;
    EXPECT_FALSE(p.parse(nullptr));
    EXPECT_TRUE(capture.has("end cProperty::parse() return = false\n"));
}

TEST(Property, DuplicateKeyWritesOneWarnLine) {
    LogCapture capture;
    cProperty p;
    ASSERT_TRUE(p.parse("a = 1\na = 2\n"));
    EXPECT_EQ(capture.count("Erase duplicate MAP Name = a\n"), 1);
    EXPECT_EQ(capture.count(" WARN Erase"), 1);
    EXPECT_EQ(capture.count("Insert MAP Name = a\n"), 2);
    EXPECT_TRUE(capture.has("Insert MAP Value = 2\n"));
    EXPECT_TRUE(capture.has("properties.size() = 0x00000001(1)\n"));
    EXPECT_TRUE(capture.has("end cProperty::parse() return = true\n"));
}

TEST(Property, LinesOfAnyLengthAreReadWhole) {
    // A deep folder path far beyond one line buffer loads whole, and the lines around it too.
    std::string deep;
    while (deep.size() < 5000) deep += "/very-deep-folder-name";
    const std::string text = "before = 1\nP7B.path = " + deep + "\nafter = 2\n";
    LogCapture capture(cLog::kOff);
    cProperty p;
    ASSERT_TRUE(p.parse(text.c_str()));
    EXPECT_EQ(p.getProperty("P7B.path"), deep);
    EXPECT_EQ(p.getProperty("before"), "1");
    EXPECT_EQ(p.getProperty("after"), "2");
    EXPECT_EQ(p.properties.size(), 3u);
}

TEST(Property, LoadReadsTheFileOnceAndStopsAtAZeroByte) {
    mirvotest::TempDir dir;
    mirvotest::writeFile(dir / "a.properties", std::string("a = 1\nb = 2\0\nc = 3\n", 19));
    mirvotest::writeFile(dir / "b.properties", "z = 9\n");
    LogCapture capture;
    cProperty p;
    ASSERT_TRUE(p.loadFromFile((dir / "a.properties").c_str()));
    EXPECT_EQ(p.properties, (Map{{"a", "1"}, {"b", "2"}}));
    EXPECT_EQ(p.loaded, 1);
    EXPECT_TRUE(capture.has("propertyFile = " + (dir / "a.properties") + "\n"));
    EXPECT_TRUE(capture.has("end cProperty::loadFromFile() return = true\n"));
    EXPECT_TRUE(p.loadFromFile((dir / "b.properties").c_str()));
    EXPECT_EQ(p.getProperty("z"), "");
    EXPECT_TRUE(p.loadFromFile(nullptr));
}

TEST(Property, LoadFailures) {
    mirvotest::TempDir dir;
    mirvotest::writeFile(dir / "comments", "# only\n\n");
    mirvotest::writeFile(dir / "empty", "");
    struct Case {
        std::string name;
        const char* errorLine;
    } cases[] = {{"", "propertyFile ERROR! = \n"},
                 {dir / "missing", "loadFromFile() = "},
                 {dir / "comments", nullptr},
                 {dir / "empty", nullptr}};
    for (const Case& c : cases) {
        LogCapture capture;
        cProperty p;
        EXPECT_FALSE(p.loadFromFile(c.name.c_str())) << c.name;
        EXPECT_EQ(p.loaded, 0);
        if (c.errorLine) {
            EXPECT_TRUE(capture.has(c.errorLine)) << capture.text();
        }
        EXPECT_TRUE(capture.has("end cProperty::loadFromFile() return = false\n"));
    }
}

TEST(Property, FailedLoadTriesAgainLater) {
    mirvotest::TempDir dir;
    LogCapture capture(cLog::kOff);
    cProperty p;
    EXPECT_FALSE(p.loadFromFile((dir / "p").c_str()));
    mirvotest::writeFile(dir / "p", "k = v\n");
    EXPECT_TRUE(p.loadFromFile((dir / "p").c_str()));
    EXPECT_EQ(p.getProperty("k"), "v");
}

TEST(Property, RelativeNameIsTakenFromTheWorkingDirectory) {
    mirvotest::TempDir dir;
    mirvotest::writeFile(dir / "p7Sign.properties", "LOG.level = DEBUG\n");
    char old[1024];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    LogCapture capture(cLog::kOff);
    cProperty p;
    const bool ok = p.loadFromFile("p7Sign.properties");
    ASSERT_EQ(chdir(old), 0);
    EXPECT_TRUE(ok);
    EXPECT_EQ(p.getProperty("LOG.level"), "DEBUG");
}

TEST(Property, GetPropertyLogsFoundKeysOnly) {
    LogCapture capture;
    cProperty p;
    ASSERT_TRUE(p.parse("LOG.level = DEBUG\nempty =\n"));
    LogCapture after;
    EXPECT_EQ(p.getProperty("LOG.level"), "DEBUG");
    EXPECT_EQ(p.getProperty("log.level"), "");
    EXPECT_EQ(p.getProperty(""), "");
    EXPECT_EQ(p.getProperty(nullptr), "");
    EXPECT_EQ(p.getProperty("empty"), "");
    EXPECT_EQ(after.count("cProperty::getProperty() : "), 2);
    EXPECT_TRUE(after.has("cProperty::getProperty() : LOG.level = DEBUG\n"));
}

struct IntCase {
    const char* value;  // null: key absent
    int32_t expected;
};

class PropertyInt : public ::testing::TestWithParam<IntCase> {};

TEST_P(PropertyInt, LeadingDecimalInteger) {
    cProperty p;
    if (GetParam().value) p.properties["n"] = GetParam().value;
    LogCapture capture;
    EXPECT_EQ(p.getPropertyInt("n"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(All, PropertyInt,
                         ::testing::Values(IntCase{nullptr, -1}, IntCase{"1", 1}, IntCase{"-5", -5},
                                           IntCase{"+7", 7}, IntCase{"12abc", 12}, IntCase{"0x10", 0},
                                           IntCase{"2147483647", 2147483647},
                                           IntCase{"-2147483648", INT32_MIN},
                                           // refused conversions give -1 with an ERROR line
                                           IntCase{"", -1}, IntCase{"abc", -1}, IntCase{"-", -1},
                                           IntCase{"2147483648", -1}, IntCase{"99999999999999999999", -1},
                                           IntCase{"-2147483649", -1}));

TEST(Property, IntLinesForFoundAndRefusedValues) {
    cProperty p;
    p.properties["PKCS7.addCert"] = "2";
    p.properties["bad"] = "x";
    LogCapture capture;
    EXPECT_EQ(p.getPropertyInt("PKCS7.addCert"), 2);
    EXPECT_TRUE(capture.has("cProperty::getPropertyInt() : PKCS7.addCert = 0x00000002(2)\n"));
    EXPECT_EQ(p.getPropertyInt("bad"), -1);
    EXPECT_TRUE(capture.has("ERROR cProperty::getPropertyInt() : bad"));
}

struct BoolCase {
    const char* value;
    bool expected;
};

class PropertyBool : public ::testing::TestWithParam<BoolCase> {};

TEST_P(PropertyBool, TrueIgnoringCaseOnly) {
    cProperty p;
    if (GetParam().value) p.properties["f"] = GetParam().value;
    LogCapture capture;
    EXPECT_EQ(p.getPropertyBool("f"), GetParam().expected);
    if (GetParam().value)
        EXPECT_TRUE(capture.has(std::string("cProperty::getProperty() : f = ") +
                                (GetParam().expected ? "true" : "false")));
    else
        EXPECT_EQ(capture.text(), "");
}

INSTANTIATE_TEST_SUITE_P(All, PropertyBool,
                         ::testing::Values(BoolCase{"true", true}, BoolCase{"TRUE", true},
                                           BoolCase{"True", true}, BoolCase{"1", false},
                                           BoolCase{"yes", false}, BoolCase{"true.", false},
                                           BoolCase{"", false}, BoolCase{nullptr, false},
                                           BoolCase{"tru", false}));
