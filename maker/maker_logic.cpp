#include "maker/maker_logic.h"

#include <algorithm>
#include <cstdio>

#include "common/updateinfo/signed_fields.h"

namespace orv::maker {

Guard GuardOf(Box box) {
    switch (box) {
        case Box::Text1:
        case Box::Text6: return Guard::Separator;
        case Box::Text5: return Guard::VersionFourth;
        default: return Guard::None;
    }
}

std::optional<std::string> ApplyGuard(Guard guard, std::string_view text) {
    std::string_view reserved;
    switch (guard) {
        case Guard::None: return std::nullopt;
        case Guard::Separator: reserved = "|"; break;
        case Guard::VersionFourth: reserved = ".,|"; break;
    }
    if (text.find_first_of(reserved) == std::string_view::npos) return std::nullopt;
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (reserved.find(c) == std::string_view::npos) out += c;
    }
    return out;
}

std::optional<Refusal> CheckBeforeSave(const FormRecord& r) {
    if (r.Name.empty()) return Refusal{"'Application name' cannot be blank", Box::Text1};
    if (r.Version[0].empty()) return Refusal{"'Version (major)' cannot be blank", Box::Text2};
    if (r.Version[1].empty()) return Refusal{"'Version (minor)' cannot be blank", Box::Text3};
    if (r.Version[2].empty()) return Refusal{"'Version (release)' cannot be blank", Box::Text4};
    if (r.PackageFile.empty()) {
        return Refusal{"'Update package file' cannot be blank", Box::Command1};
    }
    // The size written is the member, whatever Text8 shows (Paste can change its text).
    if (r.PackageFileSize == 0)
        return Refusal{"'Update package size' cannot be 0 byte", Box::Command1};
    if (PlainTextOf(r).size() > kMaxInfoTextLength) return Refusal{kTooLongMessage, Box::Text6};
    return std::nullopt;
}

std::string PlainTextOf(const FormRecord& r) {
    MakerFields f;
    f.Name = r.Name;
    f.VersionParts = r.Version;
    f.Month = r.Month;
    f.Day = r.Day;
    f.Year = r.Year;
    f.Comments = r.Comments;
    f.PackageFile = r.PackageFile;
    f.PackageSize = r.PackageFileSize;
    return BuildPlainText(f);
}

LoadedForm LoadFromPlainText(std::string_view plain) {
    const MakerLoad load = SplitMakerFields(plain);
    LoadedForm form;
    form.Name = load.Name;
    form.Version = load.VersionParts;
    if (load.Month) form.MonthIndex = *load.Month - 1;
    if (load.Day) form.DayIndex = *load.Day - 1;
    if (load.Year) form.YearIndex = *load.Year - kFirstYear;
    form.Comments = load.Comments;
    form.PackageFile = load.PackageFile;
    if (ParseInt32(load.SizeText)) {
        form.SizeText = load.SizeText;
        form.PackageFileSize = load.PackageSize;
    } else {
        // Shown as 0 so that saving asks for a package instead of writing a size of 0.
        form.SizeText.assign(1, '0');
    }
    form.Complete = load.Complete;
    const SignedFields extra = ReadSignedFields(plain);
    form.Signed = extra.Digest == FieldState::Valid || extra.Signature == FieldState::Valid;
    return form;
}

DateIndexes DateListIndexes(int year, int month, int day) {
    return {std::clamp(month, 1, 12) - 1, std::clamp(day, 1, 31) - 1,
            std::clamp(year, kFirstYear, kLastYear) - kFirstYear};
}

std::string TwoDigits(int n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d", n);
    return buf;
}

std::string FileNameFromPath(std::string_view path) {
    const std::size_t at = path.rfind('\\');
    return std::string(at == std::string_view::npos ? path : path.substr(at + 1));
}

std::string DialogFilter(std::string_view filter) {
    std::string out(filter);
    std::replace(out.begin(), out.end(), '|', '\0');
    out += '\0';
    return out;
}

std::string DialogFileBuffer(std::string_view initialName) {
    std::string buf(initialName.substr(0, kDialogBufferSize - 1));
    buf.resize(kDialogBufferSize, '\0');
    return buf;
}

std::string HelpTopicPath(std::string_view programFolder) {
    return std::string(programFolder) + "\\orvane.chm::/updatefiles.htm";
}

}  // namespace orv::maker
