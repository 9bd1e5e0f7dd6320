// The control's property pages: the page objects driven directly with a recording page site,
// and the three pages shown by the platform's property frame for two controls, driven through
// window messages.
#include <windows.h>

#include <commctrl.h>
#include <ocidl.h>
#include <olectl.h>
#include <prsht.h>

#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

#include "control/OrvaneControl.h"
#include "control/resource.h"
#include "tests/com/host.h"
#include "tests/support/control_fixture.h"

namespace orv::test {
namespace {

// Records what a page reports to its site.
class PageSite final : public IPropertyPageSite, public CountedUnknown {
   public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IPropertyPageSite) {
            *out = static_cast<IPropertyPageSite*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }
    STDMETHODIMP OnStatusChange(DWORD flags) override {
        status.push_back(flags);
        return S_OK;
    }
    STDMETHODIMP GetLocaleID(LCID* lcid) override {
        *lcid = LOCALE_USER_DEFAULT;
        return S_OK;
    }
    STDMETHODIMP GetPageContainer(IUnknown** out) override {
        *out = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }

    std::vector<DWORD> status;
};

// An object with named properties that records every get and put, in order: "get Name",
// "put Name=<variant type>:<value>".
class RecordingObject final : public IDispatch, public CountedUnknown {
   public:
    explicit RecordingObject(std::vector<std::pair<std::wstring, std::wstring>> props) {
        for (auto& [name, value] : props) {
            names_.push_back(name);
            values_[name] = value;
        }
    }
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch) {
            *out = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (count != 1) return E_INVALIDARG;
        for (std::size_t i = 0; i < names_.size(); ++i) {
            if (names_[i] == names[0]) {
                ids[0] = static_cast<DISPID>(i + 1);
                return S_OK;
            }
        }
        return DISP_E_UNKNOWNNAME;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* p, VARIANT* result,
                        EXCEPINFO*, UINT*) override {
        if (id < 1 || id > static_cast<DISPID>(names_.size())) return DISP_E_MEMBERNOTFOUND;
        const std::wstring& name = names_[id - 1];
        if (flags & DISPATCH_PROPERTYPUT) {
            VARIANT text;
            VariantInit(&text);
            VariantChangeType(&text, &p->rgvarg[0], VARIANT_ALPHABOOL, VT_BSTR);
            calls.push_back(L"put " + name + L"=" + std::to_wstring(V_VT(&p->rgvarg[0])) + L":" +
                            V_BSTR(&text));
            VariantClear(&text);
            return S_OK;
        }
        calls.push_back(L"get " + name);
        V_VT(result) = VT_BSTR;
        V_BSTR(result) = SysAllocString(values_[name].c_str());
        return S_OK;
    }

    std::vector<std::wstring> calls;

   private:
    std::vector<std::wstring> names_;
    std::map<std::wstring, std::wstring> values_;
};

std::wstring WindowText(HWND hwnd) {
    wchar_t buf[256] = {};
    GetWindowTextW(hwnd, buf, 256);
    return buf;
}

std::wstring FieldText(HWND page, int id) {
    return WindowText(GetDlgItem(page, id));
}

// Sets a field's text the way the platform does for typing: WM_SETTEXT makes the box send
// EN_CHANGE to the page.
void Type(HWND page, int id, const wchar_t* text) {
    SendMessageW(GetDlgItem(page, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

void Click(HWND page, int id) {
    SendMessageW(GetDlgItem(page, id), BM_CLICK, 0, 0);
}

bool Checked(HWND page, int id) {
    return SendMessageW(GetDlgItem(page, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

VARIANT Text(const wchar_t* s) {
    VARIANT v;
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(s);
    return v;
}

VARIANT Long(LONG n) {
    VARIANT v;
    V_VT(&v) = VT_I4;
    V_I4(&v) = n;
    return v;
}

void Put(IDispatch* d, const wchar_t* name, VARIANT v) {
    EXPECT_EQ(S_OK, PutByName(d, name, v)) << name;
    VariantClear(&v);
}

std::wstring Get(IDispatch* d, const wchar_t* name) {
    VARIANT v;
    if (FAILED(GetByName(d, name, &v))) return L"<error>";
    VariantChangeType(&v, &v, VARIANT_ALPHABOOL, VT_BSTR);
    std::wstring s(V_BSTR(&v), SysStringLen(V_BSTR(&v)));
    VariantClear(&v);
    return s;
}

constexpr const wchar_t* kProperties[] = {
    L"RemoteHost", L"RemotePort", L"RemotePath",   L"RemoteFile",   L"ProxyHost",
    L"ProxyPort",  L"Proxy",      L"AuthPassword", L"AuthUsername", L"Authorization"};

std::map<std::wstring, std::wstring> AllProperties(IDispatch* d) {
    std::map<std::wstring, std::wstring> m;
    for (const wchar_t* name : kProperties) m[name] = Get(d, name);
    return m;
}

ULONG RefCount(IUnknown* u) {
    u->AddRef();
    return u->Release();
}

class Pages : public ControlFixture {
   protected:
    void SetUp() override {
        hostTitle_ = L"Orvane page host";
        ControlFixture::SetUp();
        first_ = ctl_;
        second_ = AnotherControl();
        notify_ = ControlFixture::site_;
        Connect(first_, IID_IPropertyNotifySink, static_cast<IPropertyNotifySink*>(notify_));
    }
    void TearDown() override {
        if (page_) {
            page_->Deactivate();
            EXPECT_EQ(0u, page_->Release());
        }
        EXPECT_EQ(site_.Refs(), 1u) << "the page kept its site";
        ControlFixture::TearDown();
    }

    // Creates the page, gives it the site and `objects`, and activates it on the hidden host
    // window; returns the page's dialog.
    HWND Open(REFCLSID clsid, std::vector<IUnknown*> objects) {
        EXPECT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage2,
                                         reinterpret_cast<void**>(&page_)));
        if (!page_) return nullptr;
        EXPECT_EQ(S_OK, page_->SetPageSite(&site_));
        EXPECT_EQ(S_OK, page_->SetObjects(static_cast<ULONG>(objects.size()), objects.data()));
        RECT rc = {0, 0, 400, 240};
        EXPECT_EQ(S_OK, page_->Activate(host_, &rc, TRUE));
        EXPECT_EQ(S_OK, page_->Show(SW_SHOW));
        return FindWindowExW(host_, nullptr, L"#32770", nullptr);
    }

    bool Dirty() { return page_->IsPageDirty() == S_OK; }

    // Applies the page and brings it back to "not changed".
    void ApplyClean() {
        ASSERT_EQ(S_OK, page_->Apply());
        ASSERT_FALSE(Dirty());
        site_.status.clear();
    }

    Site* notify_ = nullptr;  // records the dispatch ids of the first control's puts
    PageSite site_;
    _Orvane* first_ = nullptr;
    _Orvane* second_ = nullptr;
    IPropertyPage2* page_ = nullptr;
};

TEST_F(Pages, DescribeThemselvesWithCaptionAndPixelSize) {
    struct {
        const CLSID* clsid;
        const IID* own;
        const wchar_t* caption;
        LONG cx, cy;  // twips / 15
    } pages[] = {{&CLSID_PropertyPage1, &IID__PropertyPage1, L"General", 395, 233},
                 {&CLSID_PropertyPage2, &IID__PropertyPage2, L"Authorization", 238, 141},
                 {&CLSID_PropertyPage3, &IID__PropertyPage3, L"Proxy", 395, 233}};
    for (const auto& p : pages) {
        IPropertyPage* page = nullptr;
        ASSERT_EQ(S_OK, CoCreateInstance(*p.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IPropertyPage,
                                         reinterpret_cast<void**>(&page)));
        PROPPAGEINFO info = {};
        ASSERT_EQ(S_OK, page->GetPageInfo(&info));
        EXPECT_STREQ(info.pszTitle, p.caption);
        EXPECT_EQ(info.size.cx, p.cx) << p.caption;
        EXPECT_EQ(info.size.cy, p.cy) << p.caption;
        CoTaskMemFree(info.pszTitle);
        // The page's own interface of the type library answers too.
        IDispatch* own = nullptr;
        ASSERT_EQ(S_OK, page->QueryInterface(*p.own, reinterpret_cast<void**>(&own)));
        ITypeInfo* type = nullptr;
        ASSERT_EQ(S_OK, own->GetTypeInfo(0, 0, &type));
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, type->GetTypeAttr(&attr));
        EXPECT_EQ(attr->guid, *p.own);
        type->ReleaseTypeAttr(attr);
        type->Release();
        own->Release();
        EXPECT_EQ(0u, page->Release());
    }
}

TEST_F(Pages, FieldsStandInTabOrderWithTheirCaptions) {
    struct Expected {
        const CLSID* clsid;
        std::vector<std::pair<int, const wchar_t*>> controls;  // in tab order
    } pages[] = {
        {&CLSID_PropertyPage1,
         {{IDC_LBL_REMOTEHOST, L"RemoteHost:"},
          {IDC_TXT_REMOTEHOST, nullptr},
          {IDC_LBL_REMOTEPORT, L"RemotePort:"},
          {IDC_TXT_REMOTEPORT, nullptr},
          {IDC_LBL_REMOTEPATH, L"RemotePath:"},
          {IDC_TXT_REMOTEPATH, nullptr},
          {IDC_LBL_REMOTEFILE, L"RemoteFile:"},
          {IDC_TXT_REMOTEFILE, nullptr}}},
        {&CLSID_PropertyPage2,
         {{IDC_LBL_AUTHPASSWORD, L"AuthPassword:"},
          {IDC_TXT_AUTHPASSWORD, nullptr},
          {IDC_LBL_AUTHUSERNAME, L"AuthUsername:"},
          {IDC_TXT_AUTHUSERNAME, nullptr},
          {IDC_CHK_AUTHORIZATION, L"Use Authorization"}}},
        {&CLSID_PropertyPage3,
         {{IDC_LBL_PROXYHOST, L"ProxyHost:"},
          {IDC_TXT_PROXYHOST, nullptr},
          {IDC_LBL_PROXYPORT, L"ProxyPort:"},
          {IDC_TXT_PROXYPORT, nullptr},
          {IDC_CHK_PROXY, L"Use Proxy"}}},
    };
    for (const Expected& e : pages) {
        HWND dlg = Open(*e.clsid, {first_});
        ASSERT_NE(dlg, nullptr);
        std::vector<HWND> children;
        for (HWND c = GetWindow(dlg, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
            children.push_back(c);
        ASSERT_EQ(children.size(), e.controls.size());
        RECT first = {};
        GetWindowRect(children[0], &first);
        for (std::size_t i = 0; i < children.size(); ++i) {
            EXPECT_EQ(GetDlgCtrlID(children[i]), e.controls[i].first) << i;
            if (e.controls[i].second) {
                EXPECT_EQ(WindowText(children[i]), e.controls[i].second);
            }
            // One column at the left edge, every label right above its box.
            RECT rc = {};
            GetWindowRect(children[i], &rc);
            EXPECT_EQ(rc.left, first.left) << i;
            if (i % 2 == 1 && e.controls[i].second == nullptr) {
                RECT label = {};
                GetWindowRect(children[i - 1], &label);
                EXPECT_GE(rc.top, label.bottom - 1) << i;
                EXPECT_LE(rc.top - label.bottom, 3) << i;
                EXPECT_EQ(rc.right - rc.left, label.right - label.left) << i;
            }
        }
        page_->Deactivate();
        EXPECT_EQ(0u, page_->Release());
        page_ = nullptr;
    }
}

TEST_F(Pages, LoadAndApplyFollowEachPagesOrderWithPortsAsText) {
    struct Case {
        const CLSID* clsid;
        std::vector<std::pair<std::wstring, std::wstring>> props;
        std::vector<std::wstring> loads, applies;
    } cases[] = {
        {&CLSID_PropertyPage1,
         {{L"RemoteHost", L"h"},
          {L"RemotePort", L"81"},
          {L"RemotePath", L"/p/"},
          {L"RemoteFile", L"f"}},
         {L"get RemoteFile", L"get RemotePath", L"get RemotePort", L"get RemoteHost"},
         {L"put RemoteFile=8:f", L"put RemotePath=8:/p/", L"put RemotePort=8:81",
          L"put RemoteHost=8:h"}},
        {&CLSID_PropertyPage2,
         {{L"Authorization", L"True"}, {L"AuthUsername", L"u"}, {L"AuthPassword", L"pw"}},
         {L"get Authorization", L"get AuthUsername", L"get AuthPassword"},
         {L"put Authorization=11:True", L"put AuthUsername=8:u", L"put AuthPassword=8:pw"}},
        {&CLSID_PropertyPage3,
         {{L"Proxy", L"False"}, {L"ProxyPort", L"3128"}, {L"ProxyHost", L"c"}},
         {L"get Proxy", L"get ProxyPort", L"get ProxyHost"},
         {L"put Proxy=11:False", L"put ProxyPort=8:3128", L"put ProxyHost=8:c"}},
    };
    for (Case& c : cases) {
        RecordingObject object(c.props);
        RecordingObject other(c.props);
        HWND dlg = Open(*c.clsid, {&object, &other});
        ASSERT_NE(dlg, nullptr);
        EXPECT_EQ(object.calls, c.loads);
        object.calls.clear();
        ASSERT_EQ(S_OK, page_->Apply());
        EXPECT_EQ(object.calls, c.applies);
        EXPECT_TRUE(other.calls.empty()) << "only the first selected object is used";
        page_->Deactivate();
        EXPECT_EQ(0u, page_->Release());
        page_ = nullptr;
        EXPECT_EQ(object.Refs(), 1u);
        EXPECT_EQ(other.Refs(), 1u);
    }
}

TEST_F(Pages, LoadingRunsTheHandlersOfFieldsWhoseContentChanges) {
    Put(first_, L"RemotePort", Long(0));
    HWND dlg = Open(CLSID_PropertyPage1, {first_});
    ASSERT_NE(dlg, nullptr);
    // Port 0 is shown as it is: the box is not empty, so it is not refilled.
    EXPECT_EQ(FieldText(dlg, IDC_TXT_REMOTEPORT), L"0");
    EXPECT_EQ(FieldText(dlg, IDC_TXT_REMOTEHOST), L"http://");
    EXPECT_EQ(FieldText(dlg, IDC_TXT_REMOTEPATH), L"/");
    EXPECT_EQ(FieldText(dlg, IDC_TXT_REMOTEFILE), L"update.orv");
    // The empty boxes changed as they were filled.
    EXPECT_TRUE(Dirty());
    EXPECT_EQ(site_.status, std::vector<DWORD>{PROPPAGESTATUS_DIRTY});

    // Loading the same values again changes no field and so marks nothing.
    ApplyClean();
    IUnknown* objects[] = {first_};
    ASSERT_EQ(S_OK, page_->SetObjects(1, objects));
    EXPECT_FALSE(Dirty());
    EXPECT_TRUE(site_.status.empty());

    // A new control's empty credentials and cleared check box leave a fresh page unchanged.
    page_->Deactivate();
    page_->Release();
    page_ = nullptr;
    dlg = Open(CLSID_PropertyPage2, {second_});
    EXPECT_FALSE(Dirty());
    EXPECT_FALSE(Checked(dlg, IDC_CHK_AUTHORIZATION));
    // Selecting a control with authorization on checks the box, as a click would.
    VARIANT on;
    V_VT(&on) = VT_BOOL;
    V_BOOL(&on) = VARIANT_TRUE;
    Put(first_, L"Authorization", on);
    Put(first_, L"AuthUsername", Text(L"dev"));
    ASSERT_EQ(S_OK, page_->SetObjects(1, objects));
    EXPECT_TRUE(Checked(dlg, IDC_CHK_AUTHORIZATION));
    EXPECT_EQ(FieldText(dlg, IDC_TXT_AUTHUSERNAME), L"dev");
    EXPECT_TRUE(Dirty());
}

TEST_F(Pages, EmptiedPortFieldsRefillThemselvesAndMarkThePage) {
    HWND dlg = Open(CLSID_PropertyPage1, {first_});
    ASSERT_NE(dlg, nullptr);
    ApplyClean();
    Type(dlg, IDC_TXT_REMOTEPORT, L"");
    EXPECT_EQ(FieldText(dlg, IDC_TXT_REMOTEPORT), L"80");
    EXPECT_TRUE(Dirty());
    EXPECT_EQ(site_.status, std::vector<DWORD>{PROPPAGESTATUS_DIRTY});
    // Other boxes may stay empty, and the port box takes any text.
    Type(dlg, IDC_TXT_REMOTEHOST, L"");
    EXPECT_EQ(FieldText(dlg, IDC_TXT_REMOTEHOST), L"");
    Type(dlg, IDC_TXT_REMOTEPORT, L"12ab");
    EXPECT_EQ(FieldText(dlg, IDC_TXT_REMOTEPORT), L"12ab");

    page_->Deactivate();
    page_->Release();
    page_ = nullptr;
    dlg = Open(CLSID_PropertyPage3, {first_});
    ApplyClean();
    Type(dlg, IDC_TXT_PROXYPORT, L"");
    EXPECT_EQ(FieldText(dlg, IDC_TXT_PROXYPORT), L"8080");
    EXPECT_TRUE(Dirty());
    // Any edit of a text box marks the page.
    ApplyClean();
    Type(dlg, IDC_TXT_PROXYHOST, L"cache");
    EXPECT_TRUE(Dirty());
}

TEST_F(Pages, CheckBoxClicksOnlyMarkThePage) {
    struct {
        const CLSID* clsid;
        int check;
        int boxes[2];
    } pages[] = {
        {&CLSID_PropertyPage2, IDC_CHK_AUTHORIZATION, {IDC_TXT_AUTHUSERNAME, IDC_TXT_AUTHPASSWORD}},
        {&CLSID_PropertyPage3, IDC_CHK_PROXY, {IDC_TXT_PROXYHOST, IDC_TXT_PROXYPORT}}};
    for (const auto& p : pages) {
        HWND dlg = Open(*p.clsid, {first_});
        ASSERT_NE(dlg, nullptr);
        ApplyClean();
        std::vector<std::wstring> before;
        for (int id : p.boxes) before.push_back(FieldText(dlg, id));
        for (bool expected : {true, false}) {
            Click(dlg, p.check);
            EXPECT_EQ(Checked(dlg, p.check), expected);
            EXPECT_TRUE(Dirty());
            for (std::size_t i = 0; i < 2; ++i) {
                EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dlg, p.boxes[i])));
                EXPECT_EQ(FieldText(dlg, p.boxes[i]), before[i]);
            }
        }
        EXPECT_EQ(site_.status, std::vector<DWORD>{PROPPAGESTATUS_DIRTY});
        page_->Deactivate();
        page_->Release();
        page_ = nullptr;
        site_.status.clear();
    }
}

TEST_F(Pages, ApplyWritesTheFirstControlInOrderThroughItsSetters) {
    const auto secondBefore = AllProperties(second_);
    HWND dlg = Open(CLSID_PropertyPage1, {first_, second_});
    ASSERT_NE(dlg, nullptr);
    Type(dlg, IDC_TXT_REMOTEFILE, L"news.orv");
    Type(dlg, IDC_TXT_REMOTEPATH, L"downloads");
    Type(dlg, IDC_TXT_REMOTEPORT, L"8081");
    Type(dlg, IDC_TXT_REMOTEHOST, L"updates.example.test");
    notify_->changed.clear();
    ASSERT_EQ(S_OK, page_->Apply());
    EXPECT_FALSE(Dirty());
    // RemoteFile, RemotePath, RemotePort, RemoteHost: the order of the control's notifications.
    EXPECT_EQ(notify_->changed,
              (std::vector<DISPID>{0x68030008, 0x68030009, 0x6803000A, 0x6803000B}));
    EXPECT_EQ(Get(first_, L"RemoteFile"), L"news.orv");
    EXPECT_EQ(Get(first_, L"RemotePath"), L"/downloads/");
    EXPECT_EQ(Get(first_, L"RemotePort"), L"8081");
    EXPECT_EQ(Get(first_, L"RemoteHost"), L"updates.example.test");
    // The field keeps what was typed; the control holds the normalised path.
    EXPECT_EQ(FieldText(dlg, IDC_TXT_REMOTEPATH), L"downloads");
    EXPECT_EQ(AllProperties(second_), secondBefore);
    // The frame can ask for the field of a property by its dispatch id.
    EXPECT_EQ(S_OK, page_->EditProperty(0x6803000A));
    EXPECT_EQ(E_NOTIMPL, page_->EditProperty(0x68030005)) << "Proxy is not on this page";
}

TEST_F(Pages, APageDeactivatedAndAppliedWritesItsValues) {
    HWND dlg = Open(CLSID_PropertyPage1, {first_});
    ASSERT_NE(dlg, nullptr);
    Type(dlg, IDC_TXT_REMOTEFILE, L"kept.orv");
    Type(dlg, IDC_TXT_REMOTEPORT, L"8082");
    ASSERT_TRUE(Dirty());
    // The frame shows another tab: the page's window goes, its values stay with the page.
    EXPECT_EQ(S_OK, page_->Deactivate());
    EXPECT_TRUE(Dirty());
    // Back on the tab, the page shows what was typed, not the control's values.
    RECT rc = {0, 0, 400, 240};
    ASSERT_EQ(S_OK, page_->Activate(host_, &rc, TRUE));
    dlg = FindWindowExW(host_, nullptr, L"#32770", nullptr);
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(FieldText(dlg, IDC_TXT_REMOTEFILE), L"kept.orv");
    EXPECT_EQ(FieldText(dlg, IDC_TXT_REMOTEPORT), L"8082");
    Type(dlg, IDC_TXT_REMOTEPATH, L"later");
    // Deactivated again, then applied (the frame's Apply of another tab reaches every page).
    EXPECT_EQ(S_OK, page_->Deactivate());
    ASSERT_EQ(S_OK, page_->Apply());
    EXPECT_FALSE(Dirty());
    EXPECT_EQ(Get(first_, L"RemoteFile"), L"kept.orv");
    EXPECT_EQ(Get(first_, L"RemotePort"), L"8082");
    EXPECT_EQ(Get(first_, L"RemotePath"), L"/later/");
    // A page never changed writes nothing while it is not shown.
    Put(first_, L"RemoteFile", Text(L"other.orv"));
    ASSERT_EQ(S_OK, page_->Apply());
    EXPECT_EQ(Get(first_, L"RemoteFile"), L"other.orv");
}

TEST_F(Pages, ApplyStopsAtTheFirstRefusedAssignment) {
    HWND dlg = Open(CLSID_PropertyPage1, {first_});
    ASSERT_NE(dlg, nullptr);
    Type(dlg, IDC_TXT_REMOTEFILE, L"news.orv");
    Type(dlg, IDC_TXT_REMOTEPATH, L"downloads");
    Type(dlg, IDC_TXT_REMOTEPORT, L"12ab");
    Type(dlg, IDC_TXT_REMOTEHOST, L"updates.example.test");
    notify_->changed.clear();
    EXPECT_EQ(page_->Apply(), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(notify_->changed, (std::vector<DISPID>{0x68030008, 0x68030009}));
    EXPECT_EQ(Get(first_, L"RemoteFile"), L"news.orv");
    EXPECT_EQ(Get(first_, L"RemotePath"), L"/downloads/");
    EXPECT_EQ(Get(first_, L"RemotePort"), L"80");
    EXPECT_EQ(Get(first_, L"RemoteHost"), L"http://");
    EXPECT_TRUE(Dirty()) << "nothing was applied as a whole";

    // A run-time error of the control reaches the caller with its number and text.
    Type(dlg, IDC_TXT_REMOTEPORT, L"99999999999");
    EXPECT_EQ(page_->Apply(), static_cast<HRESULT>(0x800A0000 + 6));
    IErrorInfo* info = nullptr;
    ASSERT_EQ(S_OK, GetErrorInfo(0, &info));
    BSTR text = nullptr;
    info->GetDescription(&text);
    EXPECT_STREQ(text, L"The value for RemotePort does not fit a long (-2147483648 to 2147483647)");
    SysFreeString(text);
    info->Release();

    // Apply on the Proxy page stops at ProxyPort: Proxy written, ProxyHost not.
    page_->Deactivate();
    page_->Release();
    page_ = nullptr;
    dlg = Open(CLSID_PropertyPage3, {first_});
    Click(dlg, IDC_CHK_PROXY);
    Type(dlg, IDC_TXT_PROXYPORT, L"port");
    Type(dlg, IDC_TXT_PROXYHOST, L"cache");
    EXPECT_EQ(page_->Apply(), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(Get(first_, L"Proxy"), L"True");
    EXPECT_EQ(Get(first_, L"ProxyPort"), L"8080");
    EXPECT_EQ(Get(first_, L"ProxyHost"), L"proxy.");
}

// ---------------------------------------------------------------------------------------
// The platform's property frame

// Runs one step per timer tick while the frame's modal loop runs on this thread, so the frame
// paints between steps. Gives up after a bounded time by cancelling the frame.
class FrameScript {
   public:
    explicit FrameScript(std::vector<std::function<void(HWND)>> steps) : steps_(std::move(steps)) {}

    void Start() {
        current_ = this;
        start_ = GetTickCount();
        timer_ = SetTimer(nullptr, 0, 150, Tick);
    }
    bool Finished() const { return next_ == steps_.size(); }

   private:
    static BOOL CALLBACK FindFrame(HWND hwnd, LPARAM out) {
        wchar_t cls[64] = {};
        GetClassNameW(hwnd, cls, 64);
        if (IsWindowVisible(hwnd) && std::wstring(cls) == L"#32770" &&
            FindWindowExW(hwnd, nullptr, WC_TABCONTROLW, nullptr)) {
            *reinterpret_cast<HWND*>(out) = hwnd;
            return FALSE;
        }
        return TRUE;
    }

    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        FrameScript* self = current_;
        if (!self || self->busy_) return;
        self->busy_ = true;
        HWND frame = nullptr;
        EnumThreadWindows(GetCurrentThreadId(), FindFrame, reinterpret_cast<LPARAM>(&frame));
        if (GetTickCount() - self->start_ > 30000) {
            ADD_FAILURE() << "the frame script did not finish in time";
            self->next_ = self->steps_.size();
            if (frame) PostMessageW(frame, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
        } else if (frame && self->next_ < self->steps_.size()) {
            self->steps_[self->next_++](frame);
        }
        if (self->next_ == self->steps_.size()) KillTimer(nullptr, self->timer_);
        self->busy_ = false;
    }

    static inline FrameScript* current_ = nullptr;
    std::vector<std::function<void(HWND)>> steps_;
    std::size_t next_ = 0;
    DWORD start_ = 0;
    UINT_PTR timer_ = 0;
    bool busy_ = false;
};

// The frame's page dialog of the current tab and, inside it, the page's own dialog.
HWND SheetPage(HWND frame) {
    return reinterpret_cast<HWND>(SendMessageW(frame, PSM_GETCURRENTPAGEHWND, 0, 0));
}
HWND OurPage(HWND frame) {
    return FindWindowExW(SheetPage(frame), nullptr, L"#32770", nullptr);
}

// The page object the frame created for the current tab. Wine's frame (8.0) keeps it in its
// page dialog's DWLP_USER.
IPropertyPage* FramePage(HWND frame) {
    return reinterpret_cast<IPropertyPage*>(GetWindowLongPtrW(SheetPage(frame), DWLP_USER));
}

HWND ButtonWithText(HWND frame, const wchar_t* a, const wchar_t* b) {
    for (HWND c = GetWindow(frame, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        const std::wstring t = WindowText(c);
        if (t == a || t == b) return c;
    }
    return nullptr;
}

// Presses the frame's Apply button. Wine's frame (8.0) leaves that button disabled and does
// not pass PSN_APPLY on to the page object, so the test then does what the button does on a
// complete frame: it calls Apply on the page object of the current tab.
HRESULT PressApply(HWND frame) {
    HWND apply = ButtonWithText(frame, L"&Apply", L"Apply");
    EXPECT_NE(apply, nullptr);
    if (apply) SendMessageW(apply, BM_CLICK, 0, 0);
    IPropertyPage* page = FramePage(frame);
    return page ? page->Apply() : E_UNEXPECTED;
}

bool FrameDirty(HWND frame) {
    IPropertyPage* page = FramePage(frame);
    return page && page->IsPageDirty() == S_OK;
}

void Screenshot(HWND frame, const wchar_t* name) {
    RedrawWindow(frame, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    EXPECT_TRUE(SaveWindowBitmap(frame, ScreenshotFolder() + L"\\" + name));
}

TEST_F(Pages, TheFrameShowsThePagesForTwoControlsAndWritesTheFirst) {
    Put(first_, L"RemotePort", Long(0));
    Put(first_, L"RemoteHost", Text(L"first.example.test"));
    Put(second_, L"RemoteHost", Text(L"second.example.test"));
    Put(second_, L"RemotePort", Long(8000));
    const auto secondBefore = AllProperties(second_);
    const ULONG firstRefs = RefCount(first_), secondRefs = RefCount(second_);

    std::vector<std::wstring> tabs;
    FrameScript script({
        // General: the first control's values, port 0 shown as "0".
        [&](HWND frame) {
            HWND tab = FindWindowExW(frame, nullptr, WC_TABCONTROLW, nullptr);
            for (int i = 0; i < TabCtrl_GetItemCount(tab); ++i) {
                wchar_t text[64] = {};
                TCITEMW item = {};
                item.mask = TCIF_TEXT;
                item.pszText = text;
                item.cchTextMax = 64;
                SendMessageW(tab, TCM_GETITEMW, i, reinterpret_cast<LPARAM>(&item));
                tabs.push_back(text);
            }
            HWND page = OurPage(frame);
            ASSERT_NE(page, nullptr);
            EXPECT_EQ(FieldText(page, IDC_TXT_REMOTEHOST), L"first.example.test");
            EXPECT_EQ(FieldText(page, IDC_TXT_REMOTEPORT), L"0");
            EXPECT_EQ(FieldText(page, IDC_TXT_REMOTEPATH), L"/");
            EXPECT_EQ(FieldText(page, IDC_TXT_REMOTEFILE), L"update.orv");
        },
        [&](HWND frame) { Screenshot(frame, L"page-general.bmp"); },
        // 12ab fails at RemotePort after RemoteFile and RemotePath.
        [&](HWND frame) {
            HWND page = OurPage(frame);
            Type(page, IDC_TXT_REMOTEFILE, L"news.orv");
            Type(page, IDC_TXT_REMOTEPATH, L"downloads");
            Type(page, IDC_TXT_REMOTEPORT, L"12ab");
            Type(page, IDC_TXT_REMOTEHOST, L"updates.example.test");
            EXPECT_EQ(PressApply(frame), DISP_E_TYPEMISMATCH);
            EXPECT_EQ(Get(first_, L"RemoteFile"), L"news.orv");
            EXPECT_EQ(Get(first_, L"RemotePath"), L"/downloads/");
            EXPECT_EQ(Get(first_, L"RemotePort"), L"0");
            EXPECT_EQ(Get(first_, L"RemoteHost"), L"first.example.test");
            EXPECT_TRUE(FrameDirty(frame));
        },
        // Emptying the port refills it; then everything applies in order.
        [&](HWND frame) {
            HWND page = OurPage(frame);
            Type(page, IDC_TXT_REMOTEPORT, L"");
            EXPECT_EQ(FieldText(page, IDC_TXT_REMOTEPORT), L"80");
            notify_->changed.clear();
            EXPECT_EQ(PressApply(frame), S_OK);
            EXPECT_EQ(notify_->changed,
                      (std::vector<DISPID>{0x68030008, 0x68030009, 0x6803000A, 0x6803000B}));
            EXPECT_EQ(Get(first_, L"RemotePort"), L"80");
            EXPECT_EQ(Get(first_, L"RemoteHost"), L"updates.example.test");
            EXPECT_FALSE(FrameDirty(frame));
            Type(page, IDC_TXT_REMOTEPORT, L"");
            EXPECT_EQ(FieldText(page, IDC_TXT_REMOTEPORT), L"80");
            EXPECT_TRUE(FrameDirty(frame));
        },
        [&](HWND frame) { SendMessageW(frame, PSM_SETCURSEL, 1, 0); },
        // Authorization: loads clean; a click only marks the page.
        [&](HWND frame) {
            HWND page = OurPage(frame);
            ASSERT_NE(page, nullptr);
            EXPECT_FALSE(FrameDirty(frame));
            Click(page, IDC_CHK_AUTHORIZATION);
            EXPECT_TRUE(Checked(page, IDC_CHK_AUTHORIZATION));
            EXPECT_TRUE(FrameDirty(frame));
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page, IDC_TXT_AUTHUSERNAME)));
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page, IDC_TXT_AUTHPASSWORD)));
            Type(page, IDC_TXT_AUTHUSERNAME, L"dev");
            Type(page, IDC_TXT_AUTHPASSWORD, L"secret");
        },
        [&](HWND frame) { Screenshot(frame, L"page-authorization.bmp"); },
        [&](HWND frame) {
            EXPECT_EQ(PressApply(frame), S_OK);
            EXPECT_EQ(Get(first_, L"Authorization"), L"True");
            EXPECT_EQ(Get(first_, L"AuthUsername"), L"dev");
            EXPECT_EQ(Get(first_, L"AuthPassword"), L"secret");
            SendMessageW(frame, PSM_SETCURSEL, 2, 0);
        },
        // Proxy: the loaded port differs from the empty box, so the page starts changed.
        [&](HWND frame) {
            HWND page = OurPage(frame);
            ASSERT_NE(page, nullptr);
            EXPECT_EQ(FieldText(page, IDC_TXT_PROXYPORT), L"8080");
            EXPECT_EQ(FieldText(page, IDC_TXT_PROXYHOST), L"proxy.");
            EXPECT_TRUE(FrameDirty(frame));
            EXPECT_EQ(PressApply(frame), S_OK);
            EXPECT_FALSE(FrameDirty(frame));
            Type(page, IDC_TXT_PROXYPORT, L"");
            EXPECT_EQ(FieldText(page, IDC_TXT_PROXYPORT), L"8080");
            EXPECT_TRUE(FrameDirty(frame));
            Click(page, IDC_CHK_PROXY);
            EXPECT_TRUE(IsWindowEnabled(GetDlgItem(page, IDC_TXT_PROXYHOST)));
            Type(page, IDC_TXT_PROXYHOST, L"cache.example.test");
            Type(page, IDC_TXT_PROXYPORT, L"3128");
        },
        [&](HWND frame) { Screenshot(frame, L"page-proxy.bmp"); },
        [&](HWND frame) {
            EXPECT_EQ(PressApply(frame), S_OK);
            EXPECT_EQ(Get(first_, L"Proxy"), L"True");
            EXPECT_EQ(Get(first_, L"ProxyPort"), L"3128");
            EXPECT_EQ(Get(first_, L"ProxyHost"), L"cache.example.test");
            HWND ok = GetDlgItem(frame, IDOK);
            ASSERT_NE(ok, nullptr);
            PostMessageW(ok, BM_CLICK, 0, 0);
        },
    });
    script.Start();
    IUnknown* objects[] = {first_, second_};
    CLSID pages[] = {CLSID_PropertyPage1, CLSID_PropertyPage2, CLSID_PropertyPage3};
    EXPECT_EQ(S_OK, OleCreatePropertyFrame(host_, 40, 40, L"Orvane", 2, objects, 3, pages,
                                           LOCALE_USER_DEFAULT, 0, nullptr));
    EXPECT_TRUE(script.Finished());
    EXPECT_EQ(tabs, (std::vector<std::wstring>{L"General", L"Authorization", L"Proxy"}));
    EXPECT_EQ(AllProperties(second_), secondBefore) << "only the first control is written";
    // The frame released its pages, and the pages their controls.
    EXPECT_EQ(RefCount(first_), firstRefs);
    EXPECT_EQ(RefCount(second_), secondRefs);
}

}  // namespace
}  // namespace orv::test
