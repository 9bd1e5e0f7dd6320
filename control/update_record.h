// The UPDATEINFO record of the type library and the UpdateInfo of the file, field by field
// as control/record_fields.h lists them.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <type_traits>

#include "common/updateinfo/updateinfo.h"
#include "control/OrvaneControl.h"
#include "control/com_util.h"

namespace orv {

enum class RecordFieldRole { File, Reserved };

// How a field of each kind is held: InRecord in the record, InInfo in UpdateInfo.
struct RecordText {
    using InRecord = BSTR;
    using InInfo = std::string;
    static InRecord Make(const InInfo& value) { return ToBstr(value); }
    static InInfo Read(InRecord member) { return ToAnsi(member); }
    static void Free(InRecord& member) {
        SysFreeString(member);
        member = nullptr;
    }
};

struct RecordNumber {
    using InRecord = LONG;
    using InInfo = int32_t;
    static InRecord Make(InInfo value) { return value; }
    static InInfo Read(InRecord member) { return member; }
    static void Free(InRecord&) {}
};

#define ORV_RECORD_FIELD(Member, Info, Kind, Role)                                        \
    static_assert(std::is_same_v<decltype(UPDATEINFO::Member), Record##Kind::InRecord> && \
                      std::is_same_v<decltype(UpdateInfo::Info), Record##Kind::InInfo>,   \
                  "UPDATEINFO::" #Member " and UpdateInfo::" #Info " do not hold a " #Kind);
#include "control/record_fields.h"

// Calls fn(kind, member) with a RecordText or RecordNumber and the UpdateInfo member, for
// every field in table order, and stops at the first failure.
template <typename Info, typename F>
HRESULT ForEachRecordField(Info& info, F&& fn) {
    static_assert(std::is_same_v<std::remove_const_t<Info>, UpdateInfo>);
#define ORV_RECORD_FIELD(Member, InfoMember, Kind, Role) \
    RETURN_IF_FAILED(fn(Record##Kind{}, info.InfoMember));
#include "control/record_fields.h"
    return S_OK;
}

// The texts and the number of a record (null texts are empty).
UpdateInfo ToUpdateInfo(const UPDATEINFO& rec);

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
    UpdateInfo ToUpdateInfo() const { return orv::ToUpdateInfo(rec_); }
    // The six fields of the file; Reserved1 and Reserved2 stay as they are.
    void AssignFields(const UpdateInfo& info);
    void ClearFields() { AssignFields(UpdateInfo{}); }

   private:
    void FreeFields();
    UPDATEINFO rec_ = {};
};

}  // namespace orv
