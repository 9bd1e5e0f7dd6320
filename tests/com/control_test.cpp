// The Orvane control in a container of ours: defaults, property puts and their
// notifications, design-time refusals, persistence, size, About box, reference balance.
#include <windows.h>

#include <ocidl.h>
#include <olectl.h>

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "control/OrvaneControl.h"
#include "tests/com/host.h"
#include "tests/support/control_fixture.h"

namespace orv::test {
namespace {

class Control : public ControlFixture {
   protected:
    template <typename I>
    I* As(REFIID iid) {
        I* p = nullptr;
        EXPECT_EQ(S_OK, ctl_->QueryInterface(iid, reinterpret_cast<void**>(&p)));
        return p;
    }

    void SiteIt() {
        IOleObject* ole = As<IOleObject>(IID_IOleObject);
        ASSERT_EQ(S_OK, ole->SetClientSite(site_));
        ole->Release();
    }

    // Puts `value` through IDispatch by name; returns the HRESULT (the run-time error's
    // HRESULT for exceptions).
    HRESULT Put(const wchar_t* name, const VARIANT& value) { return PutByName(ctl_, name, value); }
    std::wstring GetText(const wchar_t* name) {
        VARIANT v;
        EXPECT_EQ(S_OK, GetByName(ctl_, name, &v));
        EXPECT_EQ(S_OK, VariantChangeType(&v, &v, VARIANT_ALPHABOOL, VT_BSTR));
        std::wstring s(V_BSTR(&v), SysStringLen(V_BSTR(&v)));
        VariantClear(&v);
        return s;
    }
    static VARIANT Text(const wchar_t* s) {
        VARIANT v;
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = SysAllocString(s);
        return v;
    }
    static VARIANT Long(LONG n) {
        VARIANT v;
        V_VT(&v) = VT_I4;
        V_I4(&v) = n;
        return v;
    }
    static VARIANT Bool(bool b) {
        VARIANT v;
        V_VT(&v) = VT_BOOL;
        V_BOOL(&v) = b ? VARIANT_TRUE : VARIANT_FALSE;
        return v;
    }
};

TEST_F(Control, NewControlHasEveryDefault) {
    EXPECT_EQ(GetText(L"RemoteHost"), L"http://");
    EXPECT_EQ(GetText(L"RemotePort"), L"80");
    EXPECT_EQ(GetText(L"RemotePath"), L"/");
    EXPECT_EQ(GetText(L"RemoteFile"), L"update.orv");
    EXPECT_EQ(GetText(L"ProxyHost"), L"proxy.");
    EXPECT_EQ(GetText(L"ProxyPort"), L"8080");
    EXPECT_EQ(GetText(L"Proxy"), L"False");
    EXPECT_EQ(GetText(L"AuthPassword"), L"");
    EXPECT_EQ(GetText(L"AuthUsername"), L"");
    EXPECT_EQ(GetText(L"Authorization"), L"False");
    EXPECT_EQ(GetText(L"UpdateState"), L"0");
}

TEST_F(Control, RemotePathIsNormalisedOnPut) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"download", L"/download/"}, {L"", L"/"},  {L"a/", L"/a/"},
        {L"/a/b", L"/a/b/"},          {L"/", L"/"}, {L"updates", L"/updates/"}};
    for (auto [in, out] : cases) {
        VARIANT v = Text(in);
        EXPECT_EQ(S_OK, Put(L"RemotePath", v));
        VariantClear(&v);
        EXPECT_EQ(GetText(L"RemotePath"), out) << in;
    }
}

TEST_F(Control, EveryPutNotifiesTheContainerWithItsDispatchId) {
    SiteIt();
    Connect(ctl_, IID_IPropertyNotifySink, static_cast<IPropertyNotifySink*>(site_));
    struct {
        const wchar_t* name;
        VARIANT value;
        DISPID id;
    } puts[] = {
        {L"RemoteHost", Text(L"h"), 0x6803000B},   {L"RemotePort", Long(81), 0x6803000A},
        {L"RemotePath", Text(L"p"), 0x68030009},   {L"RemoteFile", Text(L"f"), 0x68030008},
        {L"ProxyHost", Text(L"x"), 0x68030007},    {L"ProxyPort", Long(1), 0x68030006},
        {L"Proxy", Bool(true), 0x68030005},        {L"AuthPassword", Text(L"pw"), 0x68030004},
        {L"AuthUsername", Text(L"u"), 0x68030003}, {L"Authorization", Bool(true), 0x68030002},
        {L"UpdateState", Long(7), 0x68030001}};
    IPersistStreamInit* persist = As<IPersistStreamInit>(IID_IPersistStreamInit);
    for (auto& p : puts) {
        site_->changed.clear();
        EXPECT_EQ(S_OK, Put(p.name, p.value)) << p.name;
        EXPECT_EQ(site_->changed, std::vector<DISPID>{p.id}) << p.name;
        VariantClear(&p.value);
    }
    EXPECT_EQ(S_OK, persist->IsDirty());
    persist->Release();
    // Putting UpdateState stores the value but does not change what the control is doing.
    EXPECT_EQ(GetText(L"UpdateState"), L"7");
    ORVANEERROR r;
    ASSERT_EQ(S_OK, ctl_->ReceiveUpdate(nullptr, nullptr, &r));
    EXPECT_EQ(r, ORV_ERROR_NOUPDATEDATA);

    // UpdateInformation stores a copy of a record.
    UPDATEINFO info = {};
    info.Name = SysAllocString(L"Editor");
    info.PackageSize = 12;
    site_->changed.clear();
    EXPECT_EQ(S_OK, ctl_->put_UpdateInformation(&info));
    EXPECT_EQ(site_->changed, std::vector<DISPID>{0x68030000});
    SysFreeString(info.Name);
    UPDATEINFO back = {};
    ASSERT_EQ(S_OK, ctl_->get_UpdateInformation(&back));
    EXPECT_STREQ(back.Name, L"Editor");
    EXPECT_EQ(back.PackageSize, 12);
    for (BSTR b : {back.Name, back.Version, back.ReleaseDate, back.Description, back.PackageFile,
                   back.Reserved1, back.Reserved2})
        SysFreeString(b);
}

TEST_F(Control, DesignTimeRefusesStateAndInformationWith387) {
    site_->userMode = false;
    SiteIt();
    Connect(ctl_, IID_IPropertyNotifySink, static_cast<IPropertyNotifySink*>(site_));
    VARIANT v = Long(2);
    EXPECT_EQ(Put(L"UpdateState", v), static_cast<HRESULT>(0x800A0000 + 387));
    CONTROLSTATE s = CTRL_STATE_RECEIVING;
    EXPECT_EQ(ctl_->put_UpdateState(&s), static_cast<HRESULT>(0x800A0000 + 387));
    IErrorInfo* err = nullptr;
    ASSERT_EQ(S_OK, GetErrorInfo(0, &err));
    err->Release();
    UPDATEINFO info = {};
    EXPECT_EQ(ctl_->put_UpdateInformation(&info), static_cast<HRESULT>(0x800A0000 + 387));
    EXPECT_TRUE(site_->changed.empty());
    EXPECT_EQ(GetText(L"UpdateState"), L"0");
    // Other properties can be set while designing.
    VARIANT h = Text(L"example.test");
    EXPECT_EQ(S_OK, Put(L"RemoteHost", h));
    VariantClear(&h);
}

TEST_F(Control, ReadingUpdateInformationBeforeAnyRecordIsATypeMismatch) {
    UPDATEINFO info = {};
    EXPECT_EQ(ctl_->get_UpdateInformation(&info), static_cast<HRESULT>(0x800A0000 + 13));
    VARIANT v;
    EXPECT_EQ(GetByName(ctl_, L"UpdateInformation", &v), static_cast<HRESULT>(0x800A0000 + 13));
}

// Each run-time error's description, as a late-bound client reads it from EXCEPINFO, names
// the property or argument at fault and what it takes.
TEST_F(Control, RunTimeErrorDescriptionsNameThePropertyAndWhatItTakes) {
    struct Case {
        const wchar_t* setting;  // put first (when not null), then `member` is called
        VARIANT value;
        const wchar_t* member;
        WORD flags;
        VARIANT argument;  // VT_EMPTY: none
        int number;
        std::vector<std::wstring> words;
    };
    const VARIANT none{};
    VARIANT huge{};
    V_VT(&huge) = VT_R8;
    V_R8(&huge) = 1e12;
    // clang-format off
    Case cases[] = {
        {L"RemoteHost", Text(L"example.test\r\nX"), L"CheckUpdate", DISPATCH_METHOD, none, 5,
         {L"RemoteHost", L"control characters"}},
        {L"RemoteHost", Text(L"http://"), L"RemotePort", DISPATCH_PROPERTYPUT, huge, 6,
         {L"RemotePort", L"2147483647"}},
        {L"RemotePort", Long(40000), L"CheckUpdate", DISPATCH_METHOD, none, 6,
         {L"RemotePort", L"0 and 32767"}},
        {L"RemotePort", Long(80), L"UpdateInformation", DISPATCH_PROPERTYGET, none, 13,
         {L"UpdateInformation", L"InfoReceived"}},
        {nullptr, none, L"ConnectTimeout", DISPATCH_PROPERTYPUT, Long(3601), 380,
         {L"ConnectTimeout", L"0 and 3600"}},
        {nullptr, none, L"RetryCount", DISPATCH_PROPERTYPUT, Long(-1), 380,
         {L"RetryCount", L"0 and 10"}},
        {nullptr, none, L"PublisherKey", DISPATCH_PROPERTYPUT, Text(L"no key"), 380,
         {L"PublisherKey", L"P-256 public keys"}},
    };
    // clang-format on
    for (Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.member << " " << c.number);
        if (c.setting) {
            EXPECT_EQ(S_OK, Put(c.setting, c.value));
        }
        std::wstring description;
        const VARIANT* arg = V_VT(&c.argument) == VT_EMPTY ? nullptr : &c.argument;
        EXPECT_EQ(static_cast<HRESULT>(0x800A0000 + c.number),
                  InvokeForError(ctl_, c.member, c.flags, arg, description));
        for (const std::wstring& word : c.words)
            EXPECT_NE(description.find(word), std::wstring::npos) << "in: " << description;
        VariantClear(&c.value);
        VariantClear(&c.argument);
    }
}

TEST_F(Control, PropertyBagRoundTripInKeyOrder) {
    VARIANT a = Text(L"Updates.Example.Test"), b = Long(8081), c = Text(L"dl"), d = Bool(true),
            e = Text(L"secret");
    Put(L"RemoteHost", a);
    Put(L"RemotePort", b);
    Put(L"RemotePath", c);
    Put(L"Proxy", d);
    Put(L"AuthPassword", e);
    for (VARIANT* x : {&a, &b, &c, &d, &e}) VariantClear(x);

    PropertyBag bag;
    IPersistPropertyBag* persist = As<IPersistPropertyBag>(IID_IPersistPropertyBag);
    ASSERT_EQ(S_OK, persist->Save(&bag, TRUE, TRUE));
    const std::vector<std::wstring> keys = {
        L"RemoteHost",   L"RemotePort",    L"RemotePath",  L"RemoteFile",
        L"ProxyHost",    L"ProxyPort",     L"Proxy",       L"AuthPassword",
        L"AuthUsername", L"Authorization", L"UpdateState", L"UpdateInformation"};
    EXPECT_EQ(bag.writeOrder, keys);
    persist->Release();
    IPersistStreamInit* dirty = As<IPersistStreamInit>(IID_IPersistStreamInit);
    EXPECT_EQ(S_FALSE, dirty->IsDirty());  // saving cleared it
    dirty->Release();

    _Orvane* other = nullptr;
    ASSERT_EQ(S_OK, CreateControl(&other));
    IPersistPropertyBag* load = nullptr;
    other->QueryInterface(IID_IPersistPropertyBag, reinterpret_cast<void**>(&load));
    ASSERT_EQ(S_OK, load->Load(&bag, nullptr));
    // A control reads PublisherKey and the keys of _Orvane3 and _Orvane4 after the twelve
    // (absent here: defaults).
    std::vector<std::wstring> read = keys;
    read.insert(read.end(), {L"PublisherKey", L"ConnectTimeout", L"IdleTimeout", L"RetryCount",
                             L"ProxyMode", L"ProxyUsername", L"ProxyPassword", L"FollowRedirects",
                             L"RequireExpiry", L"PackageSigner", L"InstalledFile",
                             L"UpdateParameters", L"DownloadFolder", L"AutoCheckInterval",
                             L"HandOffTimeout", L"ElevateUpdate", L"DialogHandOff", L"LogFile"});
    EXPECT_EQ(bag.readOrder, read);
    load->Release();
    std::swap(ctl_, other);
    EXPECT_EQ(GetText(L"RemoteHost"), L"Updates.Example.Test");
    EXPECT_EQ(GetText(L"RemotePort"), L"8081");
    EXPECT_EQ(GetText(L"RemotePath"), L"/dl/");
    EXPECT_EQ(GetText(L"Proxy"), L"True");
    EXPECT_EQ(GetText(L"AuthPassword"), L"secret");
    EXPECT_EQ(GetText(L"ProxyHost"), L"proxy.");
    std::swap(ctl_, other);
    EXPECT_EQ(0u, other->Release());
    EXPECT_EQ(bag.Refs(), 1u);
}

TEST_F(Control, DefaultsAreLeftOutAndMissingKeysGiveDefaults) {
    PropertyBag bag;
    IPersistPropertyBag* persist = As<IPersistPropertyBag>(IID_IPersistPropertyBag);
    ASSERT_EQ(S_OK, persist->InitNew());
    ASSERT_EQ(S_OK, persist->Save(&bag, TRUE, FALSE));
    EXPECT_TRUE(bag.writeOrder.empty());  // every value equals its default

    // A bag written by another tool: RemotePath without slashes, nothing else.
    VARIANT path = Text(L"download");
    bag.Write(L"RemotePath", &path);
    VariantClear(&path);
    ASSERT_EQ(S_OK, persist->Load(&bag, nullptr));
    persist->Release();
    EXPECT_EQ(GetText(L"RemotePath"), L"download");  // loaded unchanged
    EXPECT_EQ(GetText(L"RemoteHost"), L"http://");
    EXPECT_EQ(GetText(L"RemotePort"), L"80");
    EXPECT_EQ(GetText(L"ProxyPort"), L"8080");
    EXPECT_EQ(GetText(L"RemoteFile"), L"update.orv");
    UPDATEINFO info = {};
    EXPECT_EQ(ctl_->get_UpdateInformation(&info), static_cast<HRESULT>(0x800A0000 + 13));
}

TEST_F(Control, StreamRoundTripKeepsTheTwelveValues) {
    VARIANT a = Text(L"h.example.test"), b = Long(-5), c = Bool(true);
    Put(L"RemoteHost", a);
    Put(L"ProxyPort", b);
    Put(L"Authorization", c);
    VariantClear(&a);
    UPDATEINFO info = {};
    info.Version = SysAllocString(L"2.1.0.");
    info.PackageSize = 524288;
    ASSERT_EQ(S_OK, ctl_->put_UpdateInformation(&info));
    SysFreeString(info.Version);

    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &stream));
    IPersistStreamInit* save = As<IPersistStreamInit>(IID_IPersistStreamInit);
    ASSERT_EQ(S_OK, save->Save(stream, TRUE));
    save->Release();

    _Orvane* other = nullptr;
    ASSERT_EQ(S_OK, CreateControl(&other));
    IPersistStreamInit* load = nullptr;
    other->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&load));
    LARGE_INTEGER zero = {};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    ASSERT_EQ(S_OK, load->Load(stream));
    // A truncated stream is refused, not half-read into a crash.
    ULARGE_INTEGER small = {};
    small.QuadPart = 10;
    stream->SetSize(small);
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    EXPECT_NE(S_OK, load->Load(stream));
    load->Release();
    stream->Release();
    std::swap(ctl_, other);
    EXPECT_EQ(GetText(L"RemoteHost"), L"h.example.test");
    EXPECT_EQ(GetText(L"ProxyPort"), L"-5");
    EXPECT_EQ(GetText(L"Authorization"), L"True");
    UPDATEINFO back = {};
    ASSERT_EQ(S_OK, ctl_->get_UpdateInformation(&back));
    EXPECT_STREQ(back.Version, L"2.1.0.");
    EXPECT_EQ(back.PackageSize, 524288);
    SysFreeString(back.Version);
    SysFreeString(back.Name);
    std::swap(ctl_, other);
    EXPECT_EQ(0u, other->Release());
}

// Each limit of a transfer has its default, refuses a value outside its bounds with 380 (in a
// put and in a saved bag) and is written to a bag only when set.
TEST_F(Control, TransferLimitsKeepTheirBoundsAndAreSavedOnlyWhenSet) {
    const std::tuple<const wchar_t*, const wchar_t*, LONG> rows[] = {
        {L"ConnectTimeout", L"30", 3600},
        {L"IdleTimeout", L"60", 3600},
        {L"RetryCount", L"3", 10},
        {L"ProxyMode", L"0", 1},
        {L"AutoCheckInterval", L"0", 8760}};
    IPersistPropertyBag* persist = As<IPersistPropertyBag>(IID_IPersistPropertyBag);
    PropertyBag untouched, bag;
    ASSERT_EQ(S_OK, persist->Save(&untouched, TRUE, TRUE));
    EXPECT_EQ(untouched.writeOrder.size(), 12u);
    std::vector<std::wstring> written(untouched.writeOrder);
    for (auto [name, def, high] : rows) {
        for (LONG bad : {-1L, high + 1})
            EXPECT_EQ(Put(name, Long(bad)), static_cast<HRESULT>(0x800A0000 + 380)) << name;
        EXPECT_EQ(GetText(name), def);
        EXPECT_EQ(S_OK, Put(name, Long(high)));
        written.push_back(name);
    }
    ASSERT_EQ(S_OK, persist->Save(&bag, TRUE, TRUE));
    EXPECT_EQ(bag.writeOrder, written);
    ASSERT_EQ(S_OK, persist->InitNew());
    ASSERT_EQ(S_OK, persist->Load(&bag, nullptr));
    VARIANT eleven = Long(11);
    bag.Write(L"RetryCount", &eleven);
    EXPECT_EQ(persist->Load(&bag, nullptr), static_cast<HRESULT>(0x800A0000 + 380));
    persist->Release();
    for (auto [name, def, high] : rows) EXPECT_EQ(GetText(name), std::to_wstring(high));
}

// Text rows of the tagged list keep their bytes through the stream form.
TEST_F(Control, ProxyCredentialsSurviveTheStream) {
    VARIANT user = Text(L"proxy user"), mode = Long(1);
    Put(L"ProxyUsername", user);
    Put(L"ProxyMode", mode);
    VariantClear(&user);
    IStream* stream = nullptr;
    ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &stream));
    IPersistStreamInit* save = As<IPersistStreamInit>(IID_IPersistStreamInit);
    ASSERT_EQ(S_OK, save->Save(stream, TRUE));
    LARGE_INTEGER zero = {};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    ASSERT_EQ(S_OK, save->InitNew());
    EXPECT_EQ(GetText(L"ProxyUsername"), L"");
    ASSERT_EQ(S_OK, save->Load(stream));
    save->Release();
    stream->Release();
    EXPECT_EQ(GetText(L"ProxyUsername"), L"proxy user");
    EXPECT_EQ(GetText(L"ProxyPassword"), L"");
    EXPECT_EQ(GetText(L"ProxyMode"), L"1");
}

// The stream form byte by byte: a tag, the format, the twelve values in key order, the record
// as a flag and its eight fields, then in format 2 the key, in 3 the key and a tagged list.
struct StreamBytes {
    std::string bytes;
    StreamBytes& U32(uint32_t v) { return Raw(&v, sizeof v); }
    StreamBytes& Text(const std::string& t) {
        return U32(static_cast<uint32_t>(t.size())).Raw(t.data(), t.size());
    }
    StreamBytes& Raw(const void* p, size_t n) {
        bytes.append(static_cast<const char*>(p), n);
        return *this;
    }
    static StreamBytes Sample(uint32_t format, const char* key) {
        StreamBytes s;
        s.U32(0x4E56524F).U32(format).Text("h.example.test").U32(8081).Text("/dl/");
        s.Text("update.orv").Text("proxy.").U32(8080).U32(1).Text("pw").Text("user").U32(0).U32(0);
        s.U32(1).Text("Demo").Text("2.1.0.").Text("2024-05-01").Text("notes").Text("setup.exe");
        s.U32(0xFFFFFFFE).Text("r1").Text("r2");  // PackageSize -2: its 32 bits as they are
        if (key) s.Text(key);
        return s;
    }
    HRESULT LoadInto(IPersistStreamInit* persist) const {
        IStream* in = nullptr;
        if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &in))) return E_FAIL;
        in->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
        in->Seek({}, STREAM_SEEK_SET, nullptr);
        const HRESULT hr = persist->Load(in);
        in->Release();
        return hr;
    }
};

TEST_F(Control, StreamFormsLoadAndSaveTheirExactBytes) {
    // Tagged entries: dispatch id and value; an id the control doesn't know is skipped.
    using Tagged = std::vector<std::pair<uint32_t, std::string>>;
    const Tagged kept = {{0x6803000D, std::string("\5\0\0\0", 4)}, {0x6803000F, std::string(4, 0)}};
    const struct {
        uint32_t format;
        const char* key;
        Tagged loaded, saved;
    } cases[] = {{1, nullptr, {}, {}},
                 {2, "publisher-key-text", {}, {}},
                 {3, "", {kept[0], {0x680300FF, "abc"}, kept[1]}, kept}};
    for (const auto& c : cases) {
        StreamBytes s = StreamBytes::Sample(c.format, c.key), expected = s;
        for (auto [list, out] : {std::pair{&c.loaded, &s}, {&c.saved, &expected}}) {
            if (c.format == 3) out->U32(static_cast<uint32_t>(list->size()));
            for (const auto& [id, value] : *list) out->U32(id).Text(value);
        }
        IPersistStreamInit* persist = As<IPersistStreamInit>(IID_IPersistStreamInit);
        ASSERT_EQ(S_OK, s.LoadInto(persist)) << c.format;
        UPDATEINFO back = {};
        ASSERT_EQ(S_OK, ctl_->get_UpdateInformation(&back));
        const std::pair<BSTR, const wchar_t*> texts[] = {{back.Name, L"Demo"},
                                                         {back.Version, L"2.1.0."},
                                                         {back.ReleaseDate, L"2024-05-01"},
                                                         {back.Description, L"notes"},
                                                         {back.PackageFile, L"setup.exe"},
                                                         {back.Reserved1, L"r1"},
                                                         {back.Reserved2, L"r2"}};
        for (auto [got, want] : texts) {
            EXPECT_STREQ(got, want) << c.format;
            SysFreeString(got);
        }
        EXPECT_EQ(back.PackageSize, -2);

        IStream* out = nullptr;
        ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &out));
        ASSERT_EQ(S_OK, persist->Save(out, TRUE));
        persist->Release();
        STATSTG st = {};
        out->Stat(&st, STATFLAG_NONAME);
        std::string saved(static_cast<size_t>(st.cbSize.QuadPart), '\0');
        out->Seek({}, STREAM_SEEK_SET, nullptr);
        out->Read(saved.data(), static_cast<ULONG>(saved.size()), nullptr);
        out->Release();
        EXPECT_EQ(saved, expected.bytes) << c.format;
    }
}

// A format 3 list that is cut short, holds a value of the wrong size, one out of its bounds,
// or one row twice refuses the whole stream: nothing changes.
TEST_F(Control, MalformedTaggedListsRefuseTheStream) {
    const std::vector<uint32_t> lists[] = {{1, 0x6803000D, 2, 5},
                                           {1, 0x6803000F, 4, 11},
                                           {2, 0x6803000D, 4, 5},
                                           {1, 0x680300FF, 100, 0},
                                           {2, 0x6803000E, 4, 5, 0x6803000E, 4, 6}};
    IPersistStreamInit* persist = As<IPersistStreamInit>(IID_IPersistStreamInit);
    for (const auto& list : lists) {
        StreamBytes s = StreamBytes::Sample(3, "");
        for (uint32_t v : list) s.U32(v);
        EXPECT_EQ(s.LoadInto(persist), E_FAIL) << list[1];
        EXPECT_EQ(GetText(L"RemoteHost"), L"http://");
        EXPECT_EQ(GetText(L"IdleTimeout"), L"60");
    }
    persist->Release();
}

TEST_F(Control, KeepsItsSizeWhateverTheContainerAsks) {
    SiteIt();
    IOleObject* ole = As<IOleObject>(IID_IOleObject);
    SIZEL asked = {5000, 3000};
    EXPECT_EQ(S_OK, ole->SetExtent(DVASPECT_CONTENT, &asked));
    SIZEL got = {};
    ASSERT_EQ(S_OK, ole->GetExtent(DVASPECT_CONTENT, &got));
    EXPECT_EQ(got.cx, 847);  // 480 twips
    EXPECT_EQ(got.cy, 847);

    RECT host = {0, 0, 0, 0};
    ASSERT_EQ(S_OK, ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site_, 0, host_, &host));
    IOleInPlaceObject* ip = As<IOleInPlaceObject>(IID_IOleInPlaceObject);
    HWND w = nullptr;
    ASSERT_EQ(S_OK, ip->GetWindow(&w));
    RECT rc;
    GetClientRect(w, &rc);
    EXPECT_EQ(rc.right, 32);
    EXPECT_EQ(rc.bottom, 32);
    RECT bigger = {5, 5, 400, 300};
    ip->SetObjectRects(&bigger, &bigger);
    MoveWindow(w, 5, 5, 300, 200, TRUE);
    GetClientRect(w, &rc);
    EXPECT_EQ(rc.right, 32);
    EXPECT_EQ(rc.bottom, 32);
    EXPECT_GE(site_->posRectChanges, 1);
    EXPECT_EQ(site_->lastPosRect.right - site_->lastPosRect.left, 32);
    EXPECT_EQ(site_->inPlaceActivations, 1);
    ip->Release();
    ole->Close(OLECLOSE_NOSAVE);
    EXPECT_EQ(site_->inPlaceDeactivations, 1);
    ole->Release();
}

TEST_F(Control, ListsItsThreePropertyPagesInOrder) {
    ISpecifyPropertyPages* spp = As<ISpecifyPropertyPages>(IID_ISpecifyPropertyPages);
    CAUUID pages = {};
    ASSERT_EQ(S_OK, spp->GetPages(&pages));
    ASSERT_EQ(pages.cElems, 3u);
    EXPECT_EQ(pages.pElems[0], CLSID_PropertyPage1);
    EXPECT_EQ(pages.pElems[1], CLSID_PropertyPage2);
    EXPECT_EQ(pages.pElems[2], CLSID_PropertyPage3);
    CoTaskMemFree(pages.pElems);
    spp->Release();
    IProvideClassInfo2* pci = As<IProvideClassInfo2>(IID_IProvideClassInfo2);
    GUID g = {};
    ASSERT_EQ(S_OK, pci->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &g));
    EXPECT_EQ(g, DIID___Orvane);
    pci->Release();
}

TEST_F(Control, QuickActivateTakesSiteSinksAndUserMode) {
    site_->userMode = false;  // the container's ambient property agrees with its flags
    EventSink sink;
    IQuickActivate* qa = As<IQuickActivate>(IID_IQuickActivate);
    QACONTAINER c = {};
    c.cbSize = sizeof(c);
    c.pClientSite = site_;
    c.pUnkEventSink = static_cast<IDispatch*>(&sink);
    c.pPropertyNotifySink = static_cast<IPropertyNotifySink*>(site_);
    c.dwAmbientFlags = 0;  // design time
    QACONTROL q = {};
    q.cbSize = sizeof(q);
    ASSERT_EQ(S_OK, qa->QuickActivate(&c, &q));
    EXPECT_NE(q.dwEventCookie, 0u);
    EXPECT_NE(q.dwPropNotifyCookie, 0u);
    qa->Release();
    CONTROLSTATE s = CTRL_STATE_FREE;
    EXPECT_EQ(ctl_->put_UpdateState(&s), static_cast<HRESULT>(0x800A0000 + 387));
    VARIANT v = Long(90);
    EXPECT_EQ(S_OK, Put(L"RemotePort", v));
    EXPECT_EQ(site_->changed, std::vector<DISPID>{0x6803000A});
    IOleObject* ole = As<IOleObject>(IID_IOleObject);
    ole->Close(OLECLOSE_NOSAVE);
    ole->SetClientSite(nullptr);
    ole->Release();
    EXPECT_EQ(0u, ctl_->Release());
    ctl_ = nullptr;
    EXPECT_EQ(sink.Refs(), 1u);
}

// A record type of someone else's, with its own GUID: enough of IRecordInfo for variants to
// copy and clear it.
class ForeignRecordInfo final : public IRecordInfo, public CountedUnknown {
   public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IRecordInfo) {
            *out = static_cast<IRecordInfo*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }
    STDMETHODIMP RecordInit(PVOID p) override { return std::memset(p, 0, kSize), S_OK; }
    STDMETHODIMP RecordClear(PVOID) override { return S_OK; }
    STDMETHODIMP RecordCopy(PVOID from, PVOID to) override {
        return std::memcpy(to, from, kSize), S_OK;
    }
    STDMETHODIMP GetGuid(GUID* g) override {
        *g = {0x1b2c3d4e, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
        return S_OK;
    }
    STDMETHODIMP GetName(BSTR* n) override { return *n = SysAllocString(L"OTHER"), S_OK; }
    STDMETHODIMP GetSize(ULONG* size) override { return *size = kSize, S_OK; }
    STDMETHODIMP GetTypeInfo(ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetField(PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetFieldNoCopy(PVOID, LPCOLESTR, VARIANT*, PVOID*) override { return E_NOTIMPL; }
    STDMETHODIMP PutField(ULONG, PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP PutFieldNoCopy(ULONG, PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetFieldNames(ULONG*, BSTR*) override { return E_NOTIMPL; }
    BOOL STDMETHODCALLTYPE IsMatchingType(IRecordInfo* other) override { return other == this; }
    PVOID STDMETHODCALLTYPE RecordCreate() override { return CoTaskMemAlloc(kSize); }
    STDMETHODIMP RecordCreateCopy(PVOID from, PVOID* to) override {
        *to = RecordCreate();
        return RecordCopy(from, *to);
    }
    STDMETHODIMP RecordDestroy(PVOID p) override { return CoTaskMemFree(p), S_OK; }

    static constexpr ULONG kSize = 4;  // smaller than an UPDATEINFO
};

TEST_F(Control, AForeignRecordIsATypeMismatchInAPutAndInASavedBag) {
    ForeignRecordInfo foreign;
    unsigned char data[ForeignRecordInfo::kSize] = {1, 2, 3, 4};
    VARIANT rec{};
    V_VT(&rec) = VT_RECORD;
    V_RECORD(&rec) = data;
    V_RECORDINFO(&rec) = &foreign;
    EXPECT_EQ(Put(L"UpdateInformation", rec), static_cast<HRESULT>(0x800A0000 + 13));

    PropertyBag bag;
    ASSERT_EQ(S_OK, bag.Write(L"UpdateInformation", &rec));
    IPersistPropertyBag* persist = As<IPersistPropertyBag>(IID_IPersistPropertyBag);
    EXPECT_EQ(persist->Load(&bag, nullptr), static_cast<HRESULT>(0x800A0000 + 13));
    persist->Release();
    UPDATEINFO info = {};
    EXPECT_EQ(ctl_->get_UpdateInformation(&info), static_cast<HRESULT>(0x800A0000 + 13))
        << "nothing of the foreign record was taken";
}

TEST_F(Control, ABagSavedWithoutSaveAllKeepsEveryValueThatIsNotItsDefault) {
    const std::pair<const wchar_t*, VARIANT> values[] = {
        {L"RemoteHost", Text(L"h.test")}, {L"RemotePort", Long(81)},
        {L"RemotePath", Text(L"/p/")},    {L"RemoteFile", Text(L"f.orv")},
        {L"ProxyHost", Text(L"x.test")},  {L"ProxyPort", Long(3128)},
        {L"Proxy", Bool(true)},           {L"AuthPassword", Text(L"pw")},
        {L"AuthUsername", Text(L"u")},    {L"Authorization", Bool(true)},
        {L"UpdateState", Long(2)}};
    for (auto [name, v] : values) {
        EXPECT_EQ(S_OK, Put(name, v)) << name;
        VariantClear(&v);
    }
    UPDATEINFO info = {};
    info.PackageSize = 1;
    ASSERT_EQ(S_OK, ctl_->put_UpdateInformation(&info));

    PropertyBag bag;
    IPersistPropertyBag* persist = As<IPersistPropertyBag>(IID_IPersistPropertyBag);
    ASSERT_EQ(S_OK, persist->Save(&bag, TRUE, FALSE));
    persist->Release();
    EXPECT_EQ(bag.writeOrder,
              (std::vector<std::wstring>{L"RemoteHost", L"RemotePort", L"RemotePath", L"RemoteFile",
                                         L"ProxyHost", L"ProxyPort", L"Proxy", L"AuthPassword",
                                         L"AuthUsername", L"Authorization", L"UpdateState",
                                         L"UpdateInformation"}));
    EXPECT_EQ(V_VT(&bag.values[L"UpdateInformation"]), VT_RECORD);
}

// What a late-bound client meets: names and named arguments as the type library gives them,
// and the standard results for what doesn't fit.
TEST_F(Control, LateBoundCallsTakeNamedArgumentsAndGetStandardErrors) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"ReceiveUpdate"),
                        const_cast<LPOLESTR>(L"LocalFileName")};
    DISPID ids[2] = {};
    ASSERT_EQ(S_OK, ctl_->GetIDsOfNames(IID_NULL, names, 2, 0, ids));
    EXPECT_EQ(ids[0], DISPID_ORV_RECEIVEUPDATE);
    EXPECT_EQ(ids[1], 1);
    LPOLESTR wrong[] = {const_cast<LPOLESTR>(L"ReceiveUpdate"),
                        const_cast<LPOLESTR>(L"FolderName")};
    EXPECT_EQ(DISP_E_UNKNOWNNAME, ctl_->GetIDsOfNames(IID_NULL, wrong, 2, 0, ids));

    auto call = [&](DISPID id, WORD flags, std::vector<VARIANT> args, std::vector<DISPID> named,
                    VARIANT* result, UINT* argErr = nullptr) {
        DISPPARAMS p = {args.data(), named.data(), static_cast<UINT>(args.size()),
                        static_cast<UINT>(named.size())};
        EXCEPINFO ex = {};
        const HRESULT hr = ctl_->Invoke(id, IID_NULL, 0, flags, &p, result, &ex, argErr);
        SysFreeString(ex.bstrSource);
        SysFreeString(ex.bstrDescription);
        for (VARIANT& a : args) VariantClear(&a);
        return hr;
    };
    // ReceiveUpdate LocalFileName:="x.exe": the name is the file's, the folder is left out.
    VARIANT r{};
    ASSERT_EQ(S_OK, call(DISPID_ORV_RECEIVEUPDATE, DISPATCH_METHOD, {Text(L"x.exe")}, {1}, &r));
    EXPECT_EQ(V_I4(&r), ORV_ERROR_NOUPDATEDATA);
    ASSERT_EQ(S_OK, call(DISPID_ORV_RECEIVEUPDATE, DISPATCH_METHOD,
                         {Text(L"x.exe"), Text(L"C:\\no\\such\\folder")}, {1, 0}, &r));
    EXPECT_EQ(V_I4(&r), ORV_ERROR_PATHNOTFOUND);
    // A method read like a property, and a by-reference variant holding nothing for a text
    // passed by reference.
    ASSERT_EQ(S_OK, call(DISPID_ORV_COMPAREVERSION, DISPATCH_PROPERTYGET,
                         {Text(L"C:\\windows\\system32\\kernel32.dll")}, {}, &r));
    EXPECT_EQ(V_I4(&r), VER_UPDATEISEQUAL);
    VARIANT version{};
    VARIANT ref{};
    V_VT(&ref) = VT_VARIANT | VT_BYREF;
    V_VARIANTREF(&ref) = &version;
    ASSERT_EQ(S_OK, call(DISPID_ORV_GETFILEVERSION, DISPATCH_METHOD,
                         {ref, Text(L"C:\\windows\\system32\\kernel32.dll")}, {}, &r));
    EXPECT_EQ(V_I4(&r), ORV_ERROR_SUCCESS);
    ASSERT_EQ(V_VT(&version), VT_BSTR);
    EXPECT_NE(std::wstring(V_BSTR(&version)).find(L'.'), std::wstring::npos);
    VariantClear(&version);

    EXPECT_EQ(DISP_E_BADPARAMCOUNT,
              call(DISPID_ORV_CHECKUPDATE, DISPATCH_METHOD, {Long(1)}, {}, &r));
    EXPECT_EQ(DISP_E_PARAMNOTFOUND,
              call(DISPID_ORV_RECEIVEUPDATE, DISPATCH_METHOD, {Text(L"a")}, {7}, &r));
    VARIANT bad{};
    V_VT(&bad) = VT_ERROR;
    V_ERROR(&bad) = E_FAIL;
    UINT argErr = 99;
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              call(DISPID_ORV_COMPAREVERSION, DISPATCH_METHOD, {bad}, {}, &r, &argErr));
    EXPECT_EQ(argErr, 0u);
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, call(0x12345, DISPATCH_METHOD, {}, {}, &r));
    DISPPARAMS none = {};
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
              ctl_->Invoke(DISPID_ORV_ABOUT, IID_IUnknown, 0, DISPATCH_METHOD, &none, nullptr,
                           nullptr, nullptr));
}

TEST_F(Control, ContainerServicesFollowTheContainer) {
    // User mode is asked at each put, so a switch the control was not told of counts.
    SiteIt();
    CONTROLSTATE s = CTRL_STATE_FREE;
    EXPECT_EQ(S_OK, ctl_->put_UpdateState(&s));
    site_->userMode = false;
    EXPECT_EQ(ctl_->put_UpdateState(&s), static_cast<HRESULT>(0x800A0000 + 387));
    // A later successful call leaves no error behind.
    BSTR host = nullptr;
    ASSERT_EQ(S_OK, ctl_->get_RemoteHost(&host));
    SysFreeString(host);
    IErrorInfo* stale = nullptr;
    EXPECT_EQ(S_FALSE, GetErrorInfo(0, &stale));
    if (stale) stale->Release();
    site_->userMode = true;

    // Each connection point takes its own interface; the event point also plain IDispatch.
    EventSink dispatchOnly;
    PropertyBag neither;
    IConnectionPointContainer* cpc = As<IConnectionPointContainer>(IID_IConnectionPointContainer);
    IConnectionPoint* notify = nullptr;
    IConnectionPoint* events = nullptr;
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(IID_IPropertyNotifySink, &notify));
    ASSERT_EQ(S_OK, cpc->FindConnectionPoint(DIID___Orvane, &events));
    DWORD cookie = 0;
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT,
              notify->Advise(static_cast<IDispatch*>(&dispatchOnly), &cookie));
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT,
              events->Advise(static_cast<IPropertyBag*>(&neither), &cookie));
    ASSERT_EQ(S_OK, events->Advise(static_cast<IDispatch*>(&dispatchOnly), &cookie));
    EXPECT_EQ(S_OK, events->Unadvise(cookie));
    notify->Release();
    events->Release();
    cpc->Release();
    EXPECT_EQ(dispatchOnly.Refs(), 1u);
    EXPECT_EQ(neither.Refs(), 1u);

    // The site hears of the size the control keeps, whoever tried another one.
    IOleObject* ole = As<IOleObject>(IID_IOleObject);
    RECT r = {0, 0, 0, 0};
    ASSERT_EQ(S_OK, ole->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site_, 0, host_, &r));
    IOleInPlaceObject* ip = As<IOleInPlaceObject>(IID_IOleInPlaceObject);
    site_->posRectChanges = 0;
    RECT bigger = {5, 6, 400, 300};
    ASSERT_EQ(S_OK, ip->SetObjectRects(&bigger, &bigger));
    EXPECT_EQ(site_->posRectChanges, 1);
    EXPECT_EQ(site_->lastPosRect.left, 5);
    EXPECT_EQ(site_->lastPosRect.right, 5 + 32);
    EXPECT_EQ(site_->lastPosRect.bottom, 6 + 32);
    HWND w = nullptr;
    ASSERT_EQ(S_OK, ip->GetWindow(&w));
    MoveWindow(w, 7, 8, 300, 200, TRUE);
    PumpFor(100);
    EXPECT_EQ(site_->posRectChanges, 2);
    EXPECT_EQ(site_->lastPosRect.left, 7);
    EXPECT_EQ(site_->lastPosRect.bottom, 8 + 32);
    ip->Release();
    ole->Close(OLECLOSE_NOSAVE);
    ole->Release();
}

// Closes the About box from inside its modal loop, reading its version label first and
// saving a screenshot of it.
struct AboutWatcher {
    static inline std::wstring version;
    static inline std::wstring caption;
    static inline int shown = 0;
    static inline std::vector<LRESULT> icons;  // the image's icon in each box
    static void CALLBACK Tick(HWND, UINT, UINT_PTR id, DWORD) {
        HWND box = FindWindowW(nullptr, L"About Orvane Control");
        if (!box) return;
        KillTimer(nullptr, id);
        wchar_t text[128] = {};
        GetDlgItemTextW(box, 203, text, 128);
        version = text;
        GetWindowTextW(box, text, 128);
        caption = text;
        icons.push_back(SendDlgItemMessageW(box, 201, STM_GETICON, 0, 0));
        ++shown;
        UpdateWindow(box);
        PumpFor(300);
        SaveWindowBitmap(box, ScreenshotFolder() + L"\\control-about.bmp");
        PostMessageW(box, WM_CLOSE, 0, 0);
    }
};

TEST_F(Control, AboutShowsTheVersionAndReturnsWhenClosed) {
    SiteIt();
    SetTimer(nullptr, 0, 200, AboutWatcher::Tick);
    ASSERT_EQ(S_OK, ctl_->About());
    EXPECT_EQ(AboutWatcher::shown, 1);
    EXPECT_EQ(AboutWatcher::version, L"v.1.01.0000");
    EXPECT_EQ(AboutWatcher::caption, L"About Orvane Control");

    // A late-bound host reaches it through the standard About-box dispatch id.
    SetTimer(nullptr, 0, 200, AboutWatcher::Tick);
    DISPPARAMS none = {};
    ASSERT_EQ(S_OK, ctl_->Invoke(DISPID_ABOUTBOX, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr,
                                 nullptr, nullptr));
    EXPECT_EQ(AboutWatcher::shown, 2);
    // Both boxes show the one shared icon: none is loaded per box and left behind.
    ASSERT_EQ(AboutWatcher::icons.size(), 2u);
    EXPECT_NE(AboutWatcher::icons[0], 0);
    EXPECT_EQ(AboutWatcher::icons[0], AboutWatcher::icons[1]);
}

TEST_F(Control, ReleasesEverythingAfterAFullCycle) {
    EventSink sink;
    PropertyBag bag;
    {
        SiteIt();
        Connect(ctl_, DIID___Orvane, static_cast<IDispatch*>(&sink));
        Connect(ctl_, IID_IPropertyNotifySink, static_cast<IPropertyNotifySink*>(site_));
        IPersistPropertyBag* p = As<IPersistPropertyBag>(IID_IPersistPropertyBag);
        p->InitNew();
        p->Load(&bag, nullptr);
        IOleObject* ole = As<IOleObject>(IID_IOleObject);
        RECT r = {0, 0, 100, 100};
        ASSERT_EQ(S_OK, ole->DoVerb(OLEIVERB_SHOW, nullptr, site_, 0, host_, &r));
        p->Save(&bag, TRUE, TRUE);
        ole->Close(OLECLOSE_NOSAVE);
        ole->SetClientSite(nullptr);
        ole->Release();
        p->Release();
    }
    EXPECT_EQ(0u, ctl_->Release());
    ctl_ = nullptr;
    EXPECT_EQ(sink.Refs(), 1u);
    EXPECT_EQ(bag.Refs(), 1u);
    EXPECT_EQ(site_->Refs(), 1u);
}

// Wine's ATL container hosts the control in place like any form would.
TEST_F(Control, HostedInPlaceByTheAtlContainerMeasures32By32) {
    HMODULE atl = LoadLibraryW(L"atl.dll");
    ASSERT_NE(atl, nullptr);
    auto init = reinterpret_cast<BOOL(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxWinInit")));
    ASSERT_NE(init, nullptr);
    ASSERT_TRUE(init());
    HWND frame = CreateHostWindow(L"Orvane in an ATL container", 360, 260);
    ShowWindow(frame, SW_SHOW);
    HWND ax = CreateWindowExW(0, L"AtlAxWin", L"OrvaneControl.Orvane", WS_CHILD | WS_VISIBLE, 10,
                              10, 300, 200, frame, nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(ax, nullptr);
    PumpFor(300);
    HWND control = FindWindowExW(ax, nullptr, L"OrvaneControlWindow", nullptr);
    ASSERT_NE(control, nullptr);
    RECT rc;
    GetWindowRect(control, &rc);
    EXPECT_EQ(rc.right - rc.left, 32);
    EXPECT_EQ(rc.bottom - rc.top, 32);
    MoveWindow(ax, 10, 10, 200, 150, TRUE);
    PumpFor(200);
    GetWindowRect(control, &rc);
    EXPECT_EQ(rc.right - rc.left, 32);
    SaveWindowBitmap(frame, ScreenshotFolder() + L"\\control-in-atl-container.bmp");
    DestroyWindow(frame);
    PumpFor(100);
}

}  // namespace
}  // namespace orv::test
