// A test's own certificate authority, trusted for a while: added to the current user's Root
// store (under Wine that raises no dialog) and removed again, with the removal committed.
// Add it before the process builds its first certificate chain: the platform's default chain
// engine may keep the roots it saw first.
#pragma once

#include <string>

namespace orv::test {

class TrustedTestRoot {
   public:
    // Adds the certificate in `file` (PEM or DER; a Windows path).
    explicit TrustedTestRoot(const std::string& file);
    // Removes it, if still there.
    ~TrustedTestRoot();
    TrustedTestRoot(const TrustedTestRoot&) = delete;
    TrustedTestRoot& operator=(const TrustedTestRoot&) = delete;

    bool Added() const { return added_; }
    const std::string& Error() const { return error_; }
    // Removes the certificate now and commits the store; false (with Error()) on failure.
    bool Remove();

   private:
    std::string der_;
    bool added_ = false;
    std::string error_;
};

// Whether the current user's Root store, opened afresh, holds the certificate in `file`.
bool CurrentUserRootHolds(const std::string& file);

}  // namespace orv::test
