// The signing library's own log: level filter, daily log file, and an in-memory buffer for the
// lines written before the log file is known. The folder is made 0700 and the files 0600; a
// symbolic link at the folder's or a file's name is never followed (the lines stay in memory as
// when the folder cannot be made, with a WARN line that says why). The buffer keeps at most kBufferMax bytes:
// when the log folder cannot be made, a long-running process would otherwise keep its whole log in memory
// (about 20 KB a signature at DEBUG) and print it all at exit. It keeps the latest lines, which
// tell what the process did last, and the text moved out of it says how much was dropped. A
// forked child starts with an empty buffer: the lines in it are the parent's, which the parent
// moves out itself.
#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <sys/stat.h>

#include "cFork.hpp"
#include "cSafeFile.hpp"

class cLog {
public:
    // Level values (the names in the properties file are DEBUG, INFO, WARN, ERROR and OFF).
    static constexpr int32_t kDebug = 10;
    static constexpr int32_t kInfo = 20;
    static constexpr int32_t kWarn = 30;
    static constexpr int32_t kError = 40;
    static constexpr int32_t kOff = 100;

    // Level column texts.
    static constexpr const char* DEBUG_COL = "DEBUG";
    static constexpr const char* INFO_COL = "INFO";
    static constexpr const char* WARN_COL = "WARN";
    static constexpr const char* ERROR_COL = "ERROR";
    static constexpr const char* PARAM_COL = "PARAM";

    // The most the buffer holds, and what it keeps when it would pass that: the oldest whole lines
    // are dropped in one go (so that each dropping moves the buffer once per 256 KiB of lines) down
    // to kBufferKeep. 512 KiB holds a couple of dozen DEBUG signatures, or thousands of INFO lines.
    static constexpr size_t kBufferMax = 512 * 1024;
    static constexpr size_t kBufferKeep = 256 * 1024;

    cLog();
    ~cLog();
    cLog(const cLog&) = delete;
    cLog& operator=(const cLog&) = delete;

    int32_t level = 0;          // 0: every line passes
    int32_t folderCreated = 0;  // 1 once the log folder was made and filePrefix set
    std::optional<std::string>
        preOpenBuffer;       // lines written before the file is known; gone after the first move
    std::string filePrefix;  // "<path>/<file>", empty until the folder is set up

    // The writers of one level: each tests the log's level first and, when the level keeps its
    // lines out, does nothing else (nothing is formatted). The column is the level's name, PARAM for
    // parameter lines, which pass at INFO; a hex dump always carries DEBUG. A line whose parts cost
    // something to build tests the writer itself first: if (auto w = log.debug()) w.writeValue(...).
    class Writer {
    public:
        Writer(cLog& log, int32_t passesBelow, const char* column)
            : log_(&log), level_(passesBelow), column_(column) {}
        // Whether the log's level lets the lines of this writer pass.
        explicit operator bool() const { return log_->level <= level_; }

        void write(std::string_view text) const {
            if (*this) log_->write(column_, text);
        }
        void writeValue(std::string_view name, std::string_view value) const {
            if (*this) log_->writeValue(column_, name, value);
        }
        void writeInt(std::string_view name, int32_t number) const {
            if (*this) log_->writeInt(column_, name, number);
        }
        void writeBool(std::string_view name, int flag) const {
            if (*this) log_->writeBool(column_, name, flag);
        }
        void writeHex(std::string_view name, const unsigned char* bytes, int32_t count) const {
            if (*this) log_->writeHex(name, bytes, count);
        }

    private:
        cLog* log_;
        int32_t level_;       // lines pass when the log's level is at most this
        const char* column_;  // the level column
    };
    Writer debug() { return Writer(*this, kDebug, DEBUG_COL); }
    Writer info() { return Writer(*this, kInfo, INFO_COL); }
    Writer param() { return Writer(*this, kInfo, PARAM_COL); }
    Writer warn() { return Writer(*this, kWarn, WARN_COL); }
    Writer error() { return Writer(*this, kError, ERROR_COL); }

    // Writers without a level test: each writes one line (head + parts + line end), whatever the
    // level (the few lines written at every level, and the leveled writers above). Texts are bytes
    // written literally ("%" included).
    void write(const char* levelCol, std::string_view text);
    void writeValue(const char* levelCol, std::string_view name, std::string_view value);
    void writeInt(const char* levelCol, std::string_view name, int32_t number);  // name = 0x%08X(%d)
    void writeBool(const char* levelCol, std::string_view name, int flag);       // " = true" only for 1
    void writeHex(std::string_view name, const unsigned char* bytes, int32_t count);
    // ERROR / DEBUG value line when the level lets it pass; the value is consumed either way.
    void writeErrorValue(std::string_view name, std::string value);
    void writeDebugValue(std::string_view name, std::string value);

    // Sets the level from its name, ignoring case; a missing, empty or unknown name changes nothing.
    void setLevel(const char* name);
    // Makes the log folder (every level of a "/" path) and fixes filePrefix; acts once per log.
    bool createFolder(const char* path, const char* fileName);
    // Moves the buffered text to the file (standard output when null) and deletes the buffer.
    void flushBuffer(FILE* file);

    // The daily file name for a date: "<filePrefix>.YYYYMMDD".
    std::string fileNameFor(int year, int month, int day) const;

    // Bytes of lines dropped from the buffer since it was made (or since the fork that made this
    // process).
    size_t droppedBytes() const { return droppedBytes_; }

private:
    // Writes one record: the head, then body, to the day's file or to preOpenBuffer.
    void emit(const char* levelCol, const std::string& body);
    // The day's file (its full name) opened for appending: no level of its folder and not the
    // file itself is followed when it is a symbolic link, and only a regular file is written.
    static cSafeFile openDayFile(const std::string& name);
    // The day's file kept open from one line to the next: the one named `name` while that name
    // still leads to it, or opened again (its folder checked again) through openDayFile; null when refused,
    // with the refusal in `refused`.
    int dayFileFor(const std::string& name, cSafeFile& refused);
    // Whether dayFile_ is still the file the log opened, its status in st. A program may close
    // descriptors it did not open, and the number may then be another file's: such a descriptor
    // is given up without being closed.
    bool keepsDayFile(struct stat& st);
    // Whether `name`, as it stands now (a last link not followed), is the regular file of status st.
    static bool nameLeadsTo(const std::string& name, const struct stat& st);
    // Closes the kept day file (when it is still the log's own).
    void closeDayFile();
    // A line that could not go to the refused file name: kept in the buffer (made again when it
    // was gone), after a WARN line that says why, written once while the same name stays refused.
    void keepInMemory(const std::string& name, const char* why, const char* head, size_t headLength,
                      const std::string& body);
    // In a forked child, on first use: the inherited buffer's lines are the parent's; dropped.
    void adoptAfterFork();
    // Appends one record to the buffer, dropping the oldest lines when it passes kBufferMax.
    void buffer(const char* head, size_t headLength, const std::string& body);
    // The line that stands before the buffered text when lines were dropped ("" when none were).
    std::string droppedNotice() const;

    uint32_t generation_ = cFork::generation();
    std::string refusedFile_;  // the day's file name last refused (its WARN line written)
    cSafeFile dayFile_;        // the day's file, open for appending
    std::string dayName_;      // its name
    dev_t dayDevice_ = 0;      // and identity when it was opened
    ino_t dayInode_ = 0;
    size_t droppedBytes_ = 0;
};

// The process-wide log of the signing library (created when the library is loaded).
cLog& mirvoLog();
