// Whole-file reads into a byte buffer, and the log folder set-up.
#pragma once
#include <cstdio>

#include "cBytes.hpp"
#include "cSafeFile.hpp"

class cLog;

class cFile : public cBytes {
public:
    // Releases the content and reads the whole file at path; true on success (an empty file
    // succeeds with length 0). Only a regular file is read (a FIFO is refused without waiting for a
    // writer); with Links::refuse, not through a symbolic link. Files whose size does not fit a
    // signed 32-bit count are refused.
    bool loadFromFile(const char* path, cSafeFile::Links links = cSafeFile::Links::follow);

    // The regular file at path opened for binary reading (cSafeFile::openRead), or null when it
    // cannot be opened or is no regular file.
    static FILE* openRegular(const char* path, cSafeFile::Links links = cSafeFile::Links::follow);

    // Makes the log folder path (each "/" level) and sets the process-wide log's file prefix to
    // "<path>/<fileName>"; acts once per process (later calls give false and change nothing).
    static bool createFolder(const char* path, const char* fileName);
    // The same on a given log.
    static bool createFolder(cLog& log, const char* path, const char* fileName);
};
