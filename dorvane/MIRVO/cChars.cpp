// Owned character buffer with hex and base64 encoders.
#include "cChars.hpp"

#include <climits>
#include <cstring>
#include <new>

#include <openssl/evp.h>

namespace {
const char kHex[] = "0123456789ABCDEF";

// Whether count bytes may be encoded: the text (4 characters for every 3 bytes) must fit a signed
// 32-bit count.
bool base64Encodable(const unsigned char* bytes, int32_t count) {
    return bytes != nullptr && count > 0 && count <= INT32_MAX / 4 * 3 - 3;
}

// Characters of the base64 text of count bytes.
size_t base64Length(int32_t count) { return (static_cast<size_t>(count) + 2) / 3 * 4; }

// Writes the base64 text of count bytes at p: base64Length(count) characters and a zero behind
// them (OpenSSL's encoder writes one line, "=" padded, without line breaks).
void base64Write(const unsigned char* bytes, int32_t count, char* p) {
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(p), bytes, count);
}

}  // namespace

cChars::~cChars() = default;

void cChars::release() { std::vector<char>().swap(chars_); }

char* cChars::allocate(size_t count) {
    release();
    try {
        chars_.assign(count + 1, '\0');
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return chars_.data();
}

bool cChars::assign(const char* text, int32_t count) {
    release();
    if (count < 0 || (text == nullptr && count > 0) || count == INT32_MAX) return false;
    char* p = allocate(static_cast<size_t>(count));
    if (p == nullptr) return false;
    if (count > 0) memcpy(p, text, static_cast<size_t>(count));
    return true;
}

bool cChars::toHex(const unsigned char* bytes, int32_t count) {
    if (bytes == nullptr || count < 1) return false;
    release();
    if (count >= (1 << 30)) return false;
    char* p = allocate(static_cast<size_t>(count) * 2);
    if (p == nullptr) return false;
    for (int32_t i = 0; i < count; ++i) {
        p[2 * i] = kHex[bytes[i] >> 4];
        p[2 * i + 1] = kHex[bytes[i] & 0x0F];
    }
    return true;
}

bool cChars::base64Encode(const unsigned char* bytes, int32_t count) {
    release();
    if (!base64Encodable(bytes, count)) return false;
    char* p = allocate(base64Length(count));
    if (p == nullptr) return false;
    base64Write(bytes, count, p);
    return true;
}

bool base64EncodeTo(const unsigned char* bytes, int32_t count, std::string& text) {
    text.clear();
    if (!base64Encodable(bytes, count)) return false;
    // The string's own terminating zero takes the one that the encoder writes behind the text.
    text.resize(base64Length(count));
    base64Write(bytes, count, &text[0]);
    return true;
}

bool equalsIgnoreCase(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return false;
    size_t n = strlen(a);
    if (strlen(b) != n) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}
