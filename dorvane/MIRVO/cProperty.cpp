// The signing library's properties file.
#include "cProperty.hpp"

#include <climits>
#include <cstring>

#include <unistd.h>

#include "cChars.hpp"
#include "cFile.hpp"
#include "cLog.hpp"

namespace {

// Blanks and ASCII control characters; bytes of 0x80 and above are content.
bool isTrim(unsigned char c) { return c <= 0x20 || c == 0x7F; }

std::string trim(const char* begin, const char* end) {
    while (begin < end && isTrim(static_cast<unsigned char>(*begin))) ++begin;
    while (end > begin && isTrim(static_cast<unsigned char>(end[-1]))) --end;
    return std::string(begin, end);
}

}  // namespace

cProperty::~cProperty() = default;

bool cProperty::loadFromFile(const char* fileName) {
    cLog& log = mirvoLog();
    if (loaded != 1) {
        log.param().writeValue("propertyFile", fileName ? fileName : "");
        if (fileName == nullptr || *fileName == '\0') {
            log.error().writeValue("propertyFile ERROR!", fileName ? fileName : "");
        } else {
            char cwd[1024] = {0};
            if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';
            if (cwd[0] != '/') log.debug().writeValue("Current working path", cwd);
            // The library's own file in the working folder: never read through a symbolic link.
            cFile file;
            if (!file.loadFromFile(fileName, cSafeFile::Links::refuse)) {
                loaded = 0;
                log.error().writeValue("loadFromFile()", fileName);
            } else {
                loaded = parse(file.data() ? reinterpret_cast<const char*>(file.data()) : "") ? 1 : 0;
            }
        }
    }
    log.debug().writeBool("end cProperty::loadFromFile() return", loaded == 1 ? 1 : 0);
    return loaded == 1;
}

bool cProperty::parse(const char* text) {
    cLog& log = mirvoLog();
    properties.clear();
    bool result = false;
    if (text != nullptr && *text != '\0') {
        // Lines of any length are taken whole: a long value (a deep folder path) is never cut or split.
        const char* p = text;
        while (*p != '\0') {
            const char* end = strchr(p, '\n');
            if (end == nullptr) end = p + strlen(p);
            const char* next = *end == '\n' ? end + 1 : end;
            if (end > p && *p != '#' && *p != ';') {
                const char* eq = static_cast<const char*>(memchr(p, '=', static_cast<size_t>(end - p)));
                if (eq != nullptr) {
                    std::string key = trim(p, eq);
                    std::string value = trim(eq + 1, end);
                    auto found = properties.find(key);
                    if (found != properties.end()) {
                        properties.erase(found);
                        log.warn().writeValue("Erase duplicate MAP Name", key);
                    }
                    log.debug().writeValue("Insert MAP Name", key);
                    log.debug().writeValue("Insert MAP Value", value);
                    properties.emplace(std::move(key), std::move(value));
                }
            }
            p = next;
        }
        log.debug().writeInt("properties.size()", static_cast<int32_t>(properties.size()));
        result = !properties.empty();
    }
    log.debug().writeBool("end cProperty::parse() return", result ? 1 : 0);
    return result;
}

std::string cProperty::getProperty(const char* key) const {
    if (key == nullptr || *key == '\0') return std::string();
    auto found = properties.find(key);
    if (found == properties.end()) return std::string();
    cLog& log = mirvoLog();
    if (const cLog::Writer debug = log.debug())
        debug.writeValue(std::string("cProperty::getProperty() : ") + key, found->second);
    return found->second;
}

int32_t cProperty::getPropertyInt(const char* key) const {
    if (key == nullptr) return -1;
    auto found = properties.find(key);
    if (found == properties.end()) return -1;
    cLog& log = mirvoLog();
    const std::string name = std::string("cProperty::getPropertyInt() : ") + key;
    // Leading white space, an optional sign, then decimal digits up to the first other character.
    const char* p = found->second.c_str();
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') {
        if (const cLog::Writer error = log.error()) error.writeValue(name + " not a number", found->second);
        return -1;
    }
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + (*p - '0');
        if (v > static_cast<long long>(INT_MAX) + 1) break;
    }
    if ((!negative && v > INT_MAX) || (negative && v > static_cast<long long>(INT_MAX) + 1)) {
        if (const cLog::Writer error = log.error()) error.writeValue(name + " out of range", found->second);
        return -1;
    }
    int32_t number = static_cast<int32_t>(negative ? -v : v);
    log.debug().writeInt(name, number);
    return number;
}

bool cProperty::getPropertyBool(const char* key) const {
    if (key == nullptr || *key == '\0') return false;
    auto found = properties.find(key);
    if (found == properties.end()) return false;
    const bool result = equalsIgnoreCase(found->second.c_str(), "TRUE");
    cLog& log = mirvoLog();
    if (const cLog::Writer debug = log.debug())
        debug.writeBool(std::string("cProperty::getProperty() : ") + key, result ? 1 : 0);
    return result;
}
