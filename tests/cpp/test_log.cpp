// The signing log: line layout, writers, hex dumps, levels, the folder set-up and the buffer.
#include <gtest/gtest.h>

#include <regex>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cFile.hpp"
#include "cLog.hpp"
#include "cMessages.hpp"
#include "mirvo_test_support.hpp"

using mirvotest::LogCapture;

namespace {

// The part of a buffered line behind its head, with the head checked.
std::string body(const std::string& line, const char* levelCol) {
    static const std::regex head(R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \(PID=(\d+)\) (.{5}) )");
    std::smatch m;
    EXPECT_TRUE(std::regex_search(line, m, head)) << line;
    if (m.empty()) return line;
    EXPECT_EQ(std::stoi(m[1]), static_cast<int>(getpid()));
    char col[8];
    snprintf(col, sizeof col, "%5s", levelCol);
    EXPECT_EQ(m[2].str(), col);
    return m.suffix();
}

// The name of the log's file for today.
std::string todaysFile(const cLog& log) {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    return log.fileNameFor(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
}

// The process-wide log set to the folder logs in dir, with the line "first" written to its file;
// the file's name.
std::string firstLineInFile(const mirvotest::TempDir& dir) {
    cLog& log = mirvoLog();
    EXPECT_TRUE(log.createFolder((dir / "logs").c_str(), "vexa.log"));
    log.write("INFO", "first");
    EXPECT_FALSE(log.preOpenBuffer);
    return todaysFile(log);
}

}  // namespace

struct WriterCase {
    const char* what;
    void (*write)(cLog&);
    const char* levelCol;
    const char* expected;
};

class LogWriters : public ::testing::TestWithParam<WriterCase> {};

TEST_P(LogWriters, WriteOneLineAfterTheHead) {
    LogCapture capture;
    GetParam().write(mirvoLog());
    EXPECT_EQ(body(capture.text(), GetParam().levelCol), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    All, LogWriters,
    ::testing::Values(
        WriterCase{"text", [](cLog& l) { l.write("INFO", "begin X::y()"); }, "INFO", "begin X::y()\n"},
        WriterCase{"percent kept", [](cLog& l) { l.write("DEBUG", "100%d %s"); }, "DEBUG", "100%d %s\n"},
        WriterCase{"value", [](cLog& l) { l.writeValue("PARAM", "propertyFile", "p7Sign.properties"); },
                   "PARAM", "propertyFile = p7Sign.properties\n"},
        WriterCase{"int 5208", [](cLog& l) { l.writeInt("ERROR", "code", 5208); }, "ERROR",
                   "code = 0x00001458(5208)\n"},
        WriterCase{"int -1", [](cLog& l) { l.writeInt("DEBUG", "n", -1); }, "DEBUG", "n = 0xFFFFFFFF(-1)\n"},
        WriterCase{"bool 1", [](cLog& l) { l.writeBool("DEBUG", "end f()", 1); }, "DEBUG",
                   "end f() = true\n"},
        WriterCase{"bool 2 is false", [](cLog& l) { l.writeBool("DEBUG", "end f()", 2); }, "DEBUG",
                   "end f() = false\n"},
        WriterCase{"bool 0", [](cLog& l) { l.writeBool("DEBUG", "end f()", 0); }, "DEBUG",
                   "end f() = false\n"},
        WriterCase{"error value passes at 40",
                   [](cLog& l) {
                       l.level = 40;
                       l.writeErrorValue("Open file", "x");
                   },
                   "ERROR", "Open file = x\n"},
        WriterCase{"debug value passes at 10",
                   [](cLog& l) {
                       l.level = 10;
                       l.writeDebugValue("k", "v");
                   },
                   "DEBUG", "k = v\n"},
        WriterCase{"big5 bytes unchanged", [](cLog& l) { l.write("ERROR", msg::CERT_EXPIRED); }, "ERROR",
                   "\xC5\xE7\xBE\xCC\xC3\xD2\xAE\xC4\xB4\xC1 : \xBE\xCC\xC3\xD2 \xA4w\xB9L\xB4\xC1\n"}),
    [](const auto& test) {
        std::string n = test.param.what;
        for (char& c : n)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return n;
    });

TEST(Log, CheckedValueWritersDropLinesBelowTheLevel) {
    LogCapture capture(cLog::kOff);
    mirvoLog().writeErrorValue("e", "v");
    mirvoLog().writeDebugValue("d", "v");
    EXPECT_EQ(capture.text(), "");
    mirvoLog().level = cLog::kError;
    mirvoLog().writeDebugValue("d", "v");
    EXPECT_EQ(capture.text(), "");
}

TEST(Log, HexDumpOfTwentyBytesInTheBufferAndInTheFile) {
    const unsigned char bytes[] = "ABCDEFGHIJKLMNOPQRST";
    const std::string rows0 =
        " 0x00000000 - 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50 : ABCDEFGHIJKLMNOP\n";
    const std::string row1 = " 0x00000010 - 51 52 53 54" + std::string(36, ' ') + " : QRST";
    {
        LogCapture capture;
        mirvoLog().writeHex("dump", bytes, 20);
        EXPECT_EQ(body(capture.text(), "DEBUG"), "dump(len=20, 0x14) = \n" + rows0 + row1 + "            \n");
    }
    mirvotest::TempDir dir;
    LogCapture capture;
    ASSERT_TRUE(mirvoLog().createFolder(dir.path.c_str(), "hex.log"));
    mirvoLog().preOpenBuffer.reset();
    mirvoLog().writeHex("dump", bytes, 20);
    std::string file = mirvotest::readFile(todaysFile(mirvoLog()));
    EXPECT_EQ(body(file, "DEBUG"), "dump(len=20, 0x14) = \n" + rows0 + row1 + "\n");
}

TEST(Log, HexDumpWithoutBytesWritesOnlyTheFirstLine) {
    const unsigned char one[] = {0x00, 0x7F, 0x20};
    LogCapture capture;
    mirvoLog().writeHex("empty", one, 0);
    mirvoLog().writeHex("null", nullptr, 5);
    mirvoLog().writeHex("ctl", one, 3);
    const std::string t = capture.text();
    EXPECT_NE(t.find("empty(len=0, 0x0) = \n"), std::string::npos);
    EXPECT_NE(t.find("null(len=5, 0x5) = \n2"), std::string::npos);  // next line is a new head
    EXPECT_NE(t.find(" 0x00000000 - 00 7f 20" + std::string(39, ' ') + " : ..              \n"),
              std::string::npos);
}

struct LevelCase {
    const char* name;
    int32_t expected;
    const char* line;  // text line written, or null
};

class LogLevels : public ::testing::TestWithParam<LevelCase> {};

TEST_P(LogLevels, SetLevelByName) {
    LogCapture capture;
    mirvoLog().setLevel(GetParam().name);
    EXPECT_EQ(mirvoLog().level, GetParam().expected);
    if (GetParam().line) {
        EXPECT_EQ(body(capture.text(), "INFO"), std::string(GetParam().line) + "\n");
    } else {
        EXPECT_EQ(capture.text(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(All, LogLevels,
                         ::testing::Values(LevelCase{"debug", 10, msg::LOG_RESET_DEBUG},
                                           LevelCase{"DEBUG", 10, msg::LOG_RESET_DEBUG},
                                           LevelCase{"Info", 20, msg::LOG_RESET_INFO},
                                           LevelCase{"Warn", 30, nullptr}, LevelCase{"error", 40, nullptr},
                                           LevelCase{"OFF", 100, nullptr}, LevelCase{"TRACE", 0, nullptr},
                                           LevelCase{"", 0, nullptr}, LevelCase{nullptr, 0, nullptr},
                                           LevelCase{"DEBUGX", 0, nullptr}));

TEST(Log, LeveledWritersPassFromTheirLevelWithTheirColumn) {
    struct WriterOf {
        cLog::Writer (cLog::*get)();
        const char* column;
        int32_t passesAtMost;
    };
    const WriterOf writers[] = {{&cLog::debug, "DEBUG", 10},
                                {&cLog::info, "INFO", 20},
                                {&cLog::param, "PARAM", 20},
                                {&cLog::warn, "WARN", 30},
                                {&cLog::error, "ERROR", 40}};
    const unsigned char bytes[] = {'a', 'b'};
    for (int32_t level : {0, 10, 20, 30, 40, 100}) {
        for (const WriterOf& w : writers) {
            LogCapture capture(level);
            const cLog::Writer writer = (mirvoLog().*w.get)();
            const bool passes = level <= w.passesAtMost;
            EXPECT_EQ(static_cast<bool>(writer), passes) << w.column << " at " << level;
            writer.write("t");
            writer.writeValue("v", "x");
            writer.writeInt("n", 5208);
            writer.writeBool("b", 1);
            writer.writeHex("h", bytes, 2);
            const std::string col = std::string(5 - strlen(w.column), ' ') + w.column;
            const std::string expected = passes ? col + " t\n" + col + " v = x\n" + col +
                                                      " n = 0x00001458(5208)\n" + col + " b = true\n" +
                                                      "DEBUG h(len=2, 0x2) = \n"
                                                : "";
            // Each line that has a head, from its level column on (the dump's row has none).
            std::string seen;
            const std::string t = capture.text();
            for (size_t at = t.find("(PID="); at != std::string::npos; at = t.find("(PID=", at + 1)) {
                const size_t from = t.find(") ", at) + 2;
                seen += t.substr(from, t.find('\n', from) + 1 - from);
            }
            EXPECT_EQ(seen, expected) << w.column << " at " << level;
        }
    }
}

TEST(Log, UnknownLevelKeepsThePreviousOne) {
    LogCapture capture;
    mirvoLog().setLevel("ERROR");
    mirvoLog().setLevel("verbose");
    EXPECT_EQ(mirvoLog().level, 40);
}

TEST(Log, CreateFolderMakesEveryLevelOnceAndFixesThePrefix) {
    mirvotest::TempDir dir;
    LogCapture capture;
    const std::string path = dir / "logs/a/b";
    EXPECT_TRUE(cFile::createFolder(path.c_str(), "vexa.log"));
    EXPECT_TRUE(mirvotest::exists(dir / "logs/a/b"));
    EXPECT_EQ(mirvoLog().filePrefix, path + "/vexa.log");
    EXPECT_EQ(mirvoLog().folderCreated, 1);
    EXPECT_TRUE(capture.has("end cFile::createFolder() return = true\n"));
    const std::string other = dir / "other";
    EXPECT_FALSE(cFile::createFolder(other.c_str(), "x.log"));
    EXPECT_EQ(mirvoLog().filePrefix, path + "/vexa.log");
    EXPECT_FALSE(mirvotest::exists(other));
}

TEST(Log, CreateFolderRefusesMissingArgumentsAndFilesInTheWay) {
    mirvotest::TempDir dir;
    LogCapture capture;
    EXPECT_FALSE(cFile::createFolder(nullptr, "a.log"));
    EXPECT_FALSE(cFile::createFolder("", "a.log"));
    EXPECT_FALSE(cFile::createFolder(dir.path.c_str(), ""));
    EXPECT_FALSE(cFile::createFolder(dir.path.c_str(), nullptr));
    // A plain file where a folder of the path should be is a failure, not "exists already".
    mirvotest::writeFile(dir / "file", "x");
    EXPECT_FALSE(cFile::createFolder((dir / "file").c_str(), "a.log"));
    EXPECT_FALSE(cFile::createFolder((dir / "file/sub").c_str(), "a.log"));
    EXPECT_TRUE(mirvoLog().filePrefix.empty());
    EXPECT_EQ(mirvoLog().folderCreated, 0);
    EXPECT_TRUE(capture.has("end cFile::createFolder() return = false\n"));
    // An existing folder counts as made.
    EXPECT_TRUE(cFile::createFolder(dir.path.c_str(), "a.log"));
}

TEST(Log, BufferedLinesGoFirstIntoTheFirstFileLine) {
    mirvotest::TempDir dir;
    LogCapture capture;
    cLog& log = mirvoLog();
    log.write("INFO", "early one");
    log.write("INFO", "early two");
    ASSERT_TRUE(log.createFolder((dir / "logs").c_str(), "vexa.log"));
    log.write("INFO", "direct");
    EXPECT_FALSE(log.preOpenBuffer);
    log.write("INFO", "after");
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    const std::string name = log.fileNameFor(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    char date[40];
    snprintf(date, sizeof date, ".%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    EXPECT_EQ(name, dir / "logs/vexa.log" + std::string(date));
    const std::string text = mirvotest::readFile(name);
    size_t a = text.find("early one"), b = text.find("early two"),
           c = text.find("createFolder() return = true"), d = text.find("direct"), e = text.find("after");
    ASSERT_NE(e, std::string::npos) << text;
    EXPECT_TRUE(a < b && b < c && c < d && d < e) << text;
}

TEST(Log, ALinkAtTheDaysFileKeepsTheLinesInMemoryUntilItIsGone) {
    mirvotest::TempDir dir;
    LogCapture capture;
    cLog& log = mirvoLog();
    const std::string name = firstLineInFile(dir);
    ASSERT_EQ(unlink(name.c_str()), 0);
    ASSERT_EQ(symlink((dir / "outside").c_str(), name.c_str()), 0);

    log.write("INFO", "held one");
    log.write("INFO", "held two");
    EXPECT_FALSE(mirvotest::exists(dir / "outside"));
    EXPECT_EQ(capture.count("WARN Log file not used: it is a symbolic link"), 1) << capture.text();
    EXPECT_TRUE(capture.has("held one\n") && capture.has("held two\n"));

    // Once the name is a file's again, the kept lines go into it first.
    ASSERT_EQ(unlink(name.c_str()), 0);
    log.write("INFO", "after");
    EXPECT_FALSE(log.preOpenBuffer);
    const std::string text = mirvotest::readFile(name);
    const size_t warn = text.find("WARN Log file not used"), one = text.find("held one"),
                 after = text.find("after");
    ASSERT_NE(after, std::string::npos) << text;
    EXPECT_TRUE(warn < one && one < after) << text;
    EXPECT_EQ(text.find("first"), std::string::npos);
}

// The day's file stays open between lines. A program may close that descriptor and open another
// file under its number: the log's lines then go to the day's file again, never into the other
// file, and the other file stays open.
TEST(Log, ADescriptorClosedBehindTheLogIsNotWrittenUnderItsNewOwner) {
    mirvotest::TempDir dir;
    LogCapture capture;
    cLog& log = mirvoLog();
    const std::string name = firstLineInFile(dir);
    struct stat want;
    ASSERT_EQ(stat(name.c_str(), &want), 0);
    int kept = -1;
    for (int fd = 0; fd < 1024 && kept < 0; ++fd) {
        struct stat st;
        if (fstat(fd, &st) == 0 && st.st_dev == want.st_dev && st.st_ino == want.st_ino) kept = fd;
    }
    ASSERT_GE(kept, 0) << "the day's file is not kept open";
    const std::string other = dir / "other";
    const int fd = open(other.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(dup2(fd, kept), kept);
    close(fd);

    log.write("INFO", "second");
    log.write("INFO", "third");
    EXPECT_EQ(mirvotest::readFile(other), "");
    const std::string text = mirvotest::readFile(name);
    EXPECT_NE(text.find("second"), std::string::npos) << text;
    EXPECT_NE(text.find("third"), std::string::npos) << text;
    struct stat st;
    ASSERT_EQ(fstat(kept, &st), 0) << "the other file's descriptor was closed";
    struct stat otherSt;
    ASSERT_EQ(stat(other.c_str(), &otherSt), 0);
    EXPECT_TRUE(st.st_dev == otherSt.st_dev && st.st_ino == otherSt.st_ino);
    close(kept);
}

TEST(Log, LinesAreLostWhenTheFileCannotOpenAndTheBufferStays) {
    mirvotest::TempDir dir;
    LogCapture capture;
    cLog& log = mirvoLog();
    log.write("INFO", "kept");
    log.filePrefix = dir / "missing/vexa.log";
    log.write("INFO", "lost");
    ASSERT_TRUE(log.preOpenBuffer);
    EXPECT_TRUE(capture.has("kept"));
    EXPECT_FALSE(capture.has("lost"));
}

TEST(Log, FileNameCarriesTheLinesDate) {
    cLog log;
    log.filePrefix = "logs/vexa.log";
    EXPECT_EQ(log.fileNameFor(2026, 12, 8), "logs/vexa.log.20261208");
    EXPECT_EQ(log.fileNameFor(2027, 1, 1), "logs/vexa.log.20270101");
}

TEST(Log, UnwrittenLinesGoToStandardOutputAtTheEnd) {
    testing::internal::CaptureStdout();
    {
        cLog log;
        log.write("INFO", "never filed");
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(body(out, "INFO"), "never filed\n");
}

TEST(Log, FlushDeletesTheBufferForGood) {
    cLog log;
    testing::internal::CaptureStdout();
    log.flushBuffer(nullptr);
    log.write("INFO", "nowhere");
    log.flushBuffer(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(log.preOpenBuffer);
}

// The head's process id is the writer's own, in a forked child too; each line reaches the file
// whole and the file is only appended to.
TEST(Log, AForkedChildWritesItsOwnProcessId) {
    mirvotest::TempDir dir;
    cLog log;
    log.flushBuffer(nullptr);
    ASSERT_TRUE(log.createFolder((dir / "logs").c_str(), "vexa.log"));
    log.write("INFO", "parent before");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        log.write("INFO", "child");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    log.write("INFO", "parent after");
    const std::string text = mirvotest::readFile(todaysFile(log));
    static const std::regex line(
        R"((\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) \(PID=(\d+)\)  INFO (.*)\n)");
    std::vector<std::pair<std::string, int>> seen;
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
        seen.emplace_back((*it)[3].str(), std::stoi((*it)[2].str()));
    const int self = static_cast<int>(getpid());
    const std::vector<std::pair<std::string, int>> expected = {
        {"parent before", self}, {"child", static_cast<int>(child)}, {"parent after", self}};
    EXPECT_EQ(seen, expected) << text;
}
