#include "control/update_record.h"

#include "control/com_util.h"

namespace orv {

OwnedRecord::OwnedRecord(const UpdateInfo& info) {
    rec_.Name = ToBstr(info.Name);
    rec_.Version = ToBstr(info.Version);
    rec_.ReleaseDate = ToBstr(info.ReleaseDate);
    rec_.Description = ToBstr(info.Description);
    rec_.PackageFile = ToBstr(info.PackageFile);
    rec_.PackageSize = info.PackageSize;
    rec_.Reserved1 = ToBstr(info.Reserved1);
    rec_.Reserved2 = ToBstr(info.Reserved2);
}

OwnedRecord::~OwnedRecord() {
    for (BSTR b : {rec_.Name, rec_.Version, rec_.ReleaseDate, rec_.Description, rec_.PackageFile,
                   rec_.Reserved1, rec_.Reserved2})
        SysFreeString(b);
}

void OwnedRecord::AssignFields(const UpdateInfo& info) {
    const auto set = [](BSTR& member, const std::string& text) {
        SysFreeString(member);
        member = ToBstr(text);
    };
    set(rec_.Name, info.Name);
    set(rec_.Version, info.Version);
    set(rec_.ReleaseDate, info.ReleaseDate);
    set(rec_.Description, info.Description);
    set(rec_.PackageFile, info.PackageFile);
    rec_.PackageSize = info.PackageSize;
}

UpdateInfo OwnedRecord::ToUpdateInfo() const {
    UpdateInfo info;
    info.Name = ToAnsi(rec_.Name);
    info.Version = ToAnsi(rec_.Version);
    info.ReleaseDate = ToAnsi(rec_.ReleaseDate);
    info.Description = ToAnsi(rec_.Description);
    info.PackageFile = ToAnsi(rec_.PackageFile);
    info.PackageSize = rec_.PackageSize;
    info.Reserved1 = ToAnsi(rec_.Reserved1);
    info.Reserved2 = ToAnsi(rec_.Reserved2);
    return info;
}

}  // namespace orv
