#include "tests/com/host.h"

#include <cstdio>
#include <cwchar>

#include "control/OrvaneControl.h"

namespace orv::test {

// ---------------------------------------------------------------------------------------

namespace {

std::wstring VariantText(const VARIANT& in) {
    const VARIANT* v = &in;
    if (V_VT(v) == (VT_VARIANT | VT_BYREF)) v = V_VARIANTREF(v);
    if ((V_VT(v) & ~VT_BYREF) == VT_RECORD) {
        const auto* r = static_cast<const UPDATEINFO*>(V_RECORD(v));
        auto s = [](BSTR b) { return std::wstring(b ? b : L"", b ? SysStringLen(b) : 0); };
        return s(r->Name) + L"|" + s(r->Version) + L"|" + s(r->ReleaseDate) + L"|" +
               s(r->Description) + L"|" + s(r->PackageFile) + L"|" +
               std::to_wstring(r->PackageSize);
    }
    VARIANT t;
    VariantInit(&t);
    if (FAILED(VariantChangeType(&t, const_cast<VARIANT*>(v), 0, VT_BSTR))) return L"?";
    std::wstring s(V_BSTR(&t), SysStringLen(V_BSTR(&t)));
    VariantClear(&t);
    return s;
}

const wchar_t* EventName(DISPID id) {
    switch (id) {
        case DISPID_ORV_UPDATERECEIVED: return L"UpdateReceived";
        case DISPID_ORV_RECEIVINGUPDATE: return L"ReceivingUpdate";
        case DISPID_ORV_CONNECTIONERROR: return L"ConnectionError";
        case DISPID_ORV_HTTPSTATUS: return L"HttpStatus";
        case DISPID_ORV_INFORECEIVED: return L"InfoReceived";
        default: return L"?";
    }
}

}  // namespace

STDMETHODIMP EventSink::QueryInterface(REFIID iid, void** out) {
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID___Orvane) {
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                               UINT*) {
    Event e{id, {}};
    for (UINT i = p->cArgs; i-- > 0;) e.args.push_back(VariantText(p->rgvarg[i]));
    if (keep) events.push_back(e);
    if (onEvent) onEvent(e, p);
    return S_OK;
}

std::vector<Event> EventSink::Of(DISPID id) const {
    std::vector<Event> r;
    for (const Event& e : events)
        if (e.id == id) r.push_back(e);
    return r;
}

std::vector<std::wstring> EventSink::Names() const {
    std::vector<std::wstring> r;
    for (const Event& e : events) {
        std::wstring s = EventName(e.id);
        if (e.id == 3 || e.id == 4) s += L"(" + e.args[0] + L"," + e.args[1] + L")";
        r.push_back(s);
    }
    return r;
}

// ---------------------------------------------------------------------------------------

STDMETHODIMP Site::QueryInterface(REFIID iid, void** out) {
    void* p = nullptr;
    if (iid == IID_IUnknown || iid == IID_IOleClientSite)
        p = static_cast<IOleClientSite*>(this);
    else if (iid == IID_IOleWindow || iid == IID_IOleInPlaceSite)
        p = static_cast<IOleInPlaceSite*>(this);
    else if (iid == IID_IDispatch)
        p = static_cast<IDispatch*>(this);
    else if (iid == IID_IPropertyNotifySink)
        p = static_cast<IPropertyNotifySink*>(this);
    *out = p;
    if (!p) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP Site::GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT pos,
                                    LPRECT clip, LPOLEINPLACEFRAMEINFO info) {
    *frame = nullptr;
    *doc = nullptr;
    *pos = placement;
    *clip = placement;
    if (info) {
        info->fMDIApp = FALSE;
        info->hwndFrame = host_;
        info->haccel = nullptr;
        info->cAccelEntries = 0;
    }
    return S_OK;
}

STDMETHODIMP Site::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                          UINT*) {
    if (id != DISPID_AMBIENT_USERMODE) return DISP_E_MEMBERNOTFOUND;
    VariantInit(result);
    V_VT(result) = VT_BOOL;
    V_BOOL(result) = userMode ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

// ---------------------------------------------------------------------------------------

PropertyBag::~PropertyBag() {
    for (auto& [k, v] : values) VariantClear(&v);
}

STDMETHODIMP PropertyBag::QueryInterface(REFIID iid, void** out) {
    if (iid == IID_IUnknown || iid == IID_IPropertyBag) {
        *out = static_cast<IPropertyBag*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP PropertyBag::Read(LPCOLESTR name, VARIANT* v, IErrorLog*) {
    readOrder.push_back(name);
    auto it = values.find(name);
    if (it == values.end()) return E_INVALIDARG;
    const VARTYPE wanted = V_VT(v);
    VariantInit(v);
    if (wanted == VT_EMPTY || wanted == V_VT(&it->second)) return VariantCopy(v, &it->second);
    return VariantChangeType(v, &it->second, 0, wanted);
}

STDMETHODIMP PropertyBag::Write(LPCOLESTR name, VARIANT* v) {
    writeOrder.push_back(name);
    VARIANT& slot = values[name];
    VariantClear(&slot);
    VariantInit(&slot);
    return VariantCopy(&slot, v);
}

// ---------------------------------------------------------------------------------------

HWND CreateHostWindow(const wchar_t* title, int width, int height) {
    static bool registered = false;
    if (!registered) {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        wc.lpszClassName = L"OrvaneTestHost";
        RegisterClassW(&wc);
        registered = true;
    }
    return CreateWindowExW(0, L"OrvaneTestHost", title, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 40,
                           40, width, height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
}

HRESULT CreateControl(_Orvane** out) {
    return CoCreateInstance(CLSID_Orvane, nullptr, CLSCTX_INPROC_SERVER, IID__Orvane,
                            reinterpret_cast<void**>(out));
}

DWORD Connect(IUnknown* control, REFIID iid, IUnknown* sink) {
    IConnectionPointContainer* cpc = nullptr;
    DWORD cookie = 0;
    if (FAILED(
            control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc))))
        return 0;
    IConnectionPoint* cp = nullptr;
    if (SUCCEEDED(cpc->FindConnectionPoint(iid, &cp))) {
        cp->Advise(sink, &cookie);
        cp->Release();
    }
    cpc->Release();
    return cookie;
}

HRESULT GetByName(IDispatch* d, const wchar_t* name, VARIANT* out) {
    DISPID id;
    LPOLESTR n = const_cast<LPOLESTR>(name);
    HRESULT hr = d->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    DISPPARAMS none = {};
    VariantInit(out);
    EXCEPINFO ex = {};
    hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, out, &ex,
                   nullptr);
    if (hr == DISP_E_EXCEPTION) hr = ex.scode;
    SysFreeString(ex.bstrSource);
    SysFreeString(ex.bstrDescription);
    SysFreeString(ex.bstrHelpFile);
    return hr;
}

HRESULT PutByName(IDispatch* d, const wchar_t* name, const VARIANT& value) {
    DISPID id;
    LPOLESTR n = const_cast<LPOLESTR>(name);
    HRESULT hr = d->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    VARIANT arg = value;
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS p = {&arg, &put, 1, 1};
    EXCEPINFO ex = {};
    hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &p, nullptr, &ex,
                   nullptr);
    if (hr == DISP_E_EXCEPTION) hr = ex.scode;
    SysFreeString(ex.bstrSource);
    SysFreeString(ex.bstrDescription);
    SysFreeString(ex.bstrHelpFile);
    return hr;
}

HRESULT InvokeForError(IDispatch* d, const wchar_t* name, WORD flags, const VARIANT* value,
                       std::wstring& description) {
    DISPID id;
    LPOLESTR n = const_cast<LPOLESTR>(name);
    HRESULT hr = d->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    VARIANT arg = value ? *value : VARIANT{};
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS p = value ? DISPPARAMS{&arg, &put, 1, 1} : DISPPARAMS{};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO ex = {};
    hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &p, &result, &ex, nullptr);
    if (hr == DISP_E_EXCEPTION) hr = ex.scode;
    description = ex.bstrDescription ? ex.bstrDescription : L"";
    SysFreeString(ex.bstrSource);
    SysFreeString(ex.bstrDescription);
    SysFreeString(ex.bstrHelpFile);
    VariantClear(&result);
    return hr;
}

std::wstring ScreenshotFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring s(path);
    s = s.substr(0, s.find_last_of(L"\\/"));  // bin
    s = s.substr(0, s.find_last_of(L"\\/")) + L"\\screenshots";
    CreateDirectoryW(s.c_str(), nullptr);
    return s;
}

bool SaveWindowBitmap(HWND hwnd, const std::wstring& path) {
    RECT rc;
    if (!GetWindowRect(hwnd, &rc)) return false;
    const int w = rc.right - rc.left, h = rc.bottom - rc.top;
    if (w <= 0 || h <= 0) return false;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, h, screen, rc.left, rc.top, SRCCOPY);
    GdiFlush();
    const DWORD stride = ((w * 3 + 3) / 4) * 4;
    const DWORD imageSize = stride * h;
    BITMAPFILEHEADER fh = {};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    fh.bfSize = fh.bfOffBits + imageSize;
    bool ok = false;
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f) {
        ok = fwrite(&fh, sizeof fh, 1, f) == 1 &&
             fwrite(&bi.bmiHeader, sizeof(BITMAPINFOHEADER), 1, f) == 1 &&
             fwrite(bits, 1, imageSize, f) == imageSize;
        fclose(f);
    }
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return ok;
}

}  // namespace orv::test
