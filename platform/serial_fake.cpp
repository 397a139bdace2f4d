#include "platform/serial_fake.h"

#include <cerrno>
#include <chrono>

namespace platform {

class FakeSerialLine::Device final : public SerialDevice {
  public:
    explicit Device(std::shared_ptr<FakeSerialLine> line) : line_(std::move(line)) {}

    bool configure(const SerialLine& settings) override {
        std::lock_guard<std::mutex> lock(line_->mutex_);
        if (failing(Op::configure)) return false;
        if (settings.data_bits < 5 || settings.data_bits > 8 || settings.baud == 0) {
            errno = EINVAL;
            return false;
        }
        line_->settings_ = settings;
        return true;
    }

    int queued() override {
        std::lock_guard<std::mutex> lock(line_->mutex_);
        if (failing(Op::queued)) return -1;
        return static_cast<int>(line_->input_.size());
    }

    bool purge_input() override {
        std::lock_guard<std::mutex> lock(line_->mutex_);
        if (failing(Op::purge)) return false;
        line_->input_.clear();
        ++line_->purges_;
        return true;
    }

    int output_queued() override {
        std::lock_guard<std::mutex> lock(line_->mutex_);
        return failing(Op::output_queued) ? -1 : line_->unsent_;
    }

    bool drain() override {
        std::lock_guard<std::mutex> lock(line_->mutex_);
        if (failing(Op::drain)) return false;
        line_->unsent_ = 0;
        ++line_->drains_;
        return true;
    }

    bool line_status(std::uint32_t* bits) override {
        std::lock_guard<std::mutex> lock(line_->mutex_);
        *bits = 0;
        if (failing(Op::line_status)) return false;
        *bits = line_->status_;
        line_->status_ = 0;
        return true;
    }

    void cancel() override {
        std::lock_guard<std::mutex> lock(line_->mutex_);
        cancelled_ = true;
        line_->changed_.notify_all();
    }

  protected:
    int wait_ready(bool for_write, int timeout_ms) override {
        std::unique_lock<std::mutex> lock(line_->mutex_);
        auto settled = [&] {
            return cancelled_ || for_write || line_->hung_up_ || !line_->input_.empty() ||
                   line_->errors_[static_cast<int>(Op::read)] != 0;
        };
        if (!line_->instant_) line_->changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), settled);
        if (cancelled_) {
            errno = ECANCELED;
            return -1;
        }
        return settled() ? 1 : 0;
    }

    int read_some(std::uint8_t* data, int n) override {
        std::lock_guard<std::mutex> lock(line_->mutex_);
        if (failing(Op::read)) return -1;
        if (line_->input_.empty()) {
            errno = line_->hung_up_ ? EIO : EAGAIN;
            return -1;
        }
        int k = 0;
        while (k < n && !line_->input_.empty()) {
            data[k++] = line_->input_.front();
            line_->input_.pop_front();
        }
        return k;
    }

    int write_some(const std::uint8_t* data, int n) override {
        std::vector<std::uint8_t> block(data, data + n);
        Responder responder;
        {
            std::lock_guard<std::mutex> lock(line_->mutex_);
            if (failing(Op::write)) return -1;
            line_->output_.insert(line_->output_.end(), block.begin(), block.end());
            ++line_->writes_;
            responder = line_->responder_;
            line_->changed_.notify_all();
        }
        // Outside the lock: the responder may use the line.
        if (responder) {
            const std::vector<std::uint8_t> reply = responder(block);
            if (!reply.empty()) line_->feed(reply.data(), reply.size());
        }
        return n;
    }

  private:
    // Called with the line's mutex held.
    bool failing(Op op) const {
        const int err = line_->errors_[static_cast<int>(op)];
        if (err == 0) return false;
        errno = err;
        return true;
    }

    std::shared_ptr<FakeSerialLine> line_;
    bool cancelled_ = false; // guarded by the line's mutex
};

std::shared_ptr<FakeSerialLine> FakeSerialLine::create() {
    return std::shared_ptr<FakeSerialLine>(new FakeSerialLine());
}

std::unique_ptr<SerialDevice> FakeSerialLine::make_device() {
    return std::make_unique<Device>(shared_from_this());
}

void FakeSerialLine::feed(const std::uint8_t* data, std::size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    input_.insert(input_.end(), data, data + n);
    changed_.notify_all();
}

void FakeSerialLine::feed(std::string_view bytes) {
    feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

std::size_t FakeSerialLine::input_left() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return input_.size();
}

std::vector<std::uint8_t> FakeSerialLine::take_output() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::uint8_t> out;
    out.swap(output_);
    return out;
}

std::vector<std::uint8_t> FakeSerialLine::wait_output(std::size_t n, int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return output_.size() >= n; });
    std::vector<std::uint8_t> out;
    out.swap(output_);
    return out;
}

int FakeSerialLine::write_calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

void FakeSerialLine::set_responder(Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

void FakeSerialLine::set_instant_timeouts(bool instant) {
    std::lock_guard<std::mutex> lock(mutex_);
    instant_ = instant;
    changed_.notify_all();
}

void FakeSerialLine::set_unsent(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    unsent_ = n;
}

void FakeSerialLine::raise_line_status(std::uint32_t bits) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ |= bits;
}

void FakeSerialLine::fail(Op op, int err) {
    std::lock_guard<std::mutex> lock(mutex_);
    errors_[static_cast<int>(op)] = err;
    changed_.notify_all();
}

void FakeSerialLine::hang_up() {
    std::lock_guard<std::mutex> lock(mutex_);
    hung_up_ = true;
    changed_.notify_all();
}

SerialLine FakeSerialLine::settings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
}

int FakeSerialLine::purge_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return purges_;
}

int FakeSerialLine::drain_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return drains_;
}

} // namespace platform
