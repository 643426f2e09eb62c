// Owned character buffer with hex and base64 encoders.
#include "cChars.hpp"

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

bool cChars::base64Encode(const unsigned char* bytes, int32_t count) {
  release();
  // The text (4 characters for every 3 bytes) must fit a signed 32-bit count.
  if (bytes == nullptr || count <= 0 || count > INT32_MAX / 4 * 3 - 3) return false;
  size_t size = static_cast<size_t>(count) / 3 * 4 + 10;
  char* p = new (std::nothrow) char[size]();
  if (p == nullptr) return false;
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
  data = p;
  length = static_cast<int32_t>(o);
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
