// Owned byte buffer of the signing library.
#pragma once
#include <cstdint>
#include <string>

class cBytes {
public:
    cBytes() = default;
    virtual ~cBytes();
    cBytes(const cBytes&) = delete;
    cBytes& operator=(const cBytes&) = delete;

    unsigned char* data = nullptr;  // content followed by two zero bytes, or null
    int32_t length = 0;             // content bytes, not counting the two zero bytes

    // Releases the content (data null, length 0).
    void release();
    // Replaces the content with a copy of count bytes (followed by two zero bytes). A count of 0
    // leaves the buffer empty and succeeds; null bytes with a count above 0, a negative count or
    // a failed allocation leave it empty and fail.
    bool assign(const void* bytes, int32_t count);
    // The content as a byte string.
    std::string str() const {
        return data ? std::string(reinterpret_cast<const char*>(data), length) : std::string();
    }
};
