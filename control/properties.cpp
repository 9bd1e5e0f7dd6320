// The control's properties: storage, get/put with change notification, design-time
// refusal, and persistence in property bags and streams.
#include "control/properties.h"

#include <cstring>
#include <vector>

#include "control/orvane_control.h"

namespace orv {

std::string NormaliseRemotePath(std::string path) {
    if (path.empty()) return "/";
    if (path != "/" && path.front() != '/') path.insert(path.begin(), '/');
    if (path.back() != '/') path.push_back('/');
    return path;
}

void OrvaneControl::SetDefaults() {
    props_ = ConnectionProperties{};
    updateState_ = CTRL_STATE_FREE;
    updateInformation_.reset();
    V_VT(updateInformation_.get()) = VT_I2;
    V_I2(updateInformation_.get()) = 0;
}

// ---------------------------------------------------------------------------------------
// Get and put

namespace {

HRESULT GetText(const std::string& member, BSTR* out) {
    RETURN_HR_IF_NULL(E_POINTER, out);
    return ComBoundary([&] {
        *out = ToBstr(member);
        return S_OK;
    });
}

}  // namespace

HRESULT OrvaneControl::PutText(std::string& member, BSTR value, DISPID id) {
    return ComBoundary([&] {
        member = ToAnsi(value);
        PropertyChanged(id);
        return S_OK;
    });
}

HRESULT OrvaneControl::PutLong(int32_t& member, LONG value, DISPID id) {
    member = value;
    PropertyChanged(id);
    return S_OK;
}

HRESULT OrvaneControl::PutBool(bool& member, VARIANT_BOOL value, DISPID id) {
    member = value != VARIANT_FALSE;
    PropertyChanged(id);
    return S_OK;
}

STDMETHODIMP OrvaneControl::get_RemoteHost(BSTR* v) {
    return GetText(props_.RemoteHost, v);
}
STDMETHODIMP OrvaneControl::put_RemoteHost(BSTR v) {
    return PutText(props_.RemoteHost, v, kDispRemoteHost);
}
STDMETHODIMP OrvaneControl::get_RemotePort(LONG* v) {
    RETURN_HR_IF_NULL(E_POINTER, v);
    *v = props_.RemotePort;
    return S_OK;
}
STDMETHODIMP OrvaneControl::put_RemotePort(LONG v) {
    return PutLong(props_.RemotePort, v, kDispRemotePort);
}
STDMETHODIMP OrvaneControl::get_RemotePath(BSTR* v) {
    return GetText(props_.RemotePath, v);
}
STDMETHODIMP OrvaneControl::put_RemotePath(BSTR v) {
    return ComBoundary([&] {
        props_.RemotePath = NormaliseRemotePath(ToAnsi(v));
        PropertyChanged(kDispRemotePath);
        return S_OK;
    });
}
STDMETHODIMP OrvaneControl::get_RemoteFile(BSTR* v) {
    return GetText(props_.RemoteFile, v);
}
STDMETHODIMP OrvaneControl::put_RemoteFile(BSTR v) {
    return PutText(props_.RemoteFile, v, kDispRemoteFile);
}
STDMETHODIMP OrvaneControl::get_ProxyHost(BSTR* v) {
    return GetText(props_.ProxyHost, v);
}
STDMETHODIMP OrvaneControl::put_ProxyHost(BSTR v) {
    return PutText(props_.ProxyHost, v, kDispProxyHost);
}
STDMETHODIMP OrvaneControl::get_ProxyPort(LONG* v) {
    RETURN_HR_IF_NULL(E_POINTER, v);
    *v = props_.ProxyPort;
    return S_OK;
}
STDMETHODIMP OrvaneControl::put_ProxyPort(LONG v) {
    return PutLong(props_.ProxyPort, v, kDispProxyPort);
}
STDMETHODIMP OrvaneControl::get_Proxy(VARIANT_BOOL* v) {
    RETURN_HR_IF_NULL(E_POINTER, v);
    *v = props_.Proxy ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
STDMETHODIMP OrvaneControl::put_Proxy(VARIANT_BOOL v) {
    return PutBool(props_.Proxy, v, kDispProxy);
}
STDMETHODIMP OrvaneControl::get_AuthPassword(BSTR* v) {
    return GetText(props_.AuthPassword, v);
}
STDMETHODIMP OrvaneControl::put_AuthPassword(BSTR v) {
    return PutText(props_.AuthPassword, v, kDispAuthPassword);
}
STDMETHODIMP OrvaneControl::get_AuthUsername(BSTR* v) {
    return GetText(props_.AuthUsername, v);
}
STDMETHODIMP OrvaneControl::put_AuthUsername(BSTR v) {
    return PutText(props_.AuthUsername, v, kDispAuthUsername);
}
STDMETHODIMP OrvaneControl::get_Authorization(VARIANT_BOOL* v) {
    RETURN_HR_IF_NULL(E_POINTER, v);
    *v = props_.Authorization ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}
STDMETHODIMP OrvaneControl::put_Authorization(VARIANT_BOOL v) {
    return PutBool(props_.Authorization, v, kDispAuthorization);
}

STDMETHODIMP OrvaneControl::get_UpdateState(CONTROLSTATE* v) {
    RETURN_HR_IF_NULL(E_POINTER, v);
    *v = static_cast<CONTROLSTATE>(updateState_);
    return S_OK;
}

STDMETHODIMP OrvaneControl::put_UpdateState(CONTROLSTATE* v) {
    RETURN_HR_IF_NULL(E_POINTER, v);
    if (!UserMode()) return RuntimeError(kErrSetNotPermitted, L"Can't set property at design time");
    updateState_ = *v;
    PropertyChanged(kDispUpdateState);
    return S_OK;
}

void OrvaneControl::SetUpdateStateFromOperation() {
    // The control publishes its own state; at design time nothing runs, so the put's
    // design-time refusal can't trigger here.
    CONTROLSTATE s = static_cast<CONTROLSTATE>(operationState_);
    put_UpdateState(&s);
}

STDMETHODIMP OrvaneControl::get_UpdateInformation(UPDATEINFO* v) {
    RETURN_HR_IF_NULL(E_POINTER, v);
    const VARIANT* held = updateInformation_.get();
    if (V_VT(held) != VT_RECORD || !V_RECORD(held) || !recordInfo_)
        return RuntimeError(kErrTypeMismatch, L"Type mismatch");
    std::memset(v, 0, sizeof(*v));
    return recordInfo_->RecordCopy(V_RECORD(held), v);
}

HRESULT OrvaneControl::StoreUpdateInformation(const UPDATEINFO& info) {
    RETURN_HR_IF_NULL(E_UNEXPECTED, recordInfo_);
    void* copy = nullptr;
    RETURN_IF_FAILED(recordInfo_->RecordCreateCopy(const_cast<UPDATEINFO*>(&info), &copy));
    updateInformation_.reset();
    V_VT(updateInformation_.get()) = VT_RECORD;
    V_RECORD(updateInformation_.get()) = copy;
    V_RECORDINFO(updateInformation_.get()) = recordInfo_;
    recordInfo_->AddRef();
    return S_OK;
}

STDMETHODIMP OrvaneControl::put_UpdateInformation(UPDATEINFO* v) {
    RETURN_HR_IF_NULL(E_POINTER, v);
    if (!UserMode()) return RuntimeError(kErrSetNotPermitted, L"Can't set property at design time");
    RETURN_IF_FAILED(StoreUpdateInformation(*v));
    PropertyChanged(kDispUpdateInformation);
    return S_OK;
}

// ---------------------------------------------------------------------------------------
// Persistence

STDMETHODIMP OrvaneControl::GetClassID(CLSID* clsid) {
    RETURN_HR_IF_NULL(E_POINTER, clsid);
    *clsid = CLSID_Orvane;
    return S_OK;
}

STDMETHODIMP OrvaneControl::InitNew() {
    SetDefaults();
    dirty_ = false;
    return S_OK;
}

STDMETHODIMP OrvaneControl::IsDirty() {
    return dirty_ ? S_OK : S_FALSE;
}

namespace {

// Reads one key, converted to `vt`; false when the bag lacks it or it doesn't convert.
bool ReadKey(IPropertyBag* bag, IErrorLog* log, const wchar_t* key, VARTYPE vt, VARIANT* out) {
    VariantInit(out);
    V_VT(out) = vt;
    if (FAILED(bag->Read(key, out, log))) {
        VariantClear(out);
        VariantInit(out);
        return false;
    }
    if (V_VT(out) != vt && FAILED(VariantChangeType(out, out, 0, vt))) {
        VariantClear(out);
        return false;
    }
    return true;
}

void ReadText(IPropertyBag* bag, IErrorLog* log, const wchar_t* key, std::string& member,
              const char* def) {
    unique_variant v;
    member = ReadKey(bag, log, key, VT_BSTR, v.get()) ? ToAnsi(V_BSTR(v.get())) : def;
}

void ReadLong(IPropertyBag* bag, IErrorLog* log, const wchar_t* key, int32_t& member, int32_t def) {
    unique_variant v;
    member = ReadKey(bag, log, key, VT_I4, v.get()) ? V_I4(v.get()) : def;
}

void ReadBool(IPropertyBag* bag, IErrorLog* log, const wchar_t* key, bool& member) {
    unique_variant v;
    member = ReadKey(bag, log, key, VT_BOOL, v.get()) && V_BOOL(v.get()) != VARIANT_FALSE;
}

// Writes one key unless it holds its default: the bag may leave defaults out.
HRESULT WriteVariant(IPropertyBag* bag, const wchar_t* key, VARIANT* v) {
    return bag->Write(key, v);
}

HRESULT WriteText(IPropertyBag* bag, const wchar_t* key, const std::string& value, const char* def,
                  bool saveAll) {
    if (!saveAll && value == def) return S_OK;
    unique_variant v;
    V_VT(v.get()) = VT_BSTR;
    V_BSTR(v.get()) = ToBstr(value);
    return WriteVariant(bag, key, v.get());
}

HRESULT WriteLong(IPropertyBag* bag, const wchar_t* key, int32_t value, int32_t def, bool saveAll) {
    if (!saveAll && value == def) return S_OK;
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = value;
    return WriteVariant(bag, key, &v);
}

HRESULT WriteBool(IPropertyBag* bag, const wchar_t* key, bool value, bool saveAll) {
    if (!saveAll && !value) return S_OK;
    VARIANT v;
    V_VT(&v) = VT_BOOL;
    V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE;
    return WriteVariant(bag, key, &v);
}

bool IsNumberZero(const VARIANT* v) {
    VARIANT n;
    VariantInit(&n);
    if (FAILED(VariantChangeType(&n, const_cast<VARIANT*>(v), 0, VT_I4))) return false;
    return V_VT(v) != VT_RECORD && V_I4(&n) == 0;
}

}  // namespace

STDMETHODIMP OrvaneControl::Load(IPropertyBag* bag, IErrorLog* log) {
    RETURN_HR_IF_NULL(E_POINTER, bag);
    return ComBoundary([&] {
        const ConnectionProperties d;
        ReadText(bag, log, L"RemoteHost", props_.RemoteHost, d.RemoteHost.c_str());
        ReadLong(bag, log, L"RemotePort", props_.RemotePort, d.RemotePort);
        ReadText(bag, log, L"RemotePath", props_.RemotePath, d.RemotePath.c_str());
        ReadText(bag, log, L"RemoteFile", props_.RemoteFile, d.RemoteFile.c_str());
        ReadText(bag, log, L"ProxyHost", props_.ProxyHost, d.ProxyHost.c_str());
        ReadLong(bag, log, L"ProxyPort", props_.ProxyPort, d.ProxyPort);
        ReadBool(bag, log, L"Proxy", props_.Proxy);
        ReadText(bag, log, L"AuthPassword", props_.AuthPassword, "");
        ReadText(bag, log, L"AuthUsername", props_.AuthUsername, "");
        ReadBool(bag, log, L"Authorization", props_.Authorization);
        ReadLong(bag, log, L"UpdateState", updateState_, CTRL_STATE_FREE);
        // The value is taken as the bag holds it: the number 0 or a record.
        unique_variant info;
        if (SUCCEEDED(bag->Read(L"UpdateInformation", info.get(), log))) {
            updateInformation_.reset();
            VariantCopy(updateInformation_.get(), info.get());
        } else {
            updateInformation_.reset();
            V_VT(updateInformation_.get()) = VT_I2;
            V_I2(updateInformation_.get()) = 0;
        }
        dirty_ = false;
        return S_OK;
    });
}

STDMETHODIMP OrvaneControl::Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) {
    RETURN_HR_IF_NULL(E_POINTER, bag);
    return ComBoundary([&] {
        const ConnectionProperties d;
        const bool all = saveAll != FALSE;
        RETURN_IF_FAILED(
            WriteText(bag, L"RemoteHost", props_.RemoteHost, d.RemoteHost.c_str(), all));
        RETURN_IF_FAILED(WriteLong(bag, L"RemotePort", props_.RemotePort, d.RemotePort, all));
        RETURN_IF_FAILED(
            WriteText(bag, L"RemotePath", props_.RemotePath, d.RemotePath.c_str(), all));
        RETURN_IF_FAILED(
            WriteText(bag, L"RemoteFile", props_.RemoteFile, d.RemoteFile.c_str(), all));
        RETURN_IF_FAILED(WriteText(bag, L"ProxyHost", props_.ProxyHost, d.ProxyHost.c_str(), all));
        RETURN_IF_FAILED(WriteLong(bag, L"ProxyPort", props_.ProxyPort, d.ProxyPort, all));
        RETURN_IF_FAILED(WriteBool(bag, L"Proxy", props_.Proxy, all));
        RETURN_IF_FAILED(WriteText(bag, L"AuthPassword", props_.AuthPassword, "", all));
        RETURN_IF_FAILED(WriteText(bag, L"AuthUsername", props_.AuthUsername, "", all));
        RETURN_IF_FAILED(WriteBool(bag, L"Authorization", props_.Authorization, all));
        RETURN_IF_FAILED(WriteLong(bag, L"UpdateState", updateState_, CTRL_STATE_FREE, all));
        if (all || !IsNumberZero(updateInformation_.get())) {
            RETURN_IF_FAILED(WriteVariant(bag, L"UpdateInformation", updateInformation_.get()));
        }
        if (clearDirty) dirty_ = false;
        return S_OK;
    });
}

// The stream form: a tag, a format number, then the twelve values in key order. Texts are
// a 32-bit byte count and the bytes; the record, when held, its eight fields likewise.
namespace {

constexpr uint32_t kStreamTag = 0x4E56524F;  // "ORVN"
constexpr uint32_t kStreamFormat = 1;
constexpr uint32_t kMaxStreamText = 1u << 20;

class StreamWriter {
   public:
    explicit StreamWriter(IStream* s) : s_(s) {}
    HRESULT U32(uint32_t v) { return Raw(&v, sizeof v); }
    HRESULT Text(const std::string& t) {
        RETURN_IF_FAILED(U32(static_cast<uint32_t>(t.size())));
        return t.empty() ? S_OK : Raw(t.data(), static_cast<ULONG>(t.size()));
    }
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
    HRESULT Raw(void* p, ULONG n) {
        ULONG got = 0;
        RETURN_IF_FAILED(s_->Read(p, n, &got));
        return got == n ? S_OK : E_FAIL;
    }

   private:
    IStream* s_;
};

}  // namespace

STDMETHODIMP OrvaneControl::Load(LPSTREAM stream) {
    RETURN_HR_IF_NULL(E_POINTER, stream);
    return ComBoundary([&]() -> HRESULT {
        StreamReader r(stream);
        uint32_t tag = 0, format = 0, port = 0, proxyPort = 0, proxy = 0, auth = 0, state = 0,
                 hasRecord = 0;
        ConnectionProperties p;
        RETURN_IF_FAILED(r.U32(tag));
        RETURN_IF_FAILED(r.U32(format));
        if (tag != kStreamTag || format != kStreamFormat) return E_FAIL;
        RETURN_IF_FAILED(r.Text(p.RemoteHost));
        RETURN_IF_FAILED(r.U32(port));
        RETURN_IF_FAILED(r.Text(p.RemotePath));
        RETURN_IF_FAILED(r.Text(p.RemoteFile));
        RETURN_IF_FAILED(r.Text(p.ProxyHost));
        RETURN_IF_FAILED(r.U32(proxyPort));
        RETURN_IF_FAILED(r.U32(proxy));
        RETURN_IF_FAILED(r.Text(p.AuthPassword));
        RETURN_IF_FAILED(r.Text(p.AuthUsername));
        RETURN_IF_FAILED(r.U32(auth));
        RETURN_IF_FAILED(r.U32(state));
        RETURN_IF_FAILED(r.U32(hasRecord));
        std::string f[7];
        uint32_t size = 0;
        if (hasRecord) {
            for (int i = 0; i < 5; ++i) RETURN_IF_FAILED(r.Text(f[i]));
            RETURN_IF_FAILED(r.U32(size));
            RETURN_IF_FAILED(r.Text(f[5]));
            RETURN_IF_FAILED(r.Text(f[6]));
        }
        p.RemotePort = static_cast<int32_t>(port);
        p.ProxyPort = static_cast<int32_t>(proxyPort);
        p.Proxy = proxy != 0;
        p.Authorization = auth != 0;
        props_ = p;
        updateState_ = static_cast<int32_t>(state);
        updateInformation_.reset();
        if (hasRecord) {
            UpdateInfo info{f[0], f[1], f[2], f[3], f[4], static_cast<int32_t>(size), f[5], f[6]};
            OwnedRecord rec(info);
            RETURN_IF_FAILED(StoreUpdateInformation(*rec.get()));
        } else {
            V_VT(updateInformation_.get()) = VT_I2;
            V_I2(updateInformation_.get()) = 0;
        }
        dirty_ = false;
        return S_OK;
    });
}

STDMETHODIMP OrvaneControl::Save(LPSTREAM stream, BOOL clearDirty) {
    RETURN_HR_IF_NULL(E_POINTER, stream);
    return ComBoundary([&] {
        StreamWriter w(stream);
        RETURN_IF_FAILED(w.U32(kStreamTag));
        RETURN_IF_FAILED(w.U32(kStreamFormat));
        RETURN_IF_FAILED(w.Text(props_.RemoteHost));
        RETURN_IF_FAILED(w.U32(static_cast<uint32_t>(props_.RemotePort)));
        RETURN_IF_FAILED(w.Text(props_.RemotePath));
        RETURN_IF_FAILED(w.Text(props_.RemoteFile));
        RETURN_IF_FAILED(w.Text(props_.ProxyHost));
        RETURN_IF_FAILED(w.U32(static_cast<uint32_t>(props_.ProxyPort)));
        RETURN_IF_FAILED(w.U32(props_.Proxy));
        RETURN_IF_FAILED(w.Text(props_.AuthPassword));
        RETURN_IF_FAILED(w.Text(props_.AuthUsername));
        RETURN_IF_FAILED(w.U32(props_.Authorization));
        RETURN_IF_FAILED(w.U32(static_cast<uint32_t>(updateState_)));
        const VARIANT* held = updateInformation_.get();
        const bool hasRecord = V_VT(held) == VT_RECORD && V_RECORD(held);
        RETURN_IF_FAILED(w.U32(hasRecord));
        if (hasRecord) {
            const auto* rec = static_cast<const UPDATEINFO*>(V_RECORD(held));
            for (BSTR b :
                 {rec->Name, rec->Version, rec->ReleaseDate, rec->Description, rec->PackageFile})
                RETURN_IF_FAILED(w.Text(ToAnsi(b)));
            RETURN_IF_FAILED(w.U32(static_cast<uint32_t>(rec->PackageSize)));
            RETURN_IF_FAILED(w.Text(ToAnsi(rec->Reserved1)));
            RETURN_IF_FAILED(w.Text(ToAnsi(rec->Reserved2)));
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
