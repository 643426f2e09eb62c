// Owned byte buffer.
#include "cBytes.hpp"

#include <cstring>
#include <limits>
#include <new>

cBytes::~cBytes() { release(); }

void cBytes::release() {
    delete[] data;
    data = nullptr;
    length = 0;
}

bool cBytes::assign(const void* bytes, int32_t count) {
    release();
    if (count == 0) return true;
    if (bytes == nullptr || count < 0 || count > std::numeric_limits<int32_t>::max() - 2) return false;
    unsigned char* p = new (std::nothrow) unsigned char[static_cast<size_t>(count) + 2]();
    if (p == nullptr) return false;
    memcpy(p, bytes, static_cast<size_t>(count));
    data = p;
    length = count;
    return true;
}
