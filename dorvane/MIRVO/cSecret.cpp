// Secrets in memory of their own, out of core files and wiped before release.
#include "cSecret.hpp"

#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>
#include <sys/mman.h>
#include <unistd.h>

cSecret::cSecret(size_t capacity) {
    const long page = sysconf(_SC_PAGESIZE);
    const size_t pageSize = page > 0 ? static_cast<size_t>(page) : 4096;
    if (capacity >= static_cast<size_t>(-1) - pageSize) return;
    room_ = (capacity + 1 + pageSize - 1) / pageSize * pageSize;
    void* p = mmap(nullptr, room_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p != MAP_FAILED) {
        mapped_ = true;
        // A kernel without the advice still gives the memory; the secret is then wiped only.
        (void)madvise(p, room_, MADV_DONTDUMP);
        data_ = static_cast<char*>(p);
    } else {
        // No mapping to be had: ordinary memory, still wiped before it is freed.
        room_ = capacity + 1;
        data_ = static_cast<char*>(calloc(room_, 1));
        if (!data_) room_ = 0;
    }
}

cSecret::cSecret(const char* bytes, size_t count) : cSecret(count) {
    if (data_ && bytes && count > 0) {
        memcpy(data_, bytes, count);
        size_ = count;
        data_[size_] = '\0';
    }
}

cSecret::~cSecret() {
    if (!data_) return;
    OPENSSL_cleanse(data_, room_);
    if (mapped_) {
        munmap(data_, room_);
    } else {
        free(data_);
    }
}

bool cSecret::push_back(char c) {
    if (!data_ || size_ + 1 >= room_) return false;
    data_[size_++] = c;
    data_[size_] = '\0';
    return true;
}
