// Whole-file reads into a byte buffer, and the log folder set-up.
#pragma once
#include <cstdio>

#include "cBytes.hpp"

class cLog;

class cFile : public cBytes {
public:
    // Releases the content and reads the whole file at path; true on success (an empty file
    // succeeds with length 0). Files whose size does not fit a signed 32-bit count are refused.
    bool loadFromFile(const char* path);

    // The regular file at path opened for binary reading, or null when it cannot be opened or is a
    // folder (which this platform's C library would open and read as an empty file).
    static FILE* openRegular(const char* path);

    // Makes the log folder path (each "/" level) and sets the process-wide log's file prefix to
    // "<path>/<fileName>"; acts once per process (later calls give false and change nothing).
    static bool createFolder(const char* path, const char* fileName);
    // The same on a given log.
    static bool createFolder(cLog& log, const char* path, const char* fileName);
};
