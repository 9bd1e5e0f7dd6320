#include "control/transfer/package_hasher.h"

#include <utility>

#include "control/trust/trust.h"

namespace orv::transfer {

PackageHasher::PackageHasher(Prefix prefix)
    : prefix_(std::move(prefix)), worker_([this] { Run(); }) {}

PackageHasher::~PackageHasher() {
    if (worker_.joinable()) {
        {
            const std::lock_guard lock(mutex_);
            closing_ = true;
            abandoned_ = true;
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
    while (!failed_ && queued_ != 0 && queued_ + piece.size() > kMaxQueued) {
        full_ = true;
        work_.notify_one();
        space_.wait(lock);
    }
    if (failed_) return;
    queued_ += piece.size();
    queue_.push_back(std::move(piece));
    if (queued_ >= kBatch) {
        lock.unlock();
        work_.notify_one();
    }
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

bool PackageHasher::HashPrefix(trust::Sha256& hash) {
    for (std::string piece;;) {
        {
            const std::lock_guard lock(mutex_);
            if (abandoned_) return true;
        }
        if (!prefix_(piece)) return false;
        if (piece.empty()) return true;
        if (!hash.Update(piece)) return false;
    }
}

void PackageHasher::Run() {
    trust::Sha256 hash;
    std::deque<std::string> batch;
    const bool prefixHashed = !prefix_ || HashPrefix(hash);
    std::unique_lock lock(mutex_);
    if (!prefixHashed) {
        failed_ = true;
        queue_.clear();
        queued_ = 0;
        space_.notify_one();
    }
    for (;;) {
        work_.wait(lock, [&] { return closing_ || full_ || queued_ >= kBatch; });
        if (queue_.empty()) {
            if (closing_) break;  // everything queued is hashed
            continue;
        }
        batch.swap(queue_);
        lock.unlock();
        std::size_t bytes = 0;
        bool ok = true;
        for (const std::string& piece : batch) {
            bytes += piece.size();
            if (ok) ok = hash.Update(piece);
        }
        batch.clear();
        lock.lock();
        queued_ -= bytes;
        if (!ok) {
            failed_ = true;
            queue_.clear();
            queued_ = 0;
        }
        if (full_) {
            full_ = false;
            space_.notify_one();
        }
    }
    if (!failed_) digest_ = hash.Finish();
}

}  // namespace orv::transfer
