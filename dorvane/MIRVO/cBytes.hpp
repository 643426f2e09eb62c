// Owned byte buffer of the signing library.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

class cBytes {
public:
    cBytes() = default;
    ~cBytes();
    cBytes(const cBytes&) = delete;
    cBytes& operator=(const cBytes&) = delete;

    // The content followed by two zero bytes, or null when the buffer is empty.
    const unsigned char* data() const { return bytes_.empty() ? nullptr : bytes_.data(); }
    // Content bytes, not counting the two zero bytes.
    int32_t length() const { return bytes_.empty() ? 0 : static_cast<int32_t>(bytes_.size() - 2); }

    // Releases the content (data null, length 0).
    void release();
    // Replaces the content with a copy of count bytes (followed by two zero bytes). A count of 0
    // leaves the buffer empty and succeeds; null bytes with a count above 0, a negative count or
    // a failed allocation leave it empty and fail.
    bool assign(const void* bytes, int32_t count);
    // The content as a byte string.
    std::string str() const {
        return bytes_.empty() ? std::string()
                              : std::string(reinterpret_cast<const char*>(bytes_.data()), bytes_.size() - 2);
    }

protected:
    // Releases the content, then makes room for count zero bytes of content (above 0) and the two
    // zero bytes behind them; the room to fill, or null when it cannot be had (the buffer empty).
    unsigned char* allocate(int32_t count);

private:
    std::vector<unsigned char> bytes_;  // empty, or the content and two zero bytes
};
