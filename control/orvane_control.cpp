// The Orvane control's COM identity, container services, appearance and life cycle.
#include "control/orvane_control.h"

#include <olectl.h>

#include "control/about.h"
#include "control/misc.h"
#include "control/resource.h"

namespace orv {
namespace {

constexpr wchar_t kWindowClass[] = L"OrvaneControlWindow";
// Posted to the control's window after a size it refused, to tell the site.
constexpr UINT kMsgTellSite = WM_APP + 1;

}  // namespace

// ---------------------------------------------------------------------------------------
// Creation and IUnknown

OrvaneControl::OrvaneControl()
    : events_(this, DIID___Orvane, true), propertyNotify_(this, IID_IPropertyNotifySink, false) {}

OrvaneControl::~OrvaneControl() {
    Terminate();
}

HRESULT OrvaneControl::Create(REFIID iid, void** out) {
    OrvaneControl* c = new OrvaneControl();
    HRESULT hr = c->Initialize();
    if (SUCCEEDED(hr)) hr = c->QueryInterface(iid, out);
    c->Release();
    return hr;
}

HRESULT OrvaneControl::Initialize() {
    picture_ = static_cast<HICON>(LoadImageW(ModuleInstance(), MAKEINTRESOURCEW(IDI_ORVANE),
                                             IMAGE_ICON, kSizePixels, kSizePixels, LR_SHARED));
    versionText_ = ModuleVersionText(ModuleInstance());
    session::ISessionHost& host = *this;
    session_ = std::make_unique<session::UpdateSession>(host, versionText_);
    ScheduleAutoCheck();
    WatchInstalled();
    Microsoft::WRL::ComPtr<ITypeInfo> info;
    if (SUCCEEDED(GetOwnTypeInfoByName(L"UPDATEINFO", &info)))
        GetRecordInfoFromTypeInfo(info.Get(), &recordInfo_);
    return S_OK;
}

void OrvaneControl::Terminate() {
    // A transfer still running ends here: socket closed, temporary file removed, no event;
    // then the session's use of the sockets library ends.
    StopAutoCheck();
    if (session_) session_->Shutdown();
    events_.Clear();
    propertyNotify_.Clear();
    window_.reset();
    inPlaceSite_.Reset();
    site_.Reset();
    oleAdvise_.Reset();
    viewSink_.Reset();
    props_.UpdateInformation.reset();  // holds a reference to the record information
    recordInfo_.Reset();
}

STDMETHODIMP OrvaneControl::QueryInterface(REFIID iid, void** out) {
    using Self = OrvaneControl;
    // _Orvane4 begins with _Orvane3's function table, which begins with _Orvane2's, which
    // begins with _Orvane's: one pointer answers all four.
    static constexpr InterfaceEntry<Self> kInterfaces[] = {
        Answer<Self, _Orvane4>(IID_IUnknown),
        Answer<Self, _Orvane4>(IID_IDispatch),
        Answer<Self, _Orvane4>(IID__Orvane),
        Answer<Self, _Orvane4>(IID__Orvane2),
        Answer<Self, _Orvane4>(IID__Orvane3),
        Answer<Self, _Orvane4>(IID__Orvane4),
        Answer<Self, IConnectionPointContainer>(IID_IConnectionPointContainer),
        Answer<Self, IProvideClassInfo2>(IID_IProvideClassInfo),
        Answer<Self, IProvideClassInfo2>(IID_IProvideClassInfo2),
        Answer<Self, IOleObject>(IID_IOleObject),
        Answer<Self, IOleInPlaceObject>(IID_IOleWindow),
        Answer<Self, IOleInPlaceObject>(IID_IOleInPlaceObject),
        Answer<Self, IOleInPlaceActiveObject>(IID_IOleInPlaceActiveObject),
        Answer<Self, IOleControl>(IID_IOleControl),
        Answer<Self, IViewObject2>(IID_IViewObject),
        Answer<Self, IViewObject2>(IID_IViewObject2),
        Answer<Self, IPersistPropertyBag>(IID_IPersist),
        Answer<Self, IPersistPropertyBag>(IID_IPersistPropertyBag),
        Answer<Self, IPersistStreamInit>(IID_IPersistStreamInit),
        Answer<Self, ISpecifyPropertyPages>(IID_ISpecifyPropertyPages),
        Answer<Self, IQuickActivate>(IID_IQuickActivate),
        Answer<Self, ISupportErrorInfo>(IID_ISupportErrorInfo),
    };
    return QueryInterfaceTable(this, kInterfaces, iid, out);
}

STDMETHODIMP_(ULONG) OrvaneControl::AddRef() {
    return ++refs_;
}

STDMETHODIMP_(ULONG) OrvaneControl::Release() {
    const ULONG n = --refs_;
    if (n == 0) {
        delete this;
    } else if (n == holds_ && session_ && session_->Running()) {
        // The host let go inside one of our events or methods: only the control's own holds
        // remain. The running transfer ends now, silently; the control goes when they do.
        session_->CancelQuietly();
    }
    return n;
}

// ---------------------------------------------------------------------------------------
// Container services

// Asked of the container every time: a container may switch between designing and running
// without telling its controls.
bool OrvaneControl::UserMode() const {
    if (!site_) return true;  // a control without a site runs
    Microsoft::WRL::ComPtr<IDispatch> ambient;
    DISPPARAMS none = {};
    unique_variant v;
    if (SUCCEEDED(site_.As(&ambient)) &&
        SUCCEEDED(ambient->Invoke(DISPID_AMBIENT_USERMODE, IID_NULL, LOCALE_USER_DEFAULT,
                                  DISPATCH_PROPERTYGET, &none, v.get(), nullptr, nullptr)) &&
        SUCCEEDED(VariantChangeType(v.get(), v.get(), 0, VT_BOOL))) {
        return V_BOOL(v.get()) != VARIANT_FALSE;
    }
    return quickActivateUserMode_;
}

void OrvaneControl::PropertyChanged(DISPID id) {
    dirty_ = true;
    if (id == DISPID_ORV_REMOTEHOST || id == DISPID_ORV_REMOTEPATH || id == DISPID_ORV_REMOTEFILE)
        WatchInstalled();
    for (const auto& s : propertyNotify_.Snapshot()) {
        Microsoft::WRL::ComPtr<IPropertyNotifySink> sink;
        if (SUCCEEDED(s.As(&sink))) sink->OnChanged(id);
    }
}

void OrvaneControl::TellSiteOurRect(POINT topLeft) {
    if (!inPlaceSite_) return;
    RECT ours = {topLeft.x, topLeft.y, topLeft.x + kSizePixels, topLeft.y + kSizePixels};
    // The site may answer with SetObjectRects, which then finds the size right.
    Microsoft::WRL::ComPtr<IOleInPlaceSite> site = inPlaceSite_;
    site->OnPosRectChange(&ours);
}

// ---------------------------------------------------------------------------------------
// IConnectionPointContainer, IProvideClassInfo2

STDMETHODIMP OrvaneControl::EnumConnectionPoints(IEnumConnectionPoints** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP OrvaneControl::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
    RETURN_HR_IF_NULL(E_POINTER, out);
    *out = nullptr;
    if (iid == DIID___Orvane)
        *out = &events_;
    else if (iid == IID_IPropertyNotifySink)
        *out = &propertyNotify_;
    else
        return CONNECT_E_NOCONNECTION;
    (*out)->AddRef();
    return S_OK;
}

STDMETHODIMP OrvaneControl::GetClassInfo(ITypeInfo** info) {
    return GetOwnTypeInfo(CLSID_Orvane, info);
}

STDMETHODIMP OrvaneControl::GetGUID(DWORD kind, GUID* guid) {
    RETURN_HR_IF_NULL(E_POINTER, guid);
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
    *guid = DIID___Orvane;
    return S_OK;
}

// ---------------------------------------------------------------------------------------
// IOleObject

STDMETHODIMP OrvaneControl::SetClientSite(IOleClientSite* site) {
    site_ = site;
    return S_OK;
}

STDMETHODIMP OrvaneControl::GetClientSite(IOleClientSite** site) {
    RETURN_HR_IF_NULL(E_POINTER, site);
    return site_.CopyTo(site);
}

STDMETHODIMP OrvaneControl::SetHostNames(LPCOLESTR, LPCOLESTR) {
    return S_OK;
}

STDMETHODIMP OrvaneControl::Close(DWORD) {
    const KeepAlive alive(this);
    // A closed control transfers nothing more and raises no event for it.
    session_->CancelQuietly();
    InPlaceDeactivate();
    if (oleAdvise_) oleAdvise_->SendOnClose();
    return S_OK;
}

STDMETHODIMP OrvaneControl::SetMoniker(DWORD, IMoniker*) {
    return E_NOTIMPL;
}
STDMETHODIMP OrvaneControl::GetMoniker(DWORD, DWORD, IMoniker** mk) {
    if (mk) *mk = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP OrvaneControl::InitFromData(IDataObject*, BOOL, DWORD) {
    return E_NOTIMPL;
}
STDMETHODIMP OrvaneControl::GetClipboardData(DWORD, IDataObject** data) {
    if (data) *data = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP OrvaneControl::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND, LPCRECT) {
    if (site && site != site_.Get()) SetClientSite(site);
    switch (verb) {
        case OLEIVERB_PRIMARY:
        case OLEIVERB_SHOW:
        case OLEIVERB_INPLACEACTIVATE:
        case OLEIVERB_UIACTIVATE: return InPlaceActivate(verb);
        case OLEIVERB_HIDE:
            if (window_) ShowWindow(window_.get(), SW_HIDE);
            return S_OK;
        case OLEIVERB_PROPERTIES: return OLEOBJ_S_INVALIDVERB;
        default: return verb < 0 ? E_NOTIMPL : OLEOBJ_S_INVALIDVERB;
    }
}

HRESULT OrvaneControl::InPlaceActivate(LONG) {
    if (!site_) return E_UNEXPECTED;
    if (!inPlaceSite_) RETURN_IF_FAILED(site_.As(&inPlaceSite_));
    if (inPlaceActive_) {
        if (window_) ShowWindow(window_.get(), SW_SHOW);
        return S_OK;
    }
    if (inPlaceSite_->CanInPlaceActivate() != S_OK) return E_FAIL;
    inPlaceSite_->OnInPlaceActivate();
    inPlaceActive_ = true;

    HWND parent = nullptr;
    inPlaceSite_->GetWindow(&parent);
    Microsoft::WRL::ComPtr<IOleInPlaceFrame> frame;
    Microsoft::WRL::ComPtr<IOleInPlaceUIWindow> doc;
    RECT pos = {}, clip = {};
    OLEINPLACEFRAMEINFO frameInfo = {};
    frameInfo.cb = sizeof(frameInfo);
    inPlaceSite_->GetWindowContext(&frame, &doc, &pos, &clip, &frameInfo);

    RegisterModuleWindowClass(kWindowClass, WindowBase::WindowProc);
    window_.reset(CreateWindowExW(0, kWindowClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS,
                                  pos.left, pos.top, kSizePixels, kSizePixels, parent, nullptr,
                                  ModuleInstance(), this));
    if (!window_) return HRESULT_FROM_WIN32(GetLastError());
    // The control keeps its size whatever the container placed it at.
    if (pos.right - pos.left != kSizePixels || pos.bottom - pos.top != kSizePixels)
        TellSiteOurRect({pos.left, pos.top});
    return S_OK;
}

STDMETHODIMP OrvaneControl::EnumVerbs(IEnumOLEVERB** verbs) {
    return OleRegEnumVerbs(CLSID_Orvane, verbs);
}
STDMETHODIMP OrvaneControl::Update() {
    return S_OK;
}
STDMETHODIMP OrvaneControl::IsUpToDate() {
    return S_OK;
}
STDMETHODIMP OrvaneControl::GetUserClassID(CLSID* clsid) {
    return GetClassID(clsid);
}
STDMETHODIMP OrvaneControl::GetUserType(DWORD form, LPOLESTR* type) {
    return OleRegGetUserType(CLSID_Orvane, form, type);
}

STDMETHODIMP OrvaneControl::SetExtent(DWORD aspect, SIZEL* size) {
    RETURN_HR_IF_NULL(E_POINTER, size);
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    // Any size the container asks for is answered with the control's own.
    if ((size->cx != kSizeHimetric || size->cy != kSizeHimetric) && window_) {
        RECT rc;
        GetWindowRect(window_.get(), &rc);
        MapWindowPoints(nullptr, GetParent(window_.get()), reinterpret_cast<POINT*>(&rc), 2);
        TellSiteOurRect({rc.left, rc.top});
    }
    return S_OK;
}

STDMETHODIMP OrvaneControl::GetExtent(DWORD aspect, SIZEL* size) {
    RETURN_HR_IF_NULL(E_POINTER, size);
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    size->cx = kSizeHimetric;
    size->cy = kSizeHimetric;
    return S_OK;
}

STDMETHODIMP OrvaneControl::Advise(IAdviseSink* sink, DWORD* cookie) {
    if (!oleAdvise_) RETURN_IF_FAILED(CreateOleAdviseHolder(&oleAdvise_));
    return oleAdvise_->Advise(sink, cookie);
}
STDMETHODIMP OrvaneControl::Unadvise(DWORD cookie) {
    return oleAdvise_ ? oleAdvise_->Unadvise(cookie) : OLE_E_NOCONNECTION;
}
STDMETHODIMP OrvaneControl::EnumAdvise(IEnumSTATDATA** out) {
    if (out) *out = nullptr;
    return oleAdvise_ ? oleAdvise_->EnumAdvise(out) : E_FAIL;
}
STDMETHODIMP OrvaneControl::GetMiscStatus(DWORD, DWORD* status) {
    RETURN_HR_IF_NULL(E_POINTER, status);
    *status = kMiscStatus;
    return S_OK;
}
STDMETHODIMP OrvaneControl::SetColorScheme(LOGPALETTE*) {
    return E_NOTIMPL;
}

// ---------------------------------------------------------------------------------------
// IOleInPlaceObject, IOleInPlaceActiveObject

STDMETHODIMP OrvaneControl::GetWindow(HWND* hwnd) {
    RETURN_HR_IF_NULL(E_POINTER, hwnd);
    *hwnd = window_.get();
    return window_ ? S_OK : E_FAIL;
}
STDMETHODIMP OrvaneControl::ContextSensitiveHelp(BOOL) {
    return E_NOTIMPL;
}

STDMETHODIMP OrvaneControl::InPlaceDeactivate() {
    if (!inPlaceActive_) return S_OK;
    inPlaceActive_ = false;
    window_.reset();
    if (inPlaceSite_) {
        Microsoft::WRL::ComPtr<IOleInPlaceSite> site = std::move(inPlaceSite_);
        site->OnInPlaceDeactivate();
    }
    return S_OK;
}

STDMETHODIMP OrvaneControl::UIDeactivate() {
    return S_OK;
}

STDMETHODIMP OrvaneControl::SetObjectRects(LPCRECT pos, LPCRECT) {
    RETURN_HR_IF_NULL(E_POINTER, pos);
    if (window_) {
        SetWindowPos(window_.get(), nullptr, pos->left, pos->top, kSizePixels, kSizePixels,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
    // A rectangle of another size is answered with the control's own.
    if (pos->right - pos->left != kSizePixels || pos->bottom - pos->top != kSizePixels)
        TellSiteOurRect({pos->left, pos->top});
    return S_OK;
}

STDMETHODIMP OrvaneControl::ReactivateAndUndo() {
    return E_NOTIMPL;
}
STDMETHODIMP OrvaneControl::TranslateAccelerator(LPMSG) {
    return S_FALSE;
}
STDMETHODIMP OrvaneControl::OnFrameWindowActivate(BOOL) {
    return S_OK;
}
STDMETHODIMP OrvaneControl::OnDocWindowActivate(BOOL) {
    return S_OK;
}
STDMETHODIMP OrvaneControl::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) {
    return S_OK;
}
STDMETHODIMP OrvaneControl::EnableModeless(BOOL) {
    return S_OK;
}

// ---------------------------------------------------------------------------------------
// IOleControl

STDMETHODIMP OrvaneControl::GetControlInfo(CONTROLINFO* info) {
    RETURN_HR_IF_NULL(E_POINTER, info);
    info->cb = sizeof(CONTROLINFO);
    info->hAccel = nullptr;
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
}
STDMETHODIMP OrvaneControl::OnMnemonic(MSG*) {
    return E_NOTIMPL;
}
STDMETHODIMP OrvaneControl::OnAmbientPropertyChange(DISPID) {
    return S_OK;  // user mode is asked at each use
}
STDMETHODIMP OrvaneControl::FreezeEvents(BOOL) {
    return S_OK;
}

// ---------------------------------------------------------------------------------------
// IViewObject2 and painting

void OrvaneControl::Paint(HDC dc, const RECT& rc) {
    HBRUSH face = GetSysColorBrush(COLOR_BTNFACE);
    FillRect(dc, &rc, face);
    if (picture_) {
        DrawIconEx(dc, rc.left, rc.top, picture_, kSizePixels, kSizePixels, 0, nullptr, DI_NORMAL);
    }
}

STDMETHODIMP OrvaneControl::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc,
                                 LPCRECTL bounds, LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR),
                                 ULONG_PTR) {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    RETURN_HR_IF_NULL(E_INVALIDARG, dc);
    RECT rc = {0, 0, kSizePixels, kSizePixels};
    if (bounds)
        rc = {bounds->left, bounds->top, bounds->left + kSizePixels, bounds->top + kSizePixels};
    Paint(dc, rc);
    return S_OK;
}

STDMETHODIMP OrvaneControl::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC,
                                        LOGPALETTE** colors) {
    if (colors) *colors = nullptr;
    return S_FALSE;
}
STDMETHODIMP OrvaneControl::Freeze(DWORD, LONG, void*, DWORD*) {
    return E_NOTIMPL;
}
STDMETHODIMP OrvaneControl::Unfreeze(DWORD) {
    return E_NOTIMPL;
}

STDMETHODIMP OrvaneControl::SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* sink) {
    viewSink_ = sink;
    viewAspects_ = aspects;
    viewAdviseFlags_ = advf;
    return S_OK;
}

STDMETHODIMP OrvaneControl::GetAdvise(DWORD* aspects, DWORD* advf, IAdviseSink** sink) {
    if (aspects) *aspects = viewAspects_;
    if (advf) *advf = viewAdviseFlags_;
    if (sink) viewSink_.CopyTo(sink);
    return S_OK;
}

STDMETHODIMP OrvaneControl::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
    return GetExtent(aspect, size);
}

LRESULT OrvaneControl::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
    const HWND hwnd = Handle();
    switch (msg) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd, &ps);
            RECT rc;
            GetClientRect(hwnd, &rc);
            Paint(dc, rc);
            EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_ERASEBKGND: return 1;
        case WM_WINDOWPOSCHANGING: {
            // The control can't be given another size; the site hears of the size it keeps,
            // once this move is over.
            auto* wpos = reinterpret_cast<WINDOWPOS*>(lp);
            if (!(wpos->flags & SWP_NOSIZE) &&
                (wpos->cx != kSizePixels || wpos->cy != kSizePixels)) {
                PostMessageW(hwnd, kMsgTellSite, 0, 0);
            }
            wpos->cx = kSizePixels;
            wpos->cy = kSizePixels;
            return 0;
        }
        case kMsgTellSite: {
            RECT rc;
            GetWindowRect(hwnd, &rc);
            MapWindowPoints(nullptr, GetParent(hwnd), reinterpret_cast<POINT*>(&rc), 2);
            TellSiteOurRect({rc.left, rc.top});
            return 0;
        }
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

// ---------------------------------------------------------------------------------------
// ISpecifyPropertyPages, IQuickActivate

STDMETHODIMP OrvaneControl::GetPages(CAUUID* pages) {
    RETURN_HR_IF_NULL(E_POINTER, pages);
    pages->cElems = 0;
    pages->pElems = static_cast<GUID*>(CoTaskMemAlloc(3 * sizeof(GUID)));
    RETURN_HR_IF_NULL(E_OUTOFMEMORY, pages->pElems);
    pages->pElems[0] = CLSID_PropertyPage1;
    pages->pElems[1] = CLSID_PropertyPage2;
    pages->pElems[2] = CLSID_PropertyPage3;
    pages->cElems = 3;
    return S_OK;
}

STDMETHODIMP OrvaneControl::QuickActivate(QACONTAINER* container, QACONTROL* control) {
    RETURN_HR_IF_NULL(E_POINTER, container);
    RETURN_HR_IF_NULL(E_POINTER, control);
    if (container->cbSize < sizeof(QACONTAINER) || control->cbSize < sizeof(QACONTROL))
        return E_INVALIDARG;
    if (container->pClientSite) SetClientSite(container->pClientSite);
    // The flags carry the ambient properties for a site that can't be asked.
    quickActivateUserMode_ = (container->dwAmbientFlags & QACONTAINER_USERMODE) != 0;
    if (container->pAdviseSink) SetAdvise(DVASPECT_CONTENT, 0, container->pAdviseSink);
    control->dwMiscStatus = kMiscStatus;
    control->dwViewStatus = VIEWSTATUS_OPAQUE;
    control->dwEventCookie = 0;
    control->dwPropNotifyCookie = 0;
    control->dwPointerActivationPolicy = 0;
    if (container->pUnkEventSink) events_.Advise(container->pUnkEventSink, &control->dwEventCookie);
    if (container->pPropertyNotifySink)
        propertyNotify_.Advise(container->pPropertyNotifySink, &control->dwPropNotifyCookie);
    return S_OK;
}

STDMETHODIMP OrvaneControl::SetContentExtent(LPSIZEL size) {
    return SetExtent(DVASPECT_CONTENT, size);
}
STDMETHODIMP OrvaneControl::GetContentExtent(LPSIZEL size) {
    return GetExtent(DVASPECT_CONTENT, size);
}

// Run-time errors of _Orvane's methods carry error information.
STDMETHODIMP OrvaneControl::InterfaceSupportsErrorInfo(REFIID iid) {
    return iid == IID__Orvane || iid == IID__Orvane2 || iid == IID__Orvane3 ||
                   iid == IID__Orvane4 || iid == IID_IDispatch
               ? S_OK
               : S_FALSE;
}

// ---------------------------------------------------------------------------------------
// About

STDMETHODIMP OrvaneControl::About() {
    return ComMethod([&] {
        ShowAboutBox(window_ ? GetAncestor(window_.get(), GA_ROOT) : nullptr, versionText_);
        return S_OK;
    });
}

std::string ModuleVersionText(HMODULE module) {
    const FixedFileInfo info = ReadFixedFileInfo(win::ModulePathW(module));
    return FormatVersionLabel(HIWORD(info.FileVersionMS), LOWORD(info.FileVersionMS),
                              LOWORD(info.FileVersionLS));
}

}  // namespace orv
