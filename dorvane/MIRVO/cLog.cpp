// The signing library's log.
#include "cLog.hpp"

#include <cerrno>
#include <ctime>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "cChars.hpp"
#include "cMessages.hpp"

namespace {

// Local time of now with its millisecond part.
void nowLocal(struct tm& tm, int& millis) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  time_t secs = ts.tv_sec;
  localtime_r(&secs, &tm);
  millis = static_cast<int>(ts.tv_nsec / 1000000);
}

std::string makeHead(const char* levelCol, const struct tm& tm, int millis) {
  char buf[128];
  int n = snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d.%03d (PID=%d) %5s ", tm.tm_year + 1900, tm.tm_mon + 1,
                   tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis, static_cast<int>(getpid()),
                   levelCol ? levelCol : "");
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) >= sizeof buf) n = sizeof buf - 1;
  return std::string(buf, n);
}

// Makes one folder; an existing folder counts as made, an existing non-folder does not.
bool makeFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0777) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

cLog::cLog() : preOpenBuffer(std::in_place) {}

cLog::~cLog() {
  flushBuffer(nullptr);
  fflush(stdout);
}

std::string cLog::fileNameFor(int year, int month, int day) const {
  char date[32];
  snprintf(date, sizeof date, ".%04d%02d%02d", year, month, day);
  return filePrefix + date;
}

void cLog::emit(const char* levelCol, const std::string& fileBody, const std::string& bufferBody) {
  struct tm tm;
  int millis = 0;
  nowLocal(tm, millis);
  std::string line = makeHead(levelCol, tm, millis);
  if (!filePrefix.empty()) {
    FILE* f = fopen(fileNameFor(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday).c_str(), "a+");
    if (f == nullptr) return;  // the line is lost, the buffer stays
    flushBuffer(f);
    line += fileBody;
    fwrite(line.data(), 1, line.size(), f);
    fclose(f);
    return;
  }
  if (preOpenBuffer) {
    preOpenBuffer->append(line);
    preOpenBuffer->append(bufferBody);
  }
}

void cLog::write(const char* levelCol, std::string_view text) {
  std::string body(text);
  body += '\n';
  emit(levelCol, body, body);
}

void cLog::writeValue(const char* levelCol, std::string_view name, std::string_view value) {
  std::string body(name);
  body += " = ";
  body += value;
  body += '\n';
  emit(levelCol, body, body);
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
  // and only the body that emit() will write: rows of the file, or rows of the buffer, whose
  // character column is padded to 16 characters.
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
      for (int shift = 28; shift >= 0; shift -= 4) *p++ = digits[(static_cast<uint32_t>(off) >> shift) & 0xF];
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
  emit(DEBUG_COL, body, body);
}

void cLog::writeErrorValue(std::string_view name, std::string value) {
  if (errorOn()) writeValue(ERROR_COL, name, value);
}

void cLog::writeDebugValue(std::string_view name, std::string value) {
  if (debugOn()) writeValue(DEBUG_COL, name, value);
}

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
  if (folderCreated == 1 || path == nullptr || *path == '\0' || fileName == nullptr || *fileName == '\0') return false;
  std::string whole(path);
  bool ok = true;
  for (size_t i = 1; ok && i < whole.size(); ++i) {
    if (whole[i] == '/') ok = makeFolder(whole.substr(0, i));
  }
  if (ok) ok = makeFolder(whole);
  if (debugOn()) writeBool(DEBUG_COL, "end cFile::createFolder() return", ok ? 1 : 0);
  if (ok) {
    filePrefix = whole + "/" + fileName;
    folderCreated = 1;
  }
  return ok;
}

void cLog::flushBuffer(FILE* file) {
  if (!preOpenBuffer) return;
  if (!preOpenBuffer->empty()) {
    FILE* out = file ? file : stdout;
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
