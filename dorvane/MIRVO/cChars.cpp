// Owned character buffer with hex and base64 encoders.
#include "cChars.hpp"

#include <climits>
#include <cstring>
#include <new>

namespace {
const char kHex[] = "0123456789ABCDEF";
const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}  // namespace

cChars::~cChars() { release(); }

void cChars::release() {
    delete[] data;
    data = nullptr;
    length = 0;
}

bool cChars::assign(const char* text, int32_t count) {
    release();
    if (count < 0 || (text == nullptr && count > 0) || count == INT32_MAX) return false;
    char* p = new (std::nothrow) char[static_cast<size_t>(count) + 1]();
    if (p == nullptr) return false;
    if (count > 0) memcpy(p, text, static_cast<size_t>(count));
    data = p;
    length = count;
    return true;
}

bool cChars::toHex(const unsigned char* bytes, int32_t count) {
    if (bytes == nullptr || count < 1) return false;
    release();
    if (count >= (1 << 30)) return false;
    size_t n = static_cast<size_t>(count) * 2;
    char* p = new (std::nothrow) char[n + 1]();
    if (p == nullptr) return false;
    for (int32_t i = 0; i < count; ++i) {
        p[2 * i] = kHex[bytes[i] >> 4];
        p[2 * i + 1] = kHex[bytes[i] & 0x0F];
    }
    data = p;
    length = static_cast<int32_t>(n);
    return true;
}

namespace {

// Whether count bytes may be encoded: the text (4 characters for every 3 bytes) must fit a signed
// 32-bit count.
bool base64Encodable(const unsigned char* bytes, int32_t count) {
    return bytes != nullptr && count > 0 && count <= INT32_MAX / 4 * 3 - 3;
}

// Characters of the base64 text of count bytes.
size_t base64Length(int32_t count) { return (static_cast<size_t>(count) + 2) / 3 * 4; }

// Writes the base64 text of count bytes at p (base64Length(count) characters).
void base64Write(const unsigned char* bytes, int32_t count, char* p) {
    size_t o = 0;
    int32_t i = 0;
    for (; i + 2 < count; i += 3) {
        unsigned v = (unsigned(bytes[i]) << 16) | (unsigned(bytes[i + 1]) << 8) | bytes[i + 2];
        p[o++] = kBase64[(v >> 18) & 63];
        p[o++] = kBase64[(v >> 12) & 63];
        p[o++] = kBase64[(v >> 6) & 63];
        p[o++] = kBase64[v & 63];
    }
    if (count - i == 2) {
        unsigned v = (unsigned(bytes[i]) << 16) | (unsigned(bytes[i + 1]) << 8);
        p[o++] = kBase64[(v >> 18) & 63];
        p[o++] = kBase64[(v >> 12) & 63];
        p[o++] = kBase64[(v >> 6) & 63];
        p[o++] = '=';
    } else if (count - i == 1) {
        unsigned v = unsigned(bytes[i]) << 16;
        p[o++] = kBase64[(v >> 18) & 63];
        p[o++] = kBase64[(v >> 12) & 63];
        p[o++] = '=';
        p[o++] = '=';
    }
}

}  // namespace

bool cChars::base64Encode(const unsigned char* bytes, int32_t count) {
    release();
    if (!base64Encodable(bytes, count)) return false;
    const size_t length = base64Length(count);
    char* p = new (std::nothrow) char[length + 1]();
    if (p == nullptr) return false;
    base64Write(bytes, count, p);
    data = p;
    this->length = static_cast<int32_t>(length);
    return true;
}

bool base64EncodeTo(const unsigned char* bytes, int32_t count, std::string& text) {
    text.clear();
    if (!base64Encodable(bytes, count)) return false;
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
