// One running copy per data folder: an exclusive lock (flock) on a lock file, held as long as the
// object lives. The holder's process id is written into the file for the refusal message.
#pragma once

#include <string>

namespace platform {

class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    enum class Result { taken, held_elsewhere, failed };
    // Never changes the file when another process holds the lock.
    Result acquire(const std::string& path);
    void release();
    // The process id written by the holder (0 when unknown); after held_elsewhere.
    long holder() const { return holder_; }
    // The system's text for a failure; after failed.
    const std::string& error_text() const { return error_; }

private:
    int fd_ = -1;
    long holder_ = 0;
    std::string error_;
};

} // namespace platform
