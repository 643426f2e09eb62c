// Owned character buffer of the signing library with its hex and base64 encoders.
#pragma once
#include <cstdint>
#include <string>

class cChars {
public:
    cChars() = default;
    virtual ~cChars();
    cChars(const cChars&) = delete;
    cChars& operator=(const cChars&) = delete;

    char* data = nullptr;  // zero-terminated text (allocation zero-filled, one byte longer), or null
    int32_t length = 0;    // characters, not counting the terminating zero

    void release();
    // Replaces the content with a copy of the text (count characters).
    bool assign(const char* text, int32_t count);
    // Bytes as uppercase hex, two digits a byte. Null bytes or count < 1: false, old content kept.
    // count >= 2^30: false, buffer emptied.
    bool toHex(const unsigned char* bytes, int32_t count);
    // Standard base64 ("=" padding, one line). Null bytes or count <= 0: false, buffer emptied.
    bool base64Encode(const unsigned char* bytes, int32_t count);
    std::string str() const { return data ? std::string(data, length) : std::string(); }
};

// Standard base64 ("=" padding, one line) of count bytes into text, replaced. Null bytes, count <= 0
// or a text too long for a signed 32-bit count: false, text emptied.
bool base64EncodeTo(const unsigned char* bytes, int32_t count, std::string& text);

// True when both texts are given, have the same length and agree after ASCII upper-casing.
bool equalsIgnoreCase(const char* a, const char* b);
