// The signing library's log.
#include "cLog.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include "cChars.hpp"
#include "cMessages.hpp"

namespace {

// The end of the WARN line's name when the log cannot go to its file.
constexpr const char* kStaysInMemory = "; its lines stay in memory";

// Local time of now with its millisecond part. The broken-down time is kept per thread for the
// second it belongs to: lines of one second share it, without the time-zone look-up.
void nowLocal(struct tm& tm, int& millis) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    thread_local time_t cachedSecond = -1;
    thread_local struct tm cachedTm {};
    if (ts.tv_sec != cachedSecond) {
        time_t secs = ts.tv_sec;
        localtime_r(&secs, &cachedTm);
        cachedSecond = ts.tv_sec;
    }
    tm = cachedTm;
    millis = static_cast<int>(ts.tv_nsec / 1000000);
}

// The process id, asked once and asked again in a forked child: the fork generation it was asked
// in (high half) with the id (low half), in one word.
std::atomic<uint64_t> g_pid{0};

int processId() {
    const uint64_t generation = cFork::generation();
    uint64_t known = g_pid.load(std::memory_order_relaxed);
    if (known == 0 || (known >> 32) != generation) {
        known = (generation << 32) | static_cast<uint32_t>(getpid());
        g_pid.store(known, std::memory_order_relaxed);
    }
    return static_cast<int>(static_cast<uint32_t>(known));
}

// Writes `value` in decimal, zero-padded to at least `width` digits; returns the end.
char* putNumber(char* p, long value, int width) {
    char digits[24];
    int n = 0;
    bool negative = value < 0;
    unsigned long v = negative ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    if (negative) *p++ = '-';
    for (int i = n; i < width; ++i) *p++ = '0';
    while (n > 0) *p++ = digits[--n];
    return p;
}

// The line head "YYYY/MM/DD hh:mm:ss.mmm (PID=n) LEVEL " (the level right-aligned in 5 columns)
// into `buf` (at least kHeadMax bytes); returns its length.
constexpr size_t kHeadMax = 96;
size_t makeHead(char* buf, const char* levelCol, const struct tm& tm, int millis) {
    char* p = buf;
    p = putNumber(p, tm.tm_year + 1900L, 4);
    *p++ = '/';
    p = putNumber(p, tm.tm_mon + 1, 2);
    *p++ = '/';
    p = putNumber(p, tm.tm_mday, 2);
    *p++ = ' ';
    p = putNumber(p, tm.tm_hour, 2);
    *p++ = ':';
    p = putNumber(p, tm.tm_min, 2);
    *p++ = ':';
    p = putNumber(p, tm.tm_sec, 2);
    *p++ = '.';
    p = putNumber(p, millis, 3);
    memcpy(p, " (PID=", 6);
    p += 6;
    p = putNumber(p, processId(), 1);
    *p++ = ')';
    *p++ = ' ';
    const char* level = levelCol ? levelCol : "";
    const size_t n = strnlen(level, 40);  // level names are short constants
    for (size_t i = n; i < 5; ++i) *p++ = ' ';
    memcpy(p, level, n);
    p += n;
    *p++ = ' ';
    return static_cast<size_t>(p - buf);
}

// Writes every byte of the pieces with one writev call (more only after a short write).
bool writeAllV(int fd, struct iovec* iov, int count) {
    while (count > 0) {
        ssize_t n = writev(fd, iov, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return true;
}

}  // namespace

cLog::cLog() : preOpenBuffer(std::in_place) {}

cLog::~cLog() {
    closeDayFile();
    flushBuffer(nullptr);
    fflush(stdout);
}

std::string cLog::fileNameFor(int year, int month, int day) const {
    char date[32];
    char* p = date;
    *p++ = '.';
    p = putNumber(p, year, 4);
    p = putNumber(p, month, 2);
    p = putNumber(p, day, 2);
    std::string name;
    name.reserve(filePrefix.size() + static_cast<size_t>(p - date));
    name += filePrefix;
    name.append(date, static_cast<size_t>(p - date));
    return name;
}

// One line: the head, then the body. To the day's file, the lines still buffered from before the
// file was known and this line are written with one writev call; no stdio buffer sits in between.
// The file stays open for the next lines: its folder and its name are checked when it is opened
// (on the day's first line, and again after the file was deleted), not at each line.
void cLog::emit(const char* levelCol, const std::string& body) {
    struct tm tm;
    int millis = 0;
    nowLocal(tm, millis);
    char head[kHeadMax];
    const size_t headLength = makeHead(head, levelCol, tm, millis);
    adoptAfterFork();
    if (!filePrefix.empty()) {
        const std::string name = fileNameFor(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
        cSafeFile refused;
        const int fd = dayFileFor(name, refused);
        if (fd < 0) {
            // A link or something other than a file at the log's names: the lines stay in memory
            // as when the folder cannot be made. Any other failure loses the line.
            if (refused.refusal() == cSafeFile::Refusal::failed ||
                refused.refusal() == cSafeFile::Refusal::none)
                return;
            keepInMemory(name, refused.why(), head, headLength, body);
            return;
        }
        refusedFile_.clear();
        struct iovec iov[4];
        int count = 0;
        std::string notice;
        if (preOpenBuffer && !preOpenBuffer->empty()) {
            notice = droppedNotice();
            if (!notice.empty()) iov[count++] = {&notice[0], notice.size()};
            iov[count++] = {&(*preOpenBuffer)[0], preOpenBuffer->size()};
        }
        iov[count++] = {head, headLength};
        iov[count++] = {const_cast<char*>(body.data()), body.size()};
        writeAllV(fd, iov, count);
        preOpenBuffer.reset();
        return;
    }
    if (dayFile_) closeDayFile();
    if (preOpenBuffer) buffer(head, headLength, body);
}

int cLog::dayFileFor(const std::string& name, cSafeFile& refused) {
    struct stat st;
    // The kept file serves while its name, relative to the working folder as every line's name
    // is, still leads to it: after a change of working folder, a rename, a delete (the file is
    // made again by name, as the next day's is) or a link put in its place, the name is opened
    // again, with every check of a first open.
    if (keepsDayFile(st) && st.st_nlink > 0 && dayName_ == name && nameLeadsTo(name, st))
        return dayFile_.fd();
    closeDayFile();
    cSafeFile file = openDayFile(name);
    if (!file) {
        refused = std::move(file);
        return -1;
    }
    if (fstat(file.fd(), &st) != 0) return -1;  // refused stays Refusal::none: the line is lost
    dayFile_ = std::move(file);
    dayName_ = name;
    dayDevice_ = st.st_dev;
    dayInode_ = st.st_ino;
    return dayFile_.fd();
}

bool cLog::nameLeadsTo(const std::string& name, const struct stat& st) {
    struct stat named;
    return fstatat(AT_FDCWD, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(named.st_mode) &&
           named.st_dev == st.st_dev && named.st_ino == st.st_ino;
}

bool cLog::keepsDayFile(struct stat& st) {
    if (!dayFile_) return false;
    if (fstat(dayFile_.fd(), &st) == 0 && st.st_dev == dayDevice_ && st.st_ino == dayInode_) return true;
    dayFile_.forget();
    return false;
}

void cLog::closeDayFile() {
    struct stat st;
    if (keepsDayFile(st)) dayFile_ = cSafeFile();
}

cSafeFile cLog::openDayFile(const std::string& name) {
    // Each level of the folder is opened without following a link, then the file in it.
    const size_t slash = name.rfind('/');
    if (slash == std::string::npos)
        return cSafeFile::openWrite(AT_FDCWD, name.c_str(), cSafeFile::Write::append);
    cSafeFile folder = cSafeFile::openFolder(slash == 0 ? std::string("/") : name.substr(0, slash), false);
    if (!folder) return folder;
    return cSafeFile::openWrite(folder.fd(), name.c_str() + slash + 1, cSafeFile::Write::append);
}

void cLog::keepInMemory(const std::string& name, const char* why, const char* head, size_t headLength,
                        const std::string& body) {
    if (!preOpenBuffer) preOpenBuffer.emplace();
    if (refusedFile_ != name) {
        refusedFile_ = name;
        if (warn()) {
            struct tm tm;
            int millis = 0;
            nowLocal(tm, millis);
            char warnHead[kHeadMax];
            const size_t warnLength = makeHead(warnHead, WARN_COL, tm, millis);
            buffer(warnHead, warnLength,
                   std::string("Log file not used: ") + why + kStaysInMemory + " = " + name + "\n");
        }
    }
    buffer(head, headLength, body);
}

void cLog::adoptAfterFork() {
    const uint32_t now = cFork::generation();
    if (generation_ == now) return;
    generation_ = now;
    if (preOpenBuffer) preOpenBuffer->clear();
    droppedBytes_ = 0;
}

void cLog::buffer(const char* head, size_t headLength, const std::string& body) {
    std::string& text = *preOpenBuffer;
    text.append(head, headLength);
    text.append(body);
    if (text.size() <= kBufferMax) return;
    // Cut at the first record that starts in the last kBufferKeep bytes: a record starts at a line
    // that begins with its date (the rows of a hex dump begin with a blank).
    size_t cut = text.size() - kBufferKeep;
    while (cut < text.size() && !(text[cut - 1] == '\n' && text[cut] >= '0' && text[cut] <= '9')) ++cut;
    droppedBytes_ += cut;
    text.erase(0, cut);
}

std::string cLog::droppedNotice() const {
    if (droppedBytes_ == 0) return std::string();
    struct tm tm;
    int millis = 0;
    nowLocal(tm, millis);
    char head[kHeadMax];
    std::string line(head, makeHead(head, WARN_COL, tm, millis));
    line += std::to_string(droppedBytes_);
    line += " bytes of earlier lines dropped: the log keeps at most ";
    line += std::to_string(kBufferMax);
    line += " bytes in memory until its file is known\n";
    return line;
}

void cLog::write(const char* levelCol, std::string_view text) {
    std::string body(text);
    body += '\n';
    emit(levelCol, body);
}

void cLog::writeValue(const char* levelCol, std::string_view name, std::string_view value) {
    std::string body(name);
    body += " = ";
    body += value;
    body += '\n';
    emit(levelCol, body);
}

void cLog::writeInt(const char* levelCol, std::string_view name, int32_t number) {
    char num[40];
    snprintf(num, sizeof num, "0x%08X(%d)", static_cast<unsigned>(number), static_cast<int>(number));
    writeValue(levelCol, name, num);
}

void cLog::writeBool(const char* levelCol, std::string_view name, int flag) {
    writeValue(levelCol, name, flag == 1 ? "true" : "false");
}

void cLog::writeHex(std::string_view name, const unsigned char* bytes, int32_t count) {
    // Formatted with a digit table (a signature's dump has a row of 16 bytes per 16 bytes of DER),
    // and only the body that emit() will write: rows of the file, or rows of the buffer (before the
    // file is known), whose character column is padded to 16 characters.
    static const char digits[] = "0123456789abcdef";
    char buf[64];
    snprintf(buf, sizeof buf, "(len=%d, 0x%X)", static_cast<int>(count), static_cast<unsigned>(count));
    std::string body(name);
    body += buf;
    body += " = \n";
    const bool padChars = filePrefix.empty();
    if (bytes != nullptr && count > 0) {
        body.reserve(body.size() + (static_cast<size_t>(count) / 16 + 1) * 80);
        char row[96];
        for (int32_t off = 0; off < count; off += 16) {
            const int32_t n = count - off < 16 ? count - off : 16;
            char* p = row;
            *p++ = ' ';
            *p++ = '0';
            *p++ = 'x';
            for (int shift = 28; shift >= 0; shift -= 4)
                *p++ = digits[(static_cast<uint32_t>(off) >> shift) & 0xF];
            *p++ = ' ';
            *p++ = '-';
            for (int32_t i = 0; i < n; ++i) {
                const unsigned char c = bytes[off + i];
                *p++ = ' ';
                *p++ = digits[c >> 4];
                *p++ = digits[c & 0xF];
            }
            for (int32_t i = n; i < 16; ++i) {
                *p++ = ' ';
                *p++ = ' ';
                *p++ = ' ';
            }
            *p++ = ' ';
            *p++ = ':';
            *p++ = ' ';
            for (int32_t i = 0; i < n; ++i) {
                const unsigned char c = bytes[off + i];
                *p++ = (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '.';
            }
            if (padChars)
                for (int32_t i = n; i < 16; ++i) *p++ = ' ';
            *p++ = '\n';
            body.append(row, static_cast<size_t>(p - row));
        }
    }
    emit(DEBUG_COL, body);
}

void cLog::writeErrorValue(std::string_view name, std::string value) { error().writeValue(name, value); }

void cLog::writeDebugValue(std::string_view name, std::string value) { debug().writeValue(name, value); }

void cLog::setLevel(const char* name) {
    if (name == nullptr || *name == '\0') return;
    if (equalsIgnoreCase(name, "DEBUG")) {
        level = kDebug;
        write(INFO_COL, msg::LOG_RESET_DEBUG);
    } else if (equalsIgnoreCase(name, "INFO")) {
        level = kInfo;
        write(INFO_COL, msg::LOG_RESET_INFO);
    } else if (equalsIgnoreCase(name, "WARN")) {
        level = kWarn;
    } else if (equalsIgnoreCase(name, "ERROR")) {
        level = kError;
    } else if (equalsIgnoreCase(name, "OFF")) {
        level = kOff;
    }
}

bool cLog::createFolder(const char* path, const char* fileName) {
    if (folderCreated == 1 || path == nullptr || *path == '\0' || fileName == nullptr || *fileName == '\0')
        return false;
    // Every level is made (0700) or found without following a link: a link planted at the log
    // folder's name would get the signed texts.
    const std::string whole(path);
    const cSafeFile folder = cSafeFile::openFolder(whole, true);
    const bool ok = static_cast<bool>(folder);
    if (const Writer warning = warn(); !ok && warning)
        warning.writeValue(std::string("Log folder not used: ") + folder.why() + kStaysInMemory, whole);
    debug().writeBool("end cFile::createFolder() return", ok ? 1 : 0);
    if (ok) {
        filePrefix = whole + "/" + fileName;
        folderCreated = 1;
    }
    return ok;
}

void cLog::flushBuffer(FILE* file) {
    adoptAfterFork();
    if (!preOpenBuffer) return;
    if (!preOpenBuffer->empty()) {
        FILE* out = file ? file : stdout;
        const std::string notice = droppedNotice();
        fwrite(notice.data(), 1, notice.size(), out);
        fwrite(preOpenBuffer->data(), 1, preOpenBuffer->size(), out);
        if (!file) fflush(stdout);
    }
    preOpenBuffer.reset();
}

cLog& mirvoLog() {
    static cLog log;
    return log;
}

// Creates the process-wide log when the library is loaded.
static cLog& s_loadedLog = mirvoLog();
