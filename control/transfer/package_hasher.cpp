#include "control/transfer/package_hasher.h"

#include <utility>

#include "control/trust/trust.h"

namespace orv::transfer {

PackageHasher::PackageHasher() : worker_([this] { Run(); }) {}

PackageHasher::~PackageHasher() {
    if (worker_.joinable()) {
        {
            const std::lock_guard lock(mutex_);
            closing_ = true;
            queue_.clear();  // what is still queued need not be hashed any more
        }
        work_.notify_one();
        worker_.join();
    }
}

void PackageHasher::Add(std::string piece) {
    if (piece.empty()) return;
    std::unique_lock lock(mutex_);
    // A piece larger than the cap still goes in once the queue is empty.
    space_.wait(lock,
                [&] { return failed_ || queued_ == 0 || queued_ + piece.size() <= kMaxQueued; });
    if (failed_) return;
    queued_ += piece.size();
    queue_.push_back(std::move(piece));
    lock.unlock();
    work_.notify_one();
}

std::optional<Sha256Digest> PackageHasher::Finish() {
    if (!worker_.joinable()) return std::nullopt;
    {
        const std::lock_guard lock(mutex_);
        closing_ = true;
    }
    work_.notify_one();
    worker_.join();
    return digest_;
}

void PackageHasher::Run() {
    trust::Sha256 hash;
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [&] { return closing_ || !queue_.empty(); });
        if (queue_.empty()) break;  // closing, and everything queued is hashed
        std::string piece = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        const bool ok = hash.Update(piece);
        lock.lock();
        queued_ -= piece.size();
        if (!ok) {
            failed_ = true;
            queue_.clear();
            queued_ = 0;
        }
        space_.notify_one();
    }
    if (!failed_) digest_ = hash.Finish();
}

}  // namespace orv::transfer
