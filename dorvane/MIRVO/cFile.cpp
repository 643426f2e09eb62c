// Whole-file reads into a byte buffer.
#include "cFile.hpp"

#include <cstdio>
#include <limits>

#include "cLog.hpp"

FILE* cFile::openRegular(const char* path, cSafeFile::Links links) {
    return cSafeFile::openRead(path, links).intoStream("rb");
}

bool cFile::loadFromFile(const char* path, cSafeFile::Links links) {
    cLog& log = mirvoLog();
    release();
    bool ok = false;
    FILE* f = nullptr;
    if (path != nullptr && *path != '\0') {
        f = openRegular(path, links);
        if (f == nullptr) {
            log.error().writeValue("Open file", path);
        } else {
            // The size must be known and fit a signed 32-bit count with the two zero bytes behind it.
            off_t size = -1;
            if (fseeko(f, 0, SEEK_END) == 0) size = ftello(f);
            if (size < 0 || size > static_cast<off_t>(std::numeric_limits<int32_t>::max() - 2) ||
                fseeko(f, 0, SEEK_SET) != 0) {
                log.error().writeValue("File size refused", path);
            } else if (size == 0) {
                ok = true;
            } else {
                unsigned char* room = allocate(static_cast<int32_t>(size));
                if (room == nullptr) {
                    log.error().writeInt("Read file size", 0);
                } else {
                    size_t got = fread(room, 1, static_cast<size_t>(size), f);
                    if (got < static_cast<size_t>(size)) {
                        log.error().writeInt("Read file size", static_cast<int32_t>(got));
                        release();
                    } else {
                        ok = true;
                    }
                }
            }
        }
    }
    log.debug().writeBool("end cFile::loadFromFile() return", ok ? 1 : 0);
    if (f != nullptr) fclose(f);
    return ok;
}

bool cFile::createFolder(const char* path, const char* fileName) {
    return mirvoLog().createFolder(path, fileName);
}

bool cFile::createFolder(cLog& log, const char* path, const char* fileName) {
    return log.createFolder(path, fileName);
}
