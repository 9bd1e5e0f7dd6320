// The UPDATEINFO record owning its texts, field by field from control/record_fields.h.
#include "control/update_record.h"

namespace orv {

UpdateInfo ToUpdateInfo(const UPDATEINFO& rec) {
    UpdateInfo info;
#define ORV_RECORD_FIELD(Member, Info, Kind, Role) info.Info = Record##Kind::Read(rec.Member);
#include "control/record_fields.h"
    return info;
}

OwnedRecord::OwnedRecord(const UpdateInfo& info) {
    // A copy that fails frees the copies made before it: no destructor runs for this record.
    try {
#define ORV_RECORD_FIELD(Member, Info, Kind, Role) rec_.Member = Record##Kind::Make(info.Info);
#include "control/record_fields.h"
    } catch (...) {
        FreeFields();
        throw;
    }
}

OwnedRecord::~OwnedRecord() {
    FreeFields();
}

void OwnedRecord::FreeFields() {
#define ORV_RECORD_FIELD(Member, Info, Kind, Role) Record##Kind::Free(rec_.Member);
#include "control/record_fields.h"
}

void OwnedRecord::AssignFields(const UpdateInfo& info) {
#define ORV_RECORD_FIELD(Member, Info, Kind, Role)                  \
    if constexpr (RecordFieldRole::Role == RecordFieldRole::File) { \
        Record##Kind::Free(rec_.Member);                            \
        rec_.Member = Record##Kind::Make(info.Info);                \
    }
#include "control/record_fields.h"
}

}  // namespace orv
