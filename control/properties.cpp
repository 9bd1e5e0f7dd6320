// The control's properties: storage, get/put with change notification, design-time
// refusal, and persistence in property bags and streams.
#include "control/properties.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "control/orvane_control.h"
#include "control/trust/trust.h"

namespace orv {

std::string NormaliseRemotePath(std::string path) {
    if (path.empty()) return "/";
    if (path != "/" && path.front() != '/') path.insert(path.begin(), '/');
    if (path.back() != '/') path.push_back('/');
    return path;
}

const wchar_t* PropertyName(DISPID id) {
    for (const PropertyInfo& p : kProperties)
        if (p.id == id) return p.name;
    return L"The property";
}

HRESULT OutOfRange(const wchar_t* name, PropertyRange range) {
    return RuntimeError(kErrInvalidPropertyValue, std::wstring(name) + L" must be between " +
                                                      std::to_wstring(range.low) + L" and " +
                                                      std::to_wstring(range.high));
}

HRESULT InvalidKeyList() {
    return RuntimeError(kErrInvalidPropertyValue,
                        L"PublisherKey must be empty or hold P-256 public keys (each the line of "
                        L"a NAME.pub file that orvinfo keygen writes), separated by \";\"");
}

HRESULT NoRecordYet() {
    return RuntimeError(kErrTypeMismatch,
                        L"UpdateInformation holds no record until a check has raised InfoReceived");
}

HRESULT NotAnUpdateInfo() {
    return RuntimeError(kErrTypeMismatch, L"UpdateInformation takes an UPDATEINFO record only");
}

HRESULT DesignTimeSet(const wchar_t* name) {
    return RuntimeError(kErrSetNotPermitted, std::wstring(name) + L" can't be set at design time");
}

void OrvaneControl::SetDefaults() {
    props_ = Properties{};
}

// ---------------------------------------------------------------------------------------
// Get and put, by kind

template <PropertyKind K>
HRESULT OrvaneControl::GetValue(const typename PropertyTraits<K>::Member& member,
                                typename PropertyTraits<K>::Get out) {
    RETURN_HR_IF_NULL(E_POINTER, out);
    return ComMethod([&]() -> HRESULT {
        if constexpr (K == PropertyKind::Text || K == PropertyKind::Path ||
                      K == PropertyKind::Keys) {
            *out = ToBstr(member);
        } else if constexpr (K == PropertyKind::Long) {
            *out = member;
        } else if constexpr (K == PropertyKind::Bool) {
            *out = member ? VARIANT_TRUE : VARIANT_FALSE;
        } else if constexpr (K == PropertyKind::State) {
            *out = static_cast<CONTROLSTATE>(member);
        } else {
            // Reading while the member holds the number 0 is a type mismatch.
            if (!member.HoldsRecord() || !recordInfo_) return NoRecordYet();
            std::memset(out, 0, sizeof(*out));
            return recordInfo_->RecordCopy(V_RECORD(member.get()), out);
        }
        return S_OK;
    });
}

template <PropertyKind K>
HRESULT OrvaneControl::PutValue(typename PropertyTraits<K>::Member& member,
                                typename PropertyTraits<K>::Put value, DISPID id,
                                [[maybe_unused]] PropertyRange range) {
    return ComMethod([&]() -> HRESULT {
        if constexpr (K == PropertyKind::Text) {
            member = ToAnsi(value);
        } else if constexpr (K == PropertyKind::Path) {
            member = NormaliseRemotePath(ToAnsi(value));
        } else if constexpr (K == PropertyKind::Keys) {
            // A key list that can never verify anything is refused here, where the host can
            // still correct it; the text is stored as given.
            std::string text = ToAnsi(value);
            if (!trust::ParseKeyList(text).Ok) return InvalidKeyList();
            member = std::move(text);
        } else if constexpr (K == PropertyKind::Long) {
            if (!range.Holds(value)) return OutOfRange(PropertyName(id), range);
            member = value;
        } else if constexpr (K == PropertyKind::Bool) {
            member = value != VARIANT_FALSE;
        } else {
            RETURN_HR_IF_NULL(E_POINTER, value);
            if (!UserMode()) return DesignTimeSet(PropertyName(id));
            if constexpr (K == PropertyKind::State)
                member = *value;
            else
                RETURN_IF_FAILED(StoreUpdateInformation(*value, member));
        }
        PropertyChanged(id);
        return S_OK;
    });
}

#define ORV_PROPERTY(name, id, kind, def, page, field, ...)                                      \
    STDMETHODIMP OrvaneControl::get_##name(PropertyTraits<PropertyKind::kind>::Get value) {      \
        return GetValue<PropertyKind::kind>(props_.name, value);                                 \
    }                                                                                            \
    STDMETHODIMP OrvaneControl::put_##name(PropertyTraits<PropertyKind::kind>::Put value) {      \
        return PutValue<PropertyKind::kind>(props_.name, value, id, PropertyRange{__VA_ARGS__}); \
    }
#include "control/property_table.h"

void OrvaneControl::PublishState(int32_t state, bool notify) {
    if (dialogRunning_ && state == CTRL_STATE_FREE) watch_.OnFree();
    if (!notify) {
        props_.UpdateState = state;
        return;
    }
    // The control publishes its own state; at design time nothing runs, so the put's
    // design-time refusal can't trigger here.
    CONTROLSTATE s = static_cast<CONTROLSTATE>(state);
    put_UpdateState(&s);
}

void OrvaneControl::StoreInformation(UPDATEINFO& record) {
    put_UpdateInformation(&record);
}

HRESULT OrvaneControl::StoreUpdateInformation(const UPDATEINFO& info, RecordValue& slot) {
    RETURN_HR_IF_NULL(E_UNEXPECTED, recordInfo_);
    void* copy = nullptr;
    RETURN_IF_FAILED(recordInfo_->RecordCreateCopy(const_cast<UPDATEINFO*>(&info), &copy));
    slot.reset();
    V_VT(slot.get()) = VT_RECORD;
    V_RECORD(slot.get()) = copy;
    V_RECORDINFO(slot.get()) = recordInfo_.Get();
    recordInfo_->AddRef();
    return S_OK;
}

bool OrvaneControl::IsUpdateInfoRecord(const VARIANT& v) const {
    if ((V_VT(&v) & ~VT_BYREF) != VT_RECORD || !V_RECORD(&v) || !V_RECORDINFO(&v)) return false;
    GUID guid = GUID_NULL, ours = GUID_NULL;
    return recordInfo_ && SUCCEEDED(V_RECORDINFO(&v)->GetGuid(&guid)) &&
           SUCCEEDED(recordInfo_->GetGuid(&ours)) && guid == ours;
}

// ---------------------------------------------------------------------------------------
// Persistence

STDMETHODIMP OrvaneControl::GetClassID(CLSID* clsid) {
    RETURN_HR_IF_NULL(E_POINTER, clsid);
    *clsid = CLSID_Orvane;
    return S_OK;
}

STDMETHODIMP OrvaneControl::InitNew() {
    ScheduleAutoCheck();
    WatchInstalled();
    SetDefaults();
    dirty_ = false;
    return S_OK;
}

STDMETHODIMP OrvaneControl::IsDirty() {
    return dirty_ ? S_OK : S_FALSE;
}

namespace {

// Reads one key, converted to `vt`, into `out` (all zero before the read); false when the
// bag lacks it or it doesn't convert.
bool ReadKey(IPropertyBag* bag, IErrorLog* log, const wchar_t* key, VARTYPE vt,
             unique_variant& out) {
    out.reset();
    V_VT(out.get()) = vt;
    if (FAILED(bag->Read(key, out.get(), log))) {
        out.reset();
        return false;
    }
    if (V_VT(out.get()) != vt && FAILED(VariantChangeType(out.get(), out.get(), 0, vt))) {
        out.reset();
        return false;
    }
    return true;
}

// One value of the bag: read with the property's default when missing, written unless it
// equals its default and the container lets the bag leave defaults out.
struct BagValue {
    IPropertyBag* bag;
    IErrorLog* log;
    bool saveAll;

    HRESULT Read(const PropertyInfo& p, std::string& member) {
        unique_variant v;
        member = ReadKey(bag, log, p.name, VT_BSTR, v) ? ToAnsi(V_BSTR(v.get())) : p.def.text;
        return S_OK;
    }
    HRESULT Read(const PropertyInfo& p, int32_t& member) {
        unique_variant v;
        member = ReadKey(bag, log, p.name, VT_I4, v) ? V_I4(v.get()) : p.def.number;
        return S_OK;
    }
    HRESULT Read(const PropertyInfo& p, bool& member) {
        unique_variant v;
        member = ReadKey(bag, log, p.name, VT_BOOL, v) ? V_BOOL(v.get()) != VARIANT_FALSE
                                                       : p.def.number != 0;
        return S_OK;
    }

    HRESULT Write(const PropertyInfo& p, const std::string& value) {
        if (!saveAll && value == p.def.text) return S_OK;
        unique_variant v;
        V_VT(v.get()) = VT_BSTR;
        V_BSTR(v.get()) = ToBstr(value);
        return bag->Write(p.name, v.get());
    }
    HRESULT Write(const PropertyInfo& p, int32_t value) {
        if (!saveAll && value == p.def.number) return S_OK;
        VARIANT v{};
        V_VT(&v) = VT_I4;
        V_I4(&v) = value;
        return bag->Write(p.name, &v);
    }
    HRESULT Write(const PropertyInfo& p, bool value) {
        if (!saveAll && value == (p.def.number != 0)) return S_OK;
        VARIANT v{};
        V_VT(&v) = VT_BOOL;
        V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE;
        return bag->Write(p.name, &v);
    }
    // The record member goes as the variant it holds; the number 0 is its default.
    HRESULT Write(const PropertyInfo& p, const RecordValue& value) {
        if (!saveAll && !value.HoldsRecord()) {
            VARIANT n{};
            if (SUCCEEDED(VariantChangeType(&n, const_cast<VARIANT*>(value.get()), 0, VT_I4)) &&
                V_I4(&n) == p.def.number)
                return S_OK;
        }
        return bag->Write(p.name, const_cast<VARIANT*>(value.get()));
    }
};

}  // namespace

STDMETHODIMP OrvaneControl::Load(IPropertyBag* bag, IErrorLog* log) {
    RETURN_HR_IF_NULL(E_POINTER, bag);
    ScheduleAutoCheck();
    WatchInstalled();
    return ComBoundary([&] {
        // Values are read into a new set and taken only when all of them were acceptable.
        Properties loaded;
        BagValue io{bag, log, false};
        RETURN_IF_FAILED(ForEachProperty(loaded, [&](const PropertyInfo& p, auto& member) {
            if constexpr (std::is_same_v<std::decay_t<decltype(member)>, RecordValue>) {
                // Taken as the bag holds it: the number 0 or a record, which must be an
                // UPDATEINFO.
                unique_variant v;
                if (FAILED(bag->Read(p.name, v.get(), log))) return S_OK;  // the default stays
                if ((V_VT(v.get()) & ~VT_BYREF) == VT_RECORD && !IsUpdateInfoRecord(*v.get()))
                    return NotAnUpdateInfo();
                member.reset();
                return VariantCopy(member.get(), v.get());
            } else {
                RETURN_IF_FAILED(io.Read(p, member));
                // A number outside its row's bounds is refused as a put of it would be.
                if constexpr (std::is_same_v<std::decay_t<decltype(member)>, int32_t>) {
                    if (!p.range.Holds(member)) return OutOfRange(p.name, p.range);
                }
                return S_OK;
            }
        }));
        props_ = std::move(loaded);
        dirty_ = false;
        return S_OK;
    });
}

STDMETHODIMP OrvaneControl::Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) {
    RETURN_HR_IF_NULL(E_POINTER, bag);
    return ComBoundary([&] {
        RETURN_IF_FAILED(ForEachProperty(props_, [&](const PropertyInfo& p, const auto& member) {
            // The rows added since the twelve are written only when not at their default, even
            // when the container asks for every value: a control that leaves them at their
            // defaults writes what it always wrote, and a missing key loads as the default.
            BagValue io{bag, nullptr, saveAll != FALSE && !SavedOnlyWhenSet(p)};
            return io.Write(p, member);
        }));
        if (clearDirty) dirty_ = false;
        return S_OK;
    });
}

// The stream form: a tag, a format number, then the values in key order. Texts are a 32-bit
// byte count and the bytes; the record, when held, its eight fields likewise, in the order of
// control/record_fields.h. Format 1 holds the twelve values of _Orvane; a control with a
// PublisherKey writes format 2, which adds it after them, so a control without one writes the
// very bytes it always wrote. A control with a row after PublisherKey away from its default
// writes format 3: format 2 (the key even when empty), then a list of those rows: a count,
// and per row its dispatch id, the byte count of its value and the value. A reader skips the
// rows it doesn't know by their byte count.
namespace {

constexpr uint32_t kStreamTag = 0x4E56524F;  // "ORVN"
constexpr uint32_t kStreamFormat = 1;
constexpr uint32_t kStreamFormatWithKey = 2;
constexpr uint32_t kStreamFormatTagged = 3;
constexpr uint32_t kMaxStreamText = 1u << 20;

// The tagged rows are Longs, each kept as its 32 bits, Bools, kept as 32 bits holding 0 or 1,
// or Texts, kept as their bytes; a row of another kind needs its own encoding in the list.
static_assert(std::ranges::all_of(kProperties, [](const PropertyInfo& p) {
    return !KeptTagged(p) || p.kind == PropertyKind::Long || p.kind == PropertyKind::Bool ||
           p.kind == PropertyKind::Text;
}));

class StreamWriter {
   public:
    explicit StreamWriter(IStream* s) : s_(s) {}
    HRESULT U32(uint32_t v) { return Raw(&v, sizeof v); }
    HRESULT Text(const std::string& t) {
        RETURN_IF_FAILED(U32(static_cast<uint32_t>(t.size())));
        return t.empty() ? S_OK : Raw(t.data(), static_cast<ULONG>(t.size()));
    }
    // A field of the record: texts as texts, the number as its 32 bits.
    HRESULT Field(RecordText, const std::string& t) { return Text(t); }
    HRESULT Field(RecordNumber, int32_t n) { return U32(static_cast<uint32_t>(n)); }
    HRESULT Raw(const void* p, ULONG n) {
        ULONG written = 0;
        RETURN_IF_FAILED(s_->Write(p, n, &written));
        return written == n ? S_OK : STG_E_MEDIUMFULL;
    }

   private:
    IStream* s_;
};

class StreamReader {
   public:
    explicit StreamReader(IStream* s) : s_(s) {}
    HRESULT U32(uint32_t& v) { return Raw(&v, sizeof v); }
    HRESULT Text(std::string& t) {
        uint32_t n = 0;
        RETURN_IF_FAILED(U32(n));
        if (n > kMaxStreamText) return E_FAIL;
        t.assign(n, '\0');
        return n ? Raw(t.data(), n) : S_OK;
    }
    HRESULT Field(RecordText, std::string& t) { return Text(t); }
    HRESULT Field(RecordNumber, int32_t& n) {
        uint32_t v = 0;
        RETURN_IF_FAILED(U32(v));
        n = static_cast<int32_t>(v);
        return S_OK;
    }
    HRESULT Raw(void* p, ULONG n) {
        ULONG got = 0;
        RETURN_IF_FAILED(s_->Read(p, n, &got));
        return got == n ? S_OK : E_FAIL;
    }
    HRESULT Skip(uint32_t n) {
        if (n > kMaxStreamText) return E_FAIL;
        std::string unread(n, '\0');
        return n ? Raw(unread.data(), n) : S_OK;
    }

   private:
    IStream* s_;
};

struct TaggedValue {
    DISPID id;
    int32_t value;
    std::optional<std::string> text;  // a Text row's value instead of the number
};

// The tagged rows away from their defaults, in table order.
std::vector<TaggedValue> TaggedValuesToSave(const Properties& values) {
    std::vector<TaggedValue> out;
    ForEachProperty(values, [&](const PropertyInfo& p, const auto& member) {
        if constexpr (std::is_same_v<std::decay_t<decltype(member)>, int32_t>) {
            if (KeptTagged(p) && member != p.def.number) out.push_back({p.id, member, {}});
        } else if constexpr (std::is_same_v<std::decay_t<decltype(member)>, bool>) {
            if (KeptTagged(p) && member != (p.def.number != 0))
                out.push_back({p.id, member ? 1 : 0, {}});
        } else if constexpr (std::is_same_v<std::decay_t<decltype(member)>, std::string>) {
            if (KeptTagged(p) && member != p.def.text) out.push_back({p.id, 0, member});
        }
        return S_OK;
    });
    return out;
}

// Format 3's list into `loaded`: rows of unknown ids are skipped; a row twice, a value of the
// wrong size or outside its row's bounds, or a list cut short refuses the whole stream.
HRESULT LoadTagged(StreamReader& r, Properties& loaded) {
    uint32_t count = 0;
    RETURN_IF_FAILED(r.U32(count));
    std::vector<DISPID> seen;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t id = 0, size = 0;
        RETURN_IF_FAILED(r.U32(id));
        RETURN_IF_FAILED(r.U32(size));
        bool known = false;
        RETURN_IF_FAILED(ForEachProperty(loaded, [&](const PropertyInfo& p, auto& member) {
            if (!KeptTagged(p) || static_cast<uint32_t>(p.id) != id) return S_OK;
            known = true;
            if constexpr (std::is_same_v<std::decay_t<decltype(member)>, int32_t>) {
                uint32_t v = 0;
                if (size != sizeof v || std::ranges::count(seen, p.id)) return E_FAIL;
                RETURN_IF_FAILED(r.U32(v));
                if (!p.range.Holds(static_cast<int32_t>(v))) return E_FAIL;
                member = static_cast<int32_t>(v);
                seen.push_back(p.id);
                return S_OK;
            } else if constexpr (std::is_same_v<std::decay_t<decltype(member)>, bool>) {
                uint32_t v = 0;
                if (size != sizeof v || std::ranges::count(seen, p.id)) return E_FAIL;
                RETURN_IF_FAILED(r.U32(v));
                if (v > 1) return E_FAIL;
                member = v != 0;
                seen.push_back(p.id);
                return S_OK;
            } else if constexpr (std::is_same_v<std::decay_t<decltype(member)>, std::string>) {
                if (size > kMaxStreamText || std::ranges::count(seen, p.id)) return E_FAIL;
                member.assign(size, '\0');
                if (size) RETURN_IF_FAILED(r.Raw(member.data(), size));
                seen.push_back(p.id);
                return S_OK;
            }
            return E_UNEXPECTED;
        }));
        if (!known) RETURN_IF_FAILED(r.Skip(size));
    }
    return S_OK;
}

}  // namespace

STDMETHODIMP OrvaneControl::Load(LPSTREAM stream) {
    RETURN_HR_IF_NULL(E_POINTER, stream);
    ScheduleAutoCheck();
    WatchInstalled();
    return ComBoundary([&]() -> HRESULT {
        StreamReader r(stream);
        uint32_t tag = 0, format = 0;
        RETURN_IF_FAILED(r.U32(tag));
        RETURN_IF_FAILED(r.U32(format));
        if (tag != kStreamTag || format < kStreamFormat || format > kStreamFormatTagged)
            return E_FAIL;
        Properties loaded;
        RETURN_IF_FAILED(ForEachProperty(loaded, [&](const PropertyInfo& p, auto& member) {
            using T = std::decay_t<decltype(member)>;
            if (KeptTagged(p) || (p.id == DISPID_ORV_PUBLISHERKEY && format == kStreamFormat))
                return S_OK;
            if constexpr (std::is_same_v<T, std::string>) {
                return r.Text(member);
            } else if constexpr (std::is_same_v<T, RecordValue>) {
                uint32_t hasRecord = 0;
                RETURN_IF_FAILED(r.U32(hasRecord));
                if (!hasRecord) return S_OK;
                UpdateInfo info;
                RETURN_IF_FAILED(ForEachRecordField(
                    info, [&](auto kind, auto& field) { return r.Field(kind, field); }));
                OwnedRecord rec(info);
                return StoreUpdateInformation(*rec.get(), member);
            } else {
                uint32_t n = 0;
                RETURN_IF_FAILED(r.U32(n));
                member = static_cast<T>(n);
                return S_OK;
            }
        }));
        if (format == kStreamFormatTagged) RETURN_IF_FAILED(LoadTagged(r, loaded));
        props_ = std::move(loaded);
        dirty_ = false;
        return S_OK;
    });
}

STDMETHODIMP OrvaneControl::Save(LPSTREAM stream, BOOL clearDirty) {
    RETURN_HR_IF_NULL(E_POINTER, stream);
    return ComBoundary([&] {
        StreamWriter w(stream);
        const std::vector<TaggedValue> tagged = TaggedValuesToSave(props_);
        const uint32_t format = !tagged.empty()                ? kStreamFormatTagged
                                : !props_.PublisherKey.empty() ? kStreamFormatWithKey
                                                               : kStreamFormat;
        RETURN_IF_FAILED(w.U32(kStreamTag));
        RETURN_IF_FAILED(w.U32(format));
        RETURN_IF_FAILED(ForEachProperty(props_, [&](const PropertyInfo& p, const auto& member) {
            using T = std::decay_t<decltype(member)>;
            if (KeptTagged(p) || (p.id == DISPID_ORV_PUBLISHERKEY && format == kStreamFormat))
                return S_OK;
            if constexpr (std::is_same_v<T, std::string>) {
                return w.Text(member);
            } else if constexpr (std::is_same_v<T, RecordValue>) {
                const UPDATEINFO* rec = member.Record();
                RETURN_IF_FAILED(w.U32(rec != nullptr));
                if (!rec) return S_OK;
                const UpdateInfo info = ToUpdateInfo(*rec);
                return ForEachRecordField(
                    info, [&](auto kind, const auto& field) { return w.Field(kind, field); });
            } else {
                return w.U32(static_cast<uint32_t>(member));
            }
        }));
        if (format == kStreamFormatTagged) {
            RETURN_IF_FAILED(w.U32(static_cast<uint32_t>(tagged.size())));
            for (const TaggedValue& t : tagged) {
                RETURN_IF_FAILED(w.U32(static_cast<uint32_t>(t.id)));
                if (t.text) {
                    RETURN_IF_FAILED(w.Text(*t.text));
                    continue;
                }
                RETURN_IF_FAILED(w.U32(sizeof(uint32_t)));
                RETURN_IF_FAILED(w.U32(static_cast<uint32_t>(t.value)));
            }
        }
        if (clearDirty) dirty_ = false;
        return S_OK;
    });
}

STDMETHODIMP OrvaneControl::GetSizeMax(ULARGE_INTEGER* size) {
    RETURN_HR_IF_NULL(E_POINTER, size);
    // Texts have no fixed bound; containers that need one get a generous estimate.
    size->QuadPart = 64 * 1024;
    return S_OK;
}

}  // namespace orv
