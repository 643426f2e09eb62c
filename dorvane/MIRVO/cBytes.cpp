// Owned byte buffer.
#include "cBytes.hpp"

#include <cstring>
#include <limits>
#include <new>

cBytes::~cBytes() = default;

void cBytes::release() { std::vector<unsigned char>().swap(bytes_); }

unsigned char* cBytes::allocate(int32_t count) {
    release();
    if (count <= 0 || count > std::numeric_limits<int32_t>::max() - 2) return nullptr;
    try {
        bytes_.assign(static_cast<size_t>(count) + 2, 0);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return bytes_.data();
}

bool cBytes::assign(const void* bytes, int32_t count) {
    release();
    if (count == 0) return true;
    if (bytes == nullptr || count < 0) return false;
    unsigned char* p = allocate(count);
    if (p == nullptr) return false;
    memcpy(p, bytes, static_cast<size_t>(count));
    return true;
}
