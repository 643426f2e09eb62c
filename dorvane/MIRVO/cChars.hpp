// Owned character buffer of the signing library with its hex and base64 encoders.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class cChars {
public:
    cChars() = default;
    ~cChars();
    cChars(const cChars&) = delete;
    cChars& operator=(const cChars&) = delete;

    // The zero-terminated text, or null when the buffer is empty.
    const char* data() const { return chars_.empty() ? nullptr : chars_.data(); }
    // Characters, not counting the terminating zero.
    int32_t length() const { return chars_.empty() ? 0 : static_cast<int32_t>(chars_.size() - 1); }

    void release();
    // Replaces the content with a copy of the text (count characters).
    bool assign(const char* text, int32_t count);
    // Bytes as uppercase hex, two digits a byte. Null bytes or count < 1: false, old content kept.
    // count >= 2^30: false, buffer emptied.
    bool toHex(const unsigned char* bytes, int32_t count);
    // Standard base64 ("=" padding, one line). Null bytes or count <= 0: false, buffer emptied.
    bool base64Encode(const unsigned char* bytes, int32_t count);
    std::string str() const {
        return chars_.empty() ? std::string() : std::string(chars_.data(), chars_.size() - 1);
    }

private:
    // Releases the content, then makes room for count characters (zero-filled) and the terminating
    // zero; the room, or null when it cannot be had (the buffer then empty).
    char* allocate(size_t count);

    std::vector<char> chars_;  // empty, or the text and its terminating zero
};

// Standard base64 ("=" padding, one line) of count bytes into text, replaced. Null bytes, count <= 0
// or a text too long for a signed 32-bit count: false, text emptied.
bool base64EncodeTo(const unsigned char* bytes, int32_t count, std::string& text);

// True when both texts are given, have the same length and agree after ASCII upper-casing.
bool equalsIgnoreCase(const char* a, const char* b);
