// A secret's bytes (a certificate password) in memory of their own: pages mapped for this secret
// alone, marked to stay out of core files (MADV_DONTDUMP), and wiped with OPENSSL_cleanse before
// they are given back. The room is fixed when the secret is made, so its bytes never move and no
// unwiped copy is left behind by a reallocation.
#pragma once
#include <cstddef>

class cSecret {
public:
    // Room for `capacity` bytes and a terminating zero; empty.
    explicit cSecret(size_t capacity);
    // A copy of `count` bytes.
    cSecret(const char* bytes, size_t count);
    ~cSecret();
    cSecret(const cSecret&) = delete;
    cSecret& operator=(const cSecret&) = delete;

    // The bytes, zero-terminated ("" when there is no room).
    const char* c_str() const { return data_ ? data_ : ""; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Appends a byte; false when the room is full.
    bool push_back(char c);

private:
    char* data_ = nullptr;  // null when no memory could be had
    size_t room_ = 0;       // bytes mapped (a whole number of pages), or allocated when not mapped
    size_t size_ = 0;
    bool mapped_ = false;
};
