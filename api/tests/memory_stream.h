// A CTcpStream over bytes in memory, for the answer reader's tests and fuzz target. Bytes arrive
// chunk by chunk: a read of an empty stream takes the next chunk (as a blocking receive waits
// for data), and Pause() takes one more (false when there is none). After the last chunk the stream reports the peer's close,
// or an error when `end_error` is not 0.
#pragma once

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "api/tcp_frame.h"

namespace apitest {

class MemoryStream : public CTcpStream {
public:
    explicit MemoryStream(std::vector<std::string> chunks, int end_error = 0)
        : chunks_(std::move(chunks)), end_error_(end_error) {}

    long Peek(char* buffer, std::size_t size) override { return Take(buffer, size, false); }
    long Receive(char* buffer, std::size_t size) override { return Take(buffer, size, true); }
    bool Pause() override { return Arrive(); }
    int Error() override { return end_error_; }

    // What the reader left in the stream.
    std::string Rest() const {
        std::string rest = buffered_;
        for (std::size_t i = next_; i < chunks_.size(); ++i)
            rest += chunks_[i];
        return rest;
    }

private:
    bool Arrive() {
        if (next_ >= chunks_.size())
            return false;
        buffered_ += chunks_[next_++];
        return true;
    }
    long Take(char* buffer, std::size_t size, bool remove) {
        while (buffered_.empty() && next_ < chunks_.size())
            Arrive();
        if (buffered_.empty())
            return end_error_ != 0 ? -1 : 0;
        std::size_t n = size < buffered_.size() ? size : buffered_.size();
        std::memcpy(buffer, buffered_.data(), n);
        if (remove)
            buffered_.erase(0, n);
        return static_cast<long>(n);
    }

    std::vector<std::string> chunks_;
    std::size_t next_ = 0;
    std::string buffered_;
    int end_error_;
};

} // namespace apitest
