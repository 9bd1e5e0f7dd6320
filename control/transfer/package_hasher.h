// The SHA-256 of a package computed while it arrives, off the message thread: pieces go into a
// queue that one worker thread feeds to CNG. The worker is woken once per kBatch bytes, not
// per piece: under Wine every wake-up of a thread is a round trip to the wineserver. The queue
// holds at most kMaxQueued bytes; past that, Add waits for the worker (a few tens of
// milliseconds at CNG's speed), so memory stays bounded whatever the network delivers. The worker
// is a std::thread joined by Finish or by the destructor: it never outlives the transfer, so
// nothing of it runs once the control library may be unloaded.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "common/updateinfo/signed_fields.h"
#include "control/trust/trust.h"

namespace orv::transfer {

class PackageHasher {
   public:
    static constexpr std::size_t kBatch = 1u << 20;
    static constexpr std::size_t kMaxQueued = 8u << 20;

    // Reads the next piece of what precedes the queued pieces (a kept part) into `piece`, empty
    // at its end; false when it cannot be read.
    using Prefix = std::function<bool(std::string& piece)>;

    // With `prefix`, the worker first reads and hashes everything it gives, so that the
    // message thread never reads a kept part itself.
    explicit PackageHasher(Prefix prefix = {});
    ~PackageHasher();
    PackageHasher(const PackageHasher&) = delete;
    PackageHasher& operator=(const PackageHasher&) = delete;

    // Queues a piece (taken over, not copied).
    void Add(std::string piece);
    // Waits for the queued pieces to be hashed and stops the worker: the digest of all pieces,
    // or nothing when the platform could not hash. Once only.
    std::optional<Sha256Digest> Finish();

   private:
    void Run();
    // Hashes what the prefix gives; false when it could not be read or hashed.
    bool HashPrefix(trust::Sha256& hash);

    std::mutex mutex_;
    std::condition_variable work_;   // the worker waits for pieces or the end
    std::condition_variable space_;  // Add waits for room in the queue
    std::deque<std::string> queue_;
    std::size_t queued_ = 0;  // bytes in queue_ and in the pieces being hashed
    Prefix prefix_;
    bool closing_ = false;
    bool abandoned_ = false;  // nothing more need be hashed
    bool full_ = false;       // Add waits for room
    bool failed_ = false;
    std::optional<Sha256Digest> digest_;
    std::thread worker_;
};

}  // namespace orv::transfer
