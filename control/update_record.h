// The UPDATEINFO record the control hands to its hosts, owning its texts.
#pragma once

#include <windows.h>

#include "common/updateinfo/updateinfo.h"
#include "control/OrvaneControl.h"

namespace orv {

// A UPDATEINFO record holding copies of an UpdateInfo's texts as BSTRs, freed with it; what
// a callee writes into the record comes back with ToUpdateInfo().
class OwnedRecord {
   public:
    OwnedRecord() = default;
    explicit OwnedRecord(const UpdateInfo& info);
    ~OwnedRecord();
    OwnedRecord(const OwnedRecord&) = delete;
    OwnedRecord& operator=(const OwnedRecord&) = delete;
    UPDATEINFO* get() { return &rec_; }
    UpdateInfo ToUpdateInfo() const;
    // The six fields of the file; Reserved1 and Reserved2 stay as they are.
    void AssignFields(const UpdateInfo& info);
    void ClearFields() { AssignFields(UpdateInfo{}); }

   private:
    UPDATEINFO rec_ = {};
};

}  // namespace orv
