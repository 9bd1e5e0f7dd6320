#include "tools/orvinfo/orvinfo.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <span>
#include <utility>

#include "common/updateinfo/release_policy.h"
#include "common/updateinfo/signed_fields.h"
#include "common/updateinfo/updateinfo.h"
#include "tools/orvinfo/cp1252.h"
#include "tools/orvinfo/crypto.h"
#include "tools/orvinfo/publish.h"

namespace orv::orvinfo {

const char* const kUsageLine =
    "usage: orvinfo show FILE [--json] | orvinfo make --name TEXT --version "
    "MAJOR.MINOR.RELEASE[.FOURTH] [--date MM/DD/YYYY] [--comments TEXT | --comments-file FILE] "
    "--package PATH [--digest | --sign KEYFILE [--expires WHEN [POLICY]]] -o FILE | "
    "orvinfo keygen -o NAME | orvinfo sign --key KEYFILE --package PATH [--expires WHEN [POLICY]] "
    "FILE | orvinfo verify --key PUBFILE FILE [--package PATH]";

namespace {

// Packages of 2 GiB and more have no 32-bit signed size.
constexpr uint64_t kMaxPackageSize = 0x7FFFFFFF;

// The comments file may hold up to four UTF-8 bytes per character, and a byte order mark.
constexpr std::size_t kMaxCommentsFileBytes = 4 * kMaxInfoTextLength + 3;

// The maker's labels of its fields, as its messages quote them.
constexpr std::string_view kName = "'Application name'";
constexpr std::string_view kVersionLabels[4] = {"'Version (major)'", "'Version (minor)'",
                                                "'Version (release)'", "'Version (fourth part)'"};
constexpr std::string_view kComments = "'Comments'";
constexpr std::string_view kPackage = "'Update package file'";
// Tagged fields follow fields 7-10 in a file, so they need a key and an expiry.
constexpr const char* kPolicyNeedsExpiry =
    "the release policy (tagged fields) needs --sign KEYFILE and --expires WHEN: it follows "
    "the signed expiry (a far one such as 3650d will do)";

Result Usage(const std::string& message) {
    return {kUsage, "", "orvinfo: " + message + " (orvinfo --help tells more)\n"};
}

// A refusal whose message is printed as it stands (the maker's own messages).
Result Refuse(const std::string& message) {
    return {kRefused, "", message + "\n"};
}

// A refusal of this program's own.
Result Fail(const std::string& message) {
    return Refuse("orvinfo: " + message);
}

std::string Quoted(std::string_view path) {
    return "'" + std::string(path) + "'";
}

// Text for people: line breaks (CR LF, or a lone LF) become "\n"; other control characters
// and bytes without a character show as U+FFFD.
std::string DisplayText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        if (b == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            out += '\n';
            ++i;
            continue;
        }
        const char32_t cp = text::Cp1252ToCodePoint(b);
        if (cp == '\n' || cp == '\t') {
            out += static_cast<char>(cp);
        } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
            text::AppendUtf8(out, 0xFFFD);
        } else {
            text::AppendUtf8(out, cp);
        }
    }
    return out;
}

// Turns LF, CR LF and a lone CR into CR LF, the line break of the file.
std::string CrLfLineBreaks(std::string_view s) {
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\r' || s[i] == '\n') {
            out += "\r\n";
            if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The version split at its first three "."; the fourth part is all that follows the third
// (it may hold further dots, which are then refused), and parts not given are empty.
std::array<std::string, 4> SplitVersion(std::string_view v) {
    std::array<std::string, 4> parts;
    std::size_t start = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        const std::size_t at = k < 3 ? v.find('.', start) : std::string_view::npos;
        parts[k] = std::string(v.substr(start, at == std::string_view::npos ? v.npos : at - start));
        if (at == std::string_view::npos) break;
        start = at + 1;
    }
    return parts;
}

// Whether the maker's numeric check of a version box would accept the text: a whole number
// with optional sign and surrounding spaces, of any size.
bool LooksNumeric(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) s.remove_prefix(1);
    if (s.empty()) return false;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

std::string TwoDigits(int n) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d", n);
    return buf;
}

// MM/DD/YYYY with the entries of the maker's lists: month 01-12, day 01-31, year 2000-2100.
bool ParseDate(std::string_view s, std::string& month, std::string& day, std::string& year) {
    if (s.size() != 10 || s[2] != '/' || s[5] != '/') return false;
    for (std::size_t i : {0, 1, 3, 4, 6, 7, 8, 9}) {
        if (s[i] < '0' || s[i] > '9') return false;
    }
    const int m = (s[0] - '0') * 10 + (s[1] - '0');
    const int d = (s[3] - '0') * 10 + (s[4] - '0');
    const int y = std::stoi(std::string(s.substr(6)));
    if (m < 1 || m > 12 || d < 1 || d > 31 || y < 2000 || y > 2100) return false;
    month = std::string(s.substr(0, 2));
    day = std::string(s.substr(3, 2));
    year = std::string(s.substr(6));
    return true;
}

// Converts a command-line text to the file's code page, or says why it cannot be.
std::optional<Result> ToFileText(std::string_view utf8, std::string_view label, std::string& out) {
    text::ConversionError error;
    std::optional<std::string> converted = text::Utf8ToCp1252(utf8, &error);
    if (converted) {
        out = std::move(*converted);
        return std::nullopt;
    }
    if (error.invalidUtf8) return Fail(std::string(label) + " is not valid UTF-8");
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(error.codePoint));
    return Fail(std::string(label) + " holds " + code +
                ", a character that Windows-1252 cannot represent");
}

std::optional<Result> RefuseCharacter(std::string_view text, std::string_view label, char c) {
    if (text.find(c) == std::string_view::npos) return std::nullopt;
    return Fail(std::string(label) + " cannot contain \"" + c + "\"");
}

// Reads an update information file whole, or says why it is none.
std::optional<Result> ReadInfoFile(const std::string& file, std::string& bytes) {
    bool longer = false;
    if (const auto reason =
            files::ReadFileBytes(files::PathFromUtf8(file), kMaxInfoTextLength, bytes, longer)) {
        return Fail("cannot read " + Quoted(file) + ": " + *reason);
    }
    if (longer) {
        return Fail(Quoted(file) + " is longer than " + std::to_string(kMaxInfoTextLength) +
                    " bytes, so it is no update information file");
    }
    return std::nullopt;
}

// Reads a UTF-8 text file of at most `limit` bytes (comments, release notes) without its
// byte order mark, or says why it cannot be.
std::optional<Result> ReadTextFile(const std::string& file, std::size_t limit, std::string& text) {
    bool longer = false;
    if (const auto reason = files::ReadFileBytes(files::PathFromUtf8(file), limit, text, longer)) {
        return Fail("cannot read " + Quoted(file) + ": " + *reason);
    }
    if (longer) return Fail(Quoted(file) + " is too long for update information");
    if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
    return std::nullopt;
}

// Reads a key file: a PEM private key or a public key line.
std::optional<Result> ReadKeyFile(const std::string& file, std::string& bytes) {
    if (auto reason = ReadKeyText(file, bytes)) return Fail(*reason);
    return std::nullopt;
}

// The plain text grown by fields 7 and 8 may not pass the format's limit.
std::optional<Result> RefuseTooLong(const std::string& plain) {
    if (plain.size() <= kMaxInfoTextLength) return std::nullopt;
    return Fail("the update information would be " + std::to_string(plain.size()) +
                " characters long; at most " + std::to_string(kMaxInfoTextLength) + " fit");
}

// The expiry `--expires` names: a UTC time of field 9's form, or "Nd", N days (1 to 36500)
// after `now`. A usage error when it is neither; a refusal when it is not after `now`.
std::optional<Result> ParseExpires(const std::string& value, int64_t now, int64_t& expiry) {
    const ExpiryParse parsed = ParseExpiry(value, now, expiry);
    switch (parsed.kind) {
        case ExpiryParse::Ok: return std::nullopt;
        case ExpiryParse::BadForm: return Usage(parsed.message);
        case ExpiryParse::NotFuture: break;
    }
    return Fail(parsed.message);
}

// Adds field 7 (the package's digest) and, with a private key, field 8 to fields 1-6; with an
// expiry too, field 9 and its signature, field 10, over fields 1-9; then the tagged fields and
// their signature over all before it.
std::optional<Result> AddSignedFields(std::string& plain, const std::string& packagePath,
                                      const std::optional<std::string>& keyFile,
                                      std::optional<int64_t> expiry, const TagList& tags = {}) {
    std::string key;
    if (keyFile) {
        if (auto failure = ReadKeyFile(*keyFile, key)) return failure;
    }
    Sha256Digest digest{};
    if (const auto reason = crypto::Sha256OfFile(files::PathFromUtf8(packagePath), digest)) {
        return Fail("cannot read " + Quoted(packagePath) + ": " + *reason);
    }
    if (const auto reason =
            AppendSignedFields(plain, digest, keyFile ? &key : nullptr, expiry, tags)) {
        return Fail("cannot sign with " + Quoted(*keyFile) + ": " + *reason);
    }
    return std::nullopt;
}

Result Show(const std::vector<std::string>& args) {
    std::optional<std::string> file;
    bool json = false;
    bool optionsEnded = false;
    for (const std::string& a : args) {
        if (!optionsEnded && a == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && a == "--json") {
            json = true;
        } else if (!optionsEnded && a.size() > 1 && a[0] == '-') {
            return Usage("show has no option " + a);
        } else if (file) {
            return Usage("show takes one FILE");
        } else {
            file = a;
        }
    }
    if (!file) return Usage("show needs a FILE");

    std::string bytes;
    if (auto failure = ReadInfoFile(*file, bytes)) return *failure;
    return {kSuccess, ShowText(bytes, json), ""};
}

// An option of a command and where its value goes.
using OptionSlot = std::pair<std::string_view, std::optional<std::string>*>;

// Stores the value of the option at args[i] ("--name VALUE" or "--name=VALUE") in its slot of
// `table` and moves i onto the last argument it used. Nothing when that worked, the usage error
// when it did not; an option the table does not name comes back in `unknown`.
std::optional<Result> TakeOption(const std::vector<std::string>& args, std::size_t& i,
                                 std::span<const OptionSlot> table, std::string& unknown) {
    std::string option = args[i];
    std::optional<std::string> value;
    if (const std::size_t eq = option.find('='); option.starts_with("--") && eq != option.npos) {
        value = option.substr(eq + 1);
        option.resize(eq);
    }
    std::optional<std::string>* target = nullptr;
    for (const auto& [name, slot] : table) {
        if (option == name) target = slot;
    }
    if (!target) {
        unknown = option;
        return std::nullopt;
    }
    if (!value) {
        if (i + 1 >= args.size()) return Usage(option + " needs a value");
        value = args[++i];
    }
    if (*target) return Usage(option + " is given twice");
    *target = std::move(value);
    return std::nullopt;
}

// The release policy's options of make and sign, each a tagged field after field 10.
struct PolicyOptions {
    std::optional<std::string> urls, critical, minVersion, rollout, args, notesFile;
    std::vector<std::string> tags;  // --tag NAME:VALUE, as given
    bool Any() const {
        return urls || critical || minVersion || rollout || args || notesFile || !tags.empty();
    }
};

// Takes the policy option at args[i], if it is one: `taken` tells. "--critical" alone makes
// the update critical for every installed version, "--critical=VERSION" for those below it;
// "--tag" may be given many times.
std::optional<Result> TakePolicyOption(const std::vector<std::string>& args, std::size_t& i,
                                       PolicyOptions& p, bool& taken) {
    taken = true;
    if (args[i] == "--critical" || args[i].starts_with("--critical=")) {
        if (p.critical) return Usage("--critical is given twice");
        p.critical = args[i] == "--critical" ? "" : args[i].substr(11);
        return std::nullopt;
    }
    if (args[i] == "--tag" || args[i].starts_with("--tag=")) {
        if (args[i] == "--tag" && i + 1 >= args.size()) return Usage("--tag needs a value");
        const std::string tag = args[i] == "--tag" ? args[++i] : args[i].substr(6);
        const std::size_t colon = tag.find(':');
        if (colon == std::string::npos || !IsTagName(tag.substr(0, colon))) {
            return Usage("--tag takes NAME:VALUE, NAME of lowercase letters, digits and \"-\"");
        }
        if (tag.starts_with("p256:")) {
            return Usage("--tag cannot name p256: it is the signature's prefix");
        }
        p.tags.push_back(tag);
        return std::nullopt;
    }
    const std::pair<std::string_view, std::optional<std::string>*> table[] = {
        {"--urls", &p.urls}, {"--min-version", &p.minVersion}, {"--rollout", &p.rollout},
        {"--args", &p.args}, {"--notes-file", &p.notesFile},
    };
    std::string unknown;
    if (auto usage = TakeOption(args, i, table, unknown)) return usage;
    taken = unknown.empty();
    return std::nullopt;
}

// The tagged fields a file gets: those it has (`kept`, for sign) with the options' values in
// place of those they name, checked as readers will read them; in the file's code page.
std::optional<Result> BuildTags(const PolicyOptions& p, const TaggedFields& kept, TagList& tags) {
    for (const TaggedField& f : kept.Fields) tags.emplace_back(f.Name, f.Value);
    if (p.urls) SetTag(tags, kTagUrls, *p.urls);
    if (p.critical) SetTag(tags, kTagCritical, *p.critical);
    if (p.minVersion) SetTag(tags, kTagMinVersion, *p.minVersion);
    if (p.rollout) SetTag(tags, kTagRollout, *p.rollout);
    if (p.args) SetTag(tags, kTagArgs, EncodeBase64(*p.args));
    if (p.notesFile) {
        std::string notes;
        if (auto failure = ReadTextFile(*p.notesFile, kMaxInfoTextLength, notes)) return *failure;
        if (!text::IsValidUtf8(notes)) return Fail(Quoted(*p.notesFile) + " is not UTF-8");
        SetTag(tags, kTagNotes, EncodeBase64(notes));
    }
    for (const std::string& tag : p.tags) {
        const std::size_t colon = tag.find(':');
        const std::string name = tag.substr(0, colon);
        std::string value;
        if (auto failure = ToFileText(tag.substr(colon + 1), "--tag " + name, value)) {
            return *failure;
        }
        SetTag(tags, name, std::move(value));
    }
    // Each value as the control will read it: a known field that would be ignored there is
    // refused here.
    if (auto problem = CheckTags(tags)) return Fail(*problem);
    return std::nullopt;
}

struct MakeOptions {
    std::optional<std::string> name, version, date, comments, commentsFile, package, output, sign,
        expires;
    bool digest = false;
    PolicyOptions policy;
};

std::optional<Result> ParseMake(const std::vector<std::string>& args, MakeOptions& o) {
    const OptionSlot table[] = {
        {"--name", &o.name},
        {"--version", &o.version},
        {"--date", &o.date},
        {"--comments", &o.comments},
        {"--comments-file", &o.commentsFile},
        {"--package", &o.package},
        {"--output", &o.output},
        {"-o", &o.output},
        {"--sign", &o.sign},
        {"--expires", &o.expires},
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        if (option == "--digest") {
            if (o.digest) return Usage("--digest is given twice");
            o.digest = true;
            continue;
        }
        bool taken = false;
        if (auto usage = TakePolicyOption(args, i, o.policy, taken)) return usage;
        if (taken) continue;
        std::string unknown;
        if (auto usage = TakeOption(args, i, table, unknown)) return usage;
        if (!unknown.empty()) {
            if (unknown[0] == '-') return Usage("make has no option " + unknown);
            return Usage("make takes no argument " + Quoted(unknown));
        }
    }
    if (o.comments && o.commentsFile) return Usage("give --comments or --comments-file, not both");
    if (!o.output || o.output->empty()) return Usage("make needs -o FILE");
    if (o.expires && !o.sign) return Usage("--expires needs --sign KEYFILE: an expiry is signed");
    if (o.policy.Any() && !o.expires) return Usage(kPolicyNeedsExpiry);
    return std::nullopt;
}

Result Make(const std::vector<std::string>& args, const Date& today, const files::Writer& writer,
            int64_t now) {
    MakeOptions o;
    if (auto usage = ParseMake(args, o)) return *usage;
    std::optional<int64_t> expiry;
    if (o.expires) {
        int64_t when = 0;
        if (auto r = ParseExpires(*o.expires, now, when)) return *r;
        expiry = when;
    }

    MakerFields f;
    if (o.date) {
        if (!ParseDate(*o.date, f.Month, f.Day, f.Year)) {
            return Usage("--date must be MM/DD/YYYY: month 01-12, day 01-31, year 2000-2100");
        }
    } else {
        if (today.year < 2000 || today.year > 2100) {
            return Usage("today lies outside the years 2000 to 2100: give --date");
        }
        f.Month = TwoDigits(today.month);
        f.Day = TwoDigits(today.day);
        f.Year = std::to_string(today.year);
    }

    // The maker's checks, in its order and with its messages.
    const std::string name = o.name.value_or("");
    const std::array<std::string, 4> version = SplitVersion(o.version.value_or(""));
    if (name.empty()) return Refuse("'Application name' cannot be blank");
    if (version[0].empty()) return Refuse("'Version (major)' cannot be blank");
    if (version[1].empty()) return Refuse("'Version (minor)' cannot be blank");
    if (version[2].empty()) return Refuse("'Version (release)' cannot be blank");
    const std::string packagePath = o.package.value_or("");
    const std::filesystem::path package = files::PathFromUtf8(packagePath);
    const std::string packageName = packagePath.empty() ? "" : files::BareNameUtf8(package);
    if (packageName.empty()) return Refuse("'Update package file' cannot be blank");
    uint64_t packageSize = 0;
    if (const auto reason = files::FileLength(package, packageSize)) {
        return Fail("cannot read " + Quoted(packagePath) + ": " + *reason);
    }
    if (packageSize == 0) return Refuse("'Update package size' cannot be 0 byte");
    if (packageSize > kMaxPackageSize) {
        return Fail(Quoted(packagePath) +
                    " is 2 GiB or larger; update information holds sizes below 2 GiB only");
    }
    f.PackageSize = static_cast<int32_t>(packageSize);

    std::string comments = o.comments.value_or("");
    if (o.commentsFile) {
        if (auto failure = ReadTextFile(*o.commentsFile, kMaxCommentsFileBytes, comments))
            return *failure;
    }

    // Texts in the file's code page.
    if (auto failure = ToFileText(name, kName, f.Name)) return *failure;
    for (std::size_t i = 0; i < 4; ++i) {
        if (auto failure = ToFileText(version[i], kVersionLabels[i], f.VersionParts[i])) {
            return *failure;
        }
    }
    if (auto failure = ToFileText(comments, kComments, f.Comments)) return *failure;
    f.Comments = CrLfLineBreaks(f.Comments);
    if (auto failure = ToFileText(packageName, kPackage, f.PackageFile)) return *failure;

    // Characters the format reserves: the field separator anywhere, and the version
    // separators in the fourth part (the maker's box removes them as they are typed).
    if (auto r = RefuseCharacter(f.Name, kName, '|')) return *r;
    for (std::size_t i = 0; i < 3; ++i) {
        if (auto r = RefuseCharacter(f.VersionParts[i], kVersionLabels[i], '|')) return *r;
    }
    for (char c : {'.', ',', '|'}) {
        if (auto r = RefuseCharacter(f.VersionParts[3], kVersionLabels[3], c)) return *r;
    }
    if (auto r = RefuseCharacter(f.Comments, kComments, '|')) return *r;
    if (auto r = RefuseCharacter(f.PackageFile, kPackage, '|')) return *r;

    TagList tags;
    if (auto failure = BuildTags(o.policy, {}, tags)) return *failure;
    std::string plain = BuildPlainText(f);
    if (auto r = RefuseTooLong(plain)) return *r;
    if (o.digest || o.sign) {
        if (auto failure = AddSignedFields(plain, packagePath, o.sign, expiry, tags))
            return *failure;
        if (auto r = RefuseTooLong(plain)) return *r;
    }

    Result result;
    // The maker warns about a version part that is not a number but saves it all the same.
    for (std::size_t i = 0; i < 3; ++i) {
        if (!LooksNumeric(f.VersionParts[i])) {
            result.err += "orvinfo: warning: " + std::string(kVersionLabels[i]) +
                          ": This version value must be numeric\n";
        }
    }
    if (const auto reason = files::ReplaceFile(files::PathFromUtf8(*o.output),
                                               ScrambleText(plain, kInformationKey), writer)) {
        result.status = kRefused;
        result.err += "orvinfo: cannot write " + Quoted(*o.output) + ": " + *reason + "\n";
    }
    return result;
}

// Parses "--name VALUE" / "--name=VALUE" options from `table` and positional arguments.
std::optional<Result> ParseOptions(std::string_view command, const std::vector<std::string>& args,
                                   std::initializer_list<OptionSlot> table,
                                   std::vector<std::string>& positional,
                                   PolicyOptions* policy = nullptr) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        if (optionsEnded || option.empty() || option[0] != '-' || option == "-") {
            positional.push_back(option);
            continue;
        }
        if (option == "--") {
            optionsEnded = true;
            continue;
        }
        bool taken = false;
        if (policy) {
            if (auto usage = TakePolicyOption(args, i, *policy, taken)) return usage;
        }
        if (taken) continue;
        std::string unknown;
        if (auto usage = TakeOption(args, i, std::span(table.begin(), table.size()), unknown))
            return usage;
        if (!unknown.empty()) return Usage(std::string(command) + " has no option " + unknown);
    }
    return std::nullopt;
}

Result Keygen(const std::vector<std::string>& args) {
    std::optional<std::string> name;
    std::vector<std::string> positional;
    if (auto usage =
            ParseOptions("keygen", args, {{"-o", &name}, {"--output", &name}}, positional)) {
        return *usage;
    }
    if (!positional.empty()) return Usage("keygen takes no argument " + Quoted(positional[0]));
    if (!name || name->empty()) return Usage("keygen needs -o NAME");
    const std::string keyName = *name + ".key";
    const std::string pubName = *name + ".pub";
    // A private key is never overwritten: whatever it signed would lose its key.
    for (const std::string& file : {keyName, pubName}) {
        std::error_code ec;
        if (std::filesystem::exists(files::PathFromUtf8(file), ec) || ec) {
            return Fail(Quoted(file) + " exists already; choose another NAME or remove it");
        }
    }
    std::string privatePem, publicLine;
    if (const auto reason = crypto::GenerateKey(privatePem, publicLine)) return Fail(*reason);
    if (const auto reason =
            files::ReplaceFile(files::PathFromUtf8(keyName), privatePem, {}, true)) {
        return Fail("cannot write " + Quoted(keyName) + ": " + *reason);
    }
    if (const auto reason = files::ReplaceFile(files::PathFromUtf8(pubName), publicLine + "\n")) {
        std::error_code ignored;
        std::filesystem::remove(files::PathFromUtf8(keyName), ignored);
        return Fail("cannot write " + Quoted(pubName) + ": " + *reason);
    }
    return {kSuccess, publicLine + "\n", ""};
}

Result Sign(const std::vector<std::string>& args, int64_t now) {
    std::optional<std::string> key, package, expires;
    std::vector<std::string> positional;
    PolicyOptions policy;
    if (auto usage = ParseOptions(
            "sign", args, {{"--key", &key}, {"--package", &package}, {"--expires", &expires}},
            positional, &policy)) {
        return *usage;
    }
    if (positional.size() != 1) return Usage("sign takes one FILE");
    if (!key) return Usage("sign needs --key KEYFILE");
    if (!package) return Usage("sign needs --package PATH");
    std::optional<int64_t> expiry;
    if (expires) {
        int64_t when = 0;
        if (auto r = ParseExpires(*expires, now, when)) return *r;
        expiry = when;
    }
    const std::string& file = positional[0];

    std::string bytes;
    if (auto failure = ReadInfoFile(file, bytes)) return *failure;
    const std::string plain = ScrambleText(bytes, kInformationKey);
    const std::optional<std::string_view> six = FirstSixFields(plain);
    if (!six)
        return Fail(Quoted(file) + " holds fewer than six fields: it is no update information");

    // The file must describe this package: a signed digest of another one would only make
    // every download fail.
    UpdateInfo info;
    SplitControlFields(*six, info);
    const std::filesystem::path packagePath = files::PathFromUtf8(*package);
    uint64_t size = 0;
    if (const auto reason = files::FileLength(packagePath, size)) {
        return Fail("cannot read " + Quoted(*package) + ": " + *reason);
    }
    if (!ParseInt32(SplitAll(*six, '|')[5]) || static_cast<uint64_t>(info.PackageSize) != size) {
        return Fail(Quoted(*package) + " is " + std::to_string(size) + " bytes long, but " +
                    Quoted(file) + " records a package of " + SplitAll(*six, '|')[5] +
                    " bytes: it describes another package");
    }
    Result result;
    std::string name;
    if (!ToFileText(files::BareNameUtf8(packagePath), kPackage, name) && name != info.PackageFile) {
        result.err += "orvinfo: warning: the package is named " +
                      Quoted(files::BareNameUtf8(packagePath)) + " but " + Quoted(file) +
                      " names " + Quoted(DisplayText(info.PackageFile)) + "\n";
    }

    // The file's tagged fields stay, with the options' values in place of those they name; they
    // follow a signed expiry, so they need one.
    TagList tags;
    if (auto failure = BuildTags(policy, ReadTaggedFields(plain), tags)) return *failure;
    if (!tags.empty() && !expiry) return Usage(kPolicyNeedsExpiry);
    std::string signedPlain(*six);
    if (auto failure = AddSignedFields(signedPlain, *package, key, expiry, tags)) return *failure;
    if (auto r = RefuseTooLong(signedPlain)) return *r;
    if (const auto reason = files::ReplaceFile(files::PathFromUtf8(file),
                                               ScrambleText(signedPlain, kInformationKey))) {
        return Fail("cannot write " + Quoted(file) + ": " + *reason);
    }
    return result;
}

Result Verify(const std::vector<std::string>& args, int64_t now) {
    std::optional<std::string> key, package;
    std::vector<std::string> positional;
    if (auto usage =
            ParseOptions("verify", args, {{"--key", &key}, {"--package", &package}}, positional)) {
        return *usage;
    }
    if (positional.size() != 1) return Usage("verify takes one FILE");
    if (!key) return Usage("verify needs --key PUBFILE");
    const std::string& file = positional[0];

    std::string keyText, bytes;
    if (auto failure = ReadKeyFile(*key, keyText)) return *failure;
    if (auto failure = ReadInfoFile(file, bytes)) return *failure;
    const std::string plain = ScrambleText(bytes, kInformationKey);
    const SignedFields fields = ReadSignedFields(plain);
    if (fields.Signature == FieldState::Absent) return Fail(Quoted(file) + " is not signed");
    if (fields.Digest != FieldState::Valid) {
        return Fail(Quoted(file) + ": the package digest (field 7) is malformed");
    }
    if (fields.Signature != FieldState::Valid) {
        return Fail(Quoted(file) + ": the signature (field 8) is malformed");
    }
    // Why a signature check failed, `what` naming the field; nothing when it passed.
    const auto refusal = [&](const crypto::Verification& v,
                             const std::string& what) -> std::optional<Result> {
        switch (v.verdict) {
            case crypto::Verdict::Valid: return std::nullopt;
            case crypto::Verdict::BadKey: return Fail(Quoted(*key) + ": " + v.reason);
            case crypto::Verdict::BadSignature: return Fail(Quoted(file) + ": " + what + v.reason);
            case crypto::Verdict::CannotVerify: break;
        }
        return Fail(Quoted(file) + " cannot be checked here: " + v.reason);
    };
    const crypto::Verification v =
        crypto::Verify(keyText, fields.SignedText, fields.SignatureBytes);
    if (auto failure = refusal(v, "")) return *failure;
    Result result;
    result.out = "Signature: valid (key " + std::to_string(v.keyIndex + 1) + ")\n";
    if (fields.Expiry != FieldState::Absent) {
        // Field 10 signs fields 1-9, the expiry among them, with a key of the list.
        if (fields.ExpirySignature == FieldState::Absent) {
            return Fail(Quoted(file) +
                        ": the expiry (field 9) is not signed: there is no field 10");
        }
        if (fields.ExpirySignature != FieldState::Valid) {
            return Fail(Quoted(file) + ": the signature of the expiry (field 10) is malformed");
        }
        if (auto failure = refusal(
                crypto::Verify(keyText, fields.ExpirySignedText, fields.ExpirySignatureBytes),
                "the expiry (field 10): "))
            return *failure;
        if (fields.Expiry != FieldState::Valid) {
            return Fail(Quoted(file) + ": the expiry (field 9) is malformed");
        }
        if (now >= fields.ExpiryTime) {
            return Fail(Quoted(file) + " expired at " + UtcTimeText(fields.ExpiryTime) +
                        "; it is " + UtcTimeText(now) + " now");
        }
        result.out += "Expires: " + UtcTimeText(fields.ExpiryTime) + "\n";
    }
    // The tagged fields after field 10 and the last signature, over everything before it.
    const TaggedFields tags = ReadTaggedFields(plain);
    if (tags.State == FieldState::Malformed) return Fail(Quoted(file) + ": " + tags.Problem);
    if (tags.State == FieldState::Valid) {
        if (auto failure = refusal(crypto::Verify(keyText, tags.SignedText, tags.SignatureBytes),
                                   "the tagged fields (last field): "))
            return *failure;
        const ReleasePolicy policy = ReadReleasePolicy(tags);
        if (!policy.Problems.empty()) {
            return Fail(Quoted(file) + ": the tagged field " + policy.Problems.front());
        }
        result.out += "Tagged fields: " + std::to_string(tags.Fields.size()) + ", signed\n";
    }
    if (package) {
        Sha256Digest digest{};
        if (const auto reason = crypto::Sha256OfFile(files::PathFromUtf8(*package), digest)) {
            return Fail("cannot read " + Quoted(*package) + ": " + *reason);
        }
        if (digest != fields.DigestBytes) {
            return Fail(Quoted(*package) + " does not match the package digest of " + Quoted(file));
        }
        result.out += "Package: matches the digest\n";
    }
    return result;
}

}  // namespace

int64_t NowUtc() {
    return static_cast<int64_t>(std::time(nullptr));
}

Date Today() {
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    if (!local) return {};
    return {local->tm_year + 1900, local->tm_mon + 1, local->tm_mday};
}

std::string JsonStringFromCp1252(std::string_view bytes) {
    std::string out = "\"";
    out.reserve(bytes.size() + 2);
    for (char c : bytes) {
        const char32_t cp = text::Cp1252ToCodePoint(static_cast<uint8_t>(c));
        switch (cp) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
                    out += buf;
                } else {
                    text::AppendUtf8(out, cp);
                }
        }
    }
    out += '"';
    return out;
}

namespace {

// A tagged field's value for people: Base64 ones decoded (UTF-8), others in the file's code
// page; as text, line breaks kept as in Description, or as a JSON string.
bool DecodedTag(const TaggedField& f, std::string& utf8) {
    utf8 = TagDisplayValue(f.Name, f.Value);
    return utf8 != f.Value && text::IsValidUtf8(utf8);
}

std::string TagText(const TaggedField& f) {
    std::string utf8;
    if (!DecodedTag(f, utf8)) return DisplayText(f.Value);
    std::string out;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n') continue;
        if (c < 0x20 && c != '\n' && c != '\t') {
            text::AppendUtf8(out, 0xFFFD);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string TagJson(const TaggedField& f) {
    std::string utf8;
    if (!DecodedTag(f, utf8)) return JsonStringFromCp1252(f.Value);
    std::string out = "\"";
    for (char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

}  // namespace

std::string ShowText(std::string_view fileBytes, bool json) {
    const std::string plain = ScrambleText(fileBytes, kInformationKey);
    UpdateInfo info;
    SplitControlFields(plain, info);
    const std::pair<const char*, const std::string*> fields[] = {
        {"Name", &info.Name},
        {"Version", &info.Version},
        {"ReleaseDate", &info.ReleaseDate},
        {"Description", &info.Description},
        {"PackageFile", &info.PackageFile},
    };
    // Fields 7 and 8 are told only when the file has them: a six-field file shows as it
    // always did.
    const SignedFields extra = ReadSignedFields(plain);
    const bool hasExtra = extra.Digest != FieldState::Absent;
    const std::string digest = extra.Digest == FieldState::Valid ? DigestField(extra.DigestBytes)
                                                                 : std::string("malformed");
    const char* signature = extra.Signature == FieldState::Valid       ? "present"
                            : extra.Signature == FieldState::Malformed ? "malformed"
                                                                       : "none";
    // Fields 9 and 10 likewise, only when the file has an expiry.
    const bool hasExpiry = extra.Expiry != FieldState::Absent;
    const std::string expires =
        extra.Expiry == FieldState::Valid ? UtcTimeText(extra.ExpiryTime) : "malformed";
    const char* expirySignature = extra.ExpirySignature == FieldState::Valid       ? "present"
                                  : extra.ExpirySignature == FieldState::Malformed ? "malformed"
                                                                                   : "none";
    // The tagged fields after field 10, by name, unknown ones too; Base64 values decoded.
    const TaggedFields tags = ReadTaggedFields(plain);
    const char* tagSignature = tags.State == FieldState::Valid ? "present" : "malformed";
    std::string out;
    if (json) {
        out = "{";
        for (const auto& [key, value] : fields) {
            out += "\"" + std::string(key) + "\":" + JsonStringFromCp1252(*value) + ",";
        }
        out += "\"PackageSize\":" + std::to_string(info.PackageSize);
        if (hasExtra) {
            out += ",\"PackageDigest\":\"" + digest + "\",\"Signature\":\"" + signature + "\"";
        }
        if (hasExpiry) {
            out +=
                ",\"Expires\":\"" + expires + "\",\"ExpirySignature\":\"" + expirySignature + "\"";
        }
        if (tags.State != FieldState::Absent) {
            out += ",\"Tags\":{";
            for (std::size_t i = 0; i < tags.Fields.size(); ++i) {
                const TaggedField& f = tags.Fields[i];
                out += (i ? "," : "") + JsonStringFromCp1252(f.Name) + ":" + TagJson(f);
            }
            out += "},\"TagSignature\":\"" + std::string(tagSignature) + "\"";
        }
        out += "}\n";
    } else {
        for (const auto& [key, value] : fields) {
            out += std::string(key) + ": " + DisplayText(*value) + "\n";
        }
        out += "PackageSize: " + std::to_string(info.PackageSize) + "\n";
        if (hasExtra) {
            out += "PackageDigest: " + digest + "\n";
            out += "Signature: " + std::string(signature) + "\n";
        }
        if (hasExpiry) {
            out += "Expires: " + expires + "\n";
            out += "ExpirySignature: " + std::string(expirySignature) + "\n";
        }
        if (tags.State != FieldState::Absent) {
            for (const TaggedField& f : tags.Fields) {
                out += "Tag " + std::string(f.Name) + ": " + TagText(f) + "\n";
            }
            out += "TagSignature: " + std::string(tagSignature) + "\n";
        }
    }
    return out;
}

std::string HelpText() {
    return std::string(kUsageLine) +
           "\n\n"
           "  show FILE          print the six fields of an update information file\n"
           "    --json           as one JSON object (texts in UTF-8)\n"
           "  make               write an update information file, as the maker saves it\n"
           "    --name TEXT      application name\n"
           "    --version V      MAJOR.MINOR.RELEASE or MAJOR.MINOR.RELEASE.FOURTH\n"
           "    --date D         release date MM/DD/YYYY (default today)\n"
           "    --comments TEXT  comments; or --comments-file FILE (UTF-8)\n"
           "    --package PATH   the update package: its name and size are recorded\n"
           "    -o FILE          the file to write; an existing one is replaced whole\n"
           "    --digest         add the package's SHA-256 digest (field 7)\n"
           "    --sign KEYFILE   add the digest and the publisher's signature (fields 7 and 8)\n"
           "    --expires WHEN   with --sign: readers refuse the file from WHEN on (fields 9\n"
           "                     and 10): YYYY-MM-DDTHH:MM:SSZ in UTC, or Nd, N days from now\n"
           "    POLICY           with --sign and --expires, the release policy as signed\n"
           "                     tagged fields after field 10:\n"
           "    --urls \"URL ...\" more places of the package (http:// or https://), tried in\n"
           "                     order after the default one\n"
           "    --critical       a critical update; --critical=VERSION: for versions below it\n"
           "    --min-version V  the oldest installed version that may update directly\n"
           "    --rollout P      offer it to P percent of users (1-100) in quiet checks\n"
           "    --args TEXT      the installer's arguments for this release\n"
           "    --notes-file F   the release notes (UTF-8 Markdown)\n"
           "    --tag NAME:VALUE any other tagged field (repeatable)\n"
           "  keygen -o NAME     make a P-256 key pair: NAME.key (private, PKCS#8 PEM, readable\n"
           "                     by its owner only) and NAME.pub (the public key on one line)\n"
           "  sign FILE          add or replace the digest and signature of an existing file\n"
           "    --key KEYFILE    the private key\n"
           "    --package PATH   the package the file describes\n"
           "    --expires WHEN   as with make; without it the file has no expiry\n"
           "    POLICY           as with make; the file's tagged fields stay unless replaced\n"
           "  verify FILE        check the signatures (fields 8, 10 and the last one after the\n"
           "                     tagged fields) and the expiry when there is one; exit\n"
           "                     status 0 only when the signatures are valid and it has not "
           "expired\n"
           "    --key PUBFILE    the public key (several separated by \";\": any may have signed)\n"
           "    --package PATH   also check that the package matches the digest\n"
           "\n"
           "Texts are UTF-8 and must be representable in Windows-1252.\n"
           "Exit status: 0 done, 1 refused or a file failed, 2 wrong command line.\n";
}

Result Run(const std::vector<std::string>& args, const Date& today, const files::Writer& writer,
           std::optional<int64_t> now) {
    try {
        const int64_t clock = now ? *now : NowUtc();
        if (args.empty()) return Usage("missing command show, make, keygen, sign or verify");
        const std::string& command = args[0];
        const std::vector<std::string> rest(args.begin() + 1, args.end());
        if (command == "--help" || command == "-h" || command == "help") {
            return {kSuccess, HelpText(), ""};
        }
        if (command == "show") return Show(rest);
        if (command == "make") return Make(rest, today, writer, clock);
        if (command == "keygen") return Keygen(rest);
        if (command == "sign") return Sign(rest, clock);
        if (command == "verify") return Verify(rest, clock);
        return Usage("unknown command " + Quoted(command));
    } catch (const std::exception& e) {
        return Fail(std::string("internal error: ") + e.what());
    } catch (...) {
        return Fail("internal error");
    }
}

}  // namespace orv::orvinfo
