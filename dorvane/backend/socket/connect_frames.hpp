// FrameBuffer: the receive buffer of one TCP connection. Bytes are appended as they arrive and
// whole messages are consumed from the front; the front is reclaimed lazily, so a message that
// arrives in many pieces costs amortised linear time instead of one copy of the buffer per piece.
#pragma once

#include <cstddef>
#include <vector>

namespace dorvane_connect {

class FrameBuffer {
public:
    void append(const char* data, std::size_t n) {
        if (start_ > 0 && start_ * 2 >= bytes_.size()) {
            bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(start_));
            start_ = 0;
        }
        bytes_.insert(bytes_.end(), data, data + n);
    }

    // Unread bytes.
    std::size_t size() const { return bytes_.size() - start_; }
    const char* data() const { return bytes_.data() + start_; }

    // Drops the first n unread bytes (n <= size()).
    void consume(std::size_t n) {
        start_ += n;
        if (start_ >= bytes_.size()) {
            // Empty again: keep a small allocation for the next arrival, give a large one back.
            if (bytes_.capacity() > kKeep) std::vector<char>().swap(bytes_);
            else bytes_.clear();
            start_ = 0;
        }
    }

    void assign(const char* data, std::size_t n) {
        clear();
        bytes_.assign(data, data + n);
    }

    void clear() {
        std::vector<char>().swap(bytes_);
        start_ = 0;
    }

private:
    static constexpr std::size_t kKeep = 1 << 20;
    std::vector<char> bytes_;
    std::size_t start_ = 0;
};

}  // namespace dorvane_connect
