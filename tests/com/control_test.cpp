// The Orvane control in a container of ours: defaults, property puts and their
// notifications, design-time refusals, persistence, size, About box, reference balance.
#include <windows.h>

#include <ocidl.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include "control/OrvaneControl.h"
#include "tests/com/host.h"

namespace orv::test {
namespace {

class Control : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, OleInitialize(nullptr));
        host_ = CreateHostWindow(L"Orvane test host", 320, 240);
        ASSERT_NE(host_, nullptr);
        site_ = new Site(host_);
        ASSERT_EQ(S_OK, CreateControl(&ctl_));
    }
    void TearDown() override {
        if (ctl_) {
            IOleObject* ole = nullptr;
            if (SUCCEEDED(ctl_->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)))) {
                ole->Close(OLECLOSE_NOSAVE);
                ole->SetClientSite(nullptr);
                ole->Release();
            }
            EXPECT_EQ(0u, ctl_->Release());
        }
        EXPECT_EQ(site_->Refs(), 1u) << "the control kept references to its site";
        delete site_;
        DestroyWindow(host_);
        OleUninitialize();
    }

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

    HWND host_ = nullptr;
    Site* site_ = nullptr;
    _Orvane* ctl_ = nullptr;
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
    EXPECT_EQ(bag.readOrder, keys);
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

// Closes the About box from inside its modal loop, reading its version label first and
// saving a screenshot of it.
struct AboutWatcher {
    static inline std::wstring version;
    static inline std::wstring caption;
    static inline int shown = 0;
    static void CALLBACK Tick(HWND, UINT, UINT_PTR id, DWORD) {
        HWND box = FindWindowW(nullptr, L"About Orvane Control");
        if (!box) return;
        KillTimer(nullptr, id);
        wchar_t text[128] = {};
        GetDlgItemTextW(box, 203, text, 128);
        version = text;
        GetWindowTextW(box, text, 128);
        caption = text;
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
    EXPECT_EQ(AboutWatcher::version, L"v.1.00.0062");
    EXPECT_EQ(AboutWatcher::caption, L"About Orvane Control");

    // A late-bound host reaches it through the standard About-box dispatch id.
    SetTimer(nullptr, 0, 200, AboutWatcher::Tick);
    DISPPARAMS none = {};
    ASSERT_EQ(S_OK, ctl_->Invoke(DISPID_ABOUTBOX, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr,
                                 nullptr, nullptr));
    EXPECT_EQ(AboutWatcher::shown, 2);
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
    auto init = reinterpret_cast<BOOL(WINAPI*)()>(GetProcAddress(atl, "AtlAxWinInit"));
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
