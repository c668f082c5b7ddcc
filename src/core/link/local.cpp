#include "link/local.hpp"

#include <algorithm>
#include <cstring>

namespace qvn::link {
namespace {

// A reply buffer that grew past this for a large reply is given back once
// read, rather than held for the life of the link.
constexpr std::size_t kKeptReplyBytes = std::size_t{1} << 20;

}  // namespace

bool LocalPeer::write(const void* data, std::size_t n) noexcept {
    if (broken_) return false;
    const auto* bytes = static_cast<const std::byte*>(data);
    try {
        // A request mostly comes whole in one write: it is answered where
        // it lies, without a copy.
        if (request_.empty()) return answer_frames(bytes, n);
        std::vector<std::byte> held;
        held.swap(request_);
        held.insert(held.end(), bytes, bytes + n);
        return answer_frames(held.data(), held.size());
    } catch (...) {  // no room to hold a request
        broken_ = true;
        return false;
    }
}

// Answers the whole frames at the start of [data, data + n) and keeps the
// frame begun after them.
bool LocalPeer::answer_frames(const std::byte* data, std::size_t n) noexcept {
    while (n >= 4) {
        std::uint32_t length = 0;
        std::memcpy(&length, data, sizeof length);
        if (length < 4 || length > kMaxRequestBytes) {
            broken_ = true;
            return false;
        }
        if (n - 4 < length) break;
        if (!answer({data + 4, length})) {
            broken_ = true;
            return false;
        }
        data += 4 + std::size_t{length};
        n -= 4 + std::size_t{length};
    }
    try {
        request_.assign(data, data + n);
    } catch (...) {
        broken_ = true;
        return false;
    }
    return true;
}

bool LocalPeer::reply(std::span<const std::byte> bytes) noexcept {
    try {
        // A reply's first bytes hold its length: room for all of it at once,
        // rather than a copy each time a large list outgrows the buffer.
        if (reply_.size() == read_ && bytes.size() >= 4) {
            std::uint32_t length = 0;
            std::memcpy(&length, bytes.data(), sizeof length);
            reply_.reserve(reply_.size() + 4 + std::size_t{length});
        }
        reply_.insert(reply_.end(), bytes.begin(), bytes.end());
        return true;
    } catch (...) {
        return false;
    }
}

void LocalPeer::consumed() noexcept {
    read_ = 0;
    if (reply_.capacity() > kKeptReplyBytes)
        std::vector<std::byte>().swap(reply_);
    else
        reply_.clear();
}

platform::Io LocalPeer::read_some(void* data, std::size_t n, std::size_t& moved) noexcept {
    moved = 0;
    const std::size_t left = reply_.size() - read_;
    if (broken_ || left == 0) return platform::Io::Broken;
    moved = std::min(n, left);
    std::memcpy(data, reply_.data() + read_, moved);
    read_ += moved;
    if (read_ == reply_.size()) consumed();
    return platform::Io::Ok;
}

platform::Io LocalPeer::read_all(void* data, std::size_t n) noexcept {
    if (n == 0) return platform::Io::Ok;
    std::size_t moved = 0;
    if (reply_.size() - read_ < n) return platform::Io::Broken;
    return read_some(data, n, moved);
}

}  // namespace qvn::link
