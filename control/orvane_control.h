// The Orvane ActiveX control: one C++ object implementing the dual _Orvane4 interface (which
// extends _Orvane3, _Orvane2 and _Orvane in turn), its events, and the OLE interfaces containers
// use to site, activate, draw, size and persist it. The update cycle runs in its session
// (control/session/), which reads the control's settings and raises its events through
// ISessionHost.
#pragma once

#include <windows.h>

#include <ocidl.h>
#include <olectl.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <wrl/client.h>

#include "common/updateinfo/updateinfo.h"
#include "common/win/window.h"
#include "control/OrvaneControl.h"
#include "control/com_util.h"
#include "control/connection_point.h"
#include "control/dialog/dialog_language.h"
#include "control/dialog/update_dialog.h"
#include "control/module.h"
#include "control/properties.h"
#include "control/session/update_session.h"

namespace orv {

class OrvaneControl final : public _Orvane4,
                            public IConnectionPointContainer,
                            public IProvideClassInfo2,
                            public IOleObject,
                            public IOleInPlaceObject,
                            public IOleInPlaceActiveObject,
                            public IOleControl,
                            public IViewObject2,
                            public IPersistPropertyBag,
                            public IPersistStreamInit,
                            public ISpecifyPropertyPages,
                            public IQuickActivate,
                            public ISupportErrorInfo,
                            private session::ISessionHost,
                            private dialog::IDialogHost,
                            private win::WindowBase<OrvaneControl> {
   public:
    static HRESULT Create(REFIID iid, void** out);
    // The wait of a control for its automatic check is over (thread timer `id`).
    static void AutoCheckTimerFired(UINT_PTR id);

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid,
                               DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excep, UINT* argErr) override;

    // _Orvane, and the properties _Orvane2 to _Orvane4 add from the property table
    STDMETHODIMP About() override;
    STDMETHODIMP CancelUpdate() override;
    // get_Name and put_Name of every row of property_table.h.
#define ORV_PROPERTY(name, id, kind, def, page, field, ...)                          \
    STDMETHODIMP get_##name(PropertyTraits<PropertyKind::kind>::Get value) override; \
    STDMETHODIMP put_##name(PropertyTraits<PropertyKind::kind>::Put value) override;
#include "control/property_table.h"
    STDMETHODIMP CheckUpdate(ORVANEERROR* result) override;
    STDMETHODIMP ReceiveUpdate(BSTR localPathName, BSTR localFileName,
                               ORVANEERROR* result) override;
    STDMETHODIMP RunUpdate(BSTR parameters, LONG* result) override;
    STDMETHODIMP GetFileVersion(BSTR fileName, BSTR* fileVersion, ORVANEERROR* result) override;
    STDMETHODIMP CompareVersion(BSTR fileName, LONG* result) override;
    STDMETHODIMP GoProductPage(BSTR productPage) override;
    STDMETHODIMP CheckUpdateWithDialog(VARIANT_BOOL quiet, LONG* result) override;
    STDMETHODIMP HandOffUpdate(BSTR parameters, VARIANT_BOOL restart, LONG* result) override;
    // _Orvane4's read-only facts of the last check's release policy (policy_members.cpp).
    STDMETHODIMP get_UpdateIsCritical(VARIANT_BOOL* value) override;
    STDMETHODIMP get_UpdateOffered(VARIANT_BOOL* value) override;
    STDMETHODIMP get_UpdateMinVersion(BSTR* value) override;
    STDMETHODIMP get_UpdateRollout(LONG* value) override;
    STDMETHODIMP get_UpdateArguments(BSTR* value) override;
    STDMETHODIMP get_UpdateNotes(BSTR* value) override;
    // _Orvane4's language and texts of the update dialog (language_members.cpp).
    STDMETHODIMP get_DialogLanguage(BSTR* value) override;
    STDMETHODIMP put_DialogLanguage(BSTR value) override;
    STDMETHODIMP SetDialogText(LONG id, BSTR text) override;

    // The parameters a package is started with: `passed` (the host's, for RunUpdate and
    // HandOffUpdate its argument, for the dialog UpdateParameters) when not empty, else the
    // installer's arguments of the last check's information, in the ANSI code page.
    std::string PackageParameters(const std::string& passed) const;

    // IConnectionPointContainer
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** out) override;
    STDMETHODIMP FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;

    // IProvideClassInfo2
    STDMETHODIMP GetClassInfo(ITypeInfo** info) override;
    STDMETHODIMP GetGUID(DWORD kind, GUID* guid) override;

    // IOleObject
    STDMETHODIMP SetClientSite(IOleClientSite* site) override;
    STDMETHODIMP GetClientSite(IOleClientSite** site) override;
    STDMETHODIMP SetHostNames(LPCOLESTR app, LPCOLESTR obj) override;
    STDMETHODIMP Close(DWORD saveOption) override;
    STDMETHODIMP SetMoniker(DWORD which, IMoniker* mk) override;
    STDMETHODIMP GetMoniker(DWORD assign, DWORD which, IMoniker** mk) override;
    STDMETHODIMP InitFromData(IDataObject* data, BOOL creation, DWORD reserved) override;
    STDMETHODIMP GetClipboardData(DWORD reserved, IDataObject** data) override;
    STDMETHODIMP DoVerb(LONG verb, LPMSG msg, IOleClientSite* site, LONG index, HWND parent,
                        LPCRECT rect) override;
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** verbs) override;
    STDMETHODIMP Update() override;
    STDMETHODIMP IsUpToDate() override;
    STDMETHODIMP GetUserClassID(CLSID* clsid) override;
    STDMETHODIMP GetUserType(DWORD form, LPOLESTR* type) override;
    STDMETHODIMP SetExtent(DWORD aspect, SIZEL* size) override;
    STDMETHODIMP GetExtent(DWORD aspect, SIZEL* size) override;
    STDMETHODIMP Advise(IAdviseSink* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** out) override;
    STDMETHODIMP GetMiscStatus(DWORD aspect, DWORD* status) override;
    STDMETHODIMP SetColorScheme(LOGPALETTE* pal) override;

    // IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject
    STDMETHODIMP GetWindow(HWND* hwnd) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL enter) override;
    STDMETHODIMP InPlaceDeactivate() override;
    STDMETHODIMP UIDeactivate() override;
    STDMETHODIMP SetObjectRects(LPCRECT pos, LPCRECT clip) override;
    STDMETHODIMP ReactivateAndUndo() override;
    STDMETHODIMP TranslateAccelerator(LPMSG msg) override;
    STDMETHODIMP OnFrameWindowActivate(BOOL activate) override;
    STDMETHODIMP OnDocWindowActivate(BOOL activate) override;
    STDMETHODIMP ResizeBorder(LPCRECT border, IOleInPlaceUIWindow* window, BOOL frame) override;
    STDMETHODIMP EnableModeless(BOOL enable) override;

    // IOleControl
    STDMETHODIMP GetControlInfo(CONTROLINFO* info) override;
    STDMETHODIMP OnMnemonic(MSG* msg) override;
    STDMETHODIMP OnAmbientPropertyChange(DISPID id) override;
    STDMETHODIMP FreezeEvents(BOOL freeze) override;

    // IViewObject2
    STDMETHODIMP Draw(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* target,
                      HDC targetDc, HDC dc, LPCRECTL bounds, LPCRECTL wBounds,
                      BOOL(STDMETHODCALLTYPE* cont)(ULONG_PTR), ULONG_PTR contArg) override;
    STDMETHODIMP GetColorSet(DWORD aspect, LONG index, void* aspectInfo, DVTARGETDEVICE* target,
                             HDC targetDc, LOGPALETTE** colors) override;
    STDMETHODIMP Freeze(DWORD aspect, LONG index, void* aspectInfo, DWORD* freeze) override;
    STDMETHODIMP Unfreeze(DWORD freeze) override;
    STDMETHODIMP SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* sink) override;
    STDMETHODIMP GetAdvise(DWORD* aspects, DWORD* advf, IAdviseSink** sink) override;
    STDMETHODIMP GetExtent(DWORD aspect, LONG index, DVTARGETDEVICE* target, LPSIZEL size) override;

    // IPersist, IPersistPropertyBag, IPersistStreamInit
    STDMETHODIMP GetClassID(CLSID* clsid) override;
    STDMETHODIMP InitNew() override;
    STDMETHODIMP Load(IPropertyBag* bag, IErrorLog* log) override;
    STDMETHODIMP Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(LPSTREAM stream) override;
    STDMETHODIMP Save(LPSTREAM stream, BOOL clearDirty) override;
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* size) override;

    // ISpecifyPropertyPages
    STDMETHODIMP GetPages(CAUUID* pages) override;

    // IQuickActivate
    STDMETHODIMP QuickActivate(QACONTAINER* container, QACONTROL* control) override;
    STDMETHODIMP SetContentExtent(LPSIZEL size) override;
    STDMETHODIMP GetContentExtent(LPSIZEL size) override;

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) override;

    // The fixed size of the control: 480 x 480 twips, 32 x 32 pixels.
    static constexpr int kSizePixels = 32;
    static constexpr LONG kSizeHimetric = 847;  // 480 twips = 1/3 inch = 846.7 HIMETRIC
    // The OLE status bits: set the client site first, activate when visible, inside-out,
    // can't be linked inside, recompose on resize.
    static constexpr DWORD kMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE |
                                         OLEMISC_INSIDEOUT | OLEMISC_CANTLINKINSIDE |
                                         OLEMISC_RECOMPOSEONRESIZE;

   private:
    OrvaneControl();
    ~OrvaneControl();

    // Life cycle.
    HRESULT Initialize();
    void Terminate();
    void SetDefaults();

    // Container services.
    bool UserMode() const;
    void PropertyChanged(DISPID id);
    // Tells the in-place site the rectangle the control insists on, at `topLeft`.
    void TellSiteOurRect(POINT topLeft);
    HRESULT InPlaceActivate(LONG verb);

    // Properties.
    template <PropertyKind K>
    HRESULT GetValue(const typename PropertyTraits<K>::Member& member,
                     typename PropertyTraits<K>::Get out);
    template <PropertyKind K>
    HRESULT PutValue(typename PropertyTraits<K>::Member& member,
                     typename PropertyTraits<K>::Put value, DISPID id, PropertyRange range);
    // A copy of `info` into `slot`.
    HRESULT StoreUpdateInformation(const UPDATEINFO& info, RecordValue& slot);
    // Whether a record variant holds an UPDATEINFO (and not a record of another type).
    bool IsUpdateInfoRecord(const VARIANT& v) const;

    // Events: the transfer's reports are raised to every connected sink as they come.
    void FireEvent(DISPID id, VARIANTARG* args, UINT count);
    void FireNumberAndText(DISPID id, int32_t number, const char* text);
    void ReportHttpStatus(int32_t status) override;
    void ReportProgress(int32_t bytes, int32_t total, int32_t percent, int32_t rate) override;
    void ReportUpdateReceived() override;
    // The dialog handed the package off: the host should close.
    void ReportCloseRequested();
    void ReportInfoReceived() override;
    void ReportConnectionError(int32_t code, const std::string& text) override;

    // Dispatch helpers.
    HRESULT InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                         EXCEPINFO* excep, UINT* argErr);
    HRESULT InvokeUpdateInformation(WORD flags, DISPPARAMS* params, VARIANT* result);

    // session::ISessionHost: the rest of what the session needs.
    const Properties& Settings() const override {
        return props_;
    }
    void PublishState(int32_t state, bool notify) override;
    void StoreInformation(UPDATEINFO& record) override;
    void HoldHost() override;
    void ReleaseHost() override;
    // Raises UpdateInstalled when a hand-off recorded an outcome for the control's source.
    void InstalledDue() override;
    // Looks that up shortly, from the session window's messages (after the source was set).
    void WatchInstalled();

    // The release policy's verdict on the last check's record for the installed version, the
    // user's rollout place and the kind of that check.
    dialog::OfferVerdict Verdict() override;
    // The release notes of the last check's information (UTF-8 Markdown), "" without them.
    std::string Notes() const override;

    // CompareVersion against `fileName`, whose version text goes into `local`.
    LONG CompareWith(const std::string& fileName, std::string& local);

    // dialog::IDialogHost: what CheckUpdateWithDialog's window asks of the control.
    int32_t BeginCheck() override;
    int32_t BeginDownload() override;
    void CancelTransfer() override;
    bool TransferRunning() const override {
        return session_->Running();
    }
    dialog::TransferWatch& Watch() override {
        return watch_;
    }
    UpdateInfo Offer() const override;
    dialog::Installed InstalledVersion() override;
    dialog::Start StartPackage() override;
    void LogStep(std::string_view text) override {
        session_->Log().Step("dialog", text);
    }
    const dialog::TextChoice* Texts() const override {
        return &dialogTexts_;
    }
    // The window the dialog is modal over: the container's frame, else the active window.
    HWND DialogOwner() const;
    // Dispatches messages until the running check is over; false when the thread was asked to
    // quit meanwhile (the check is cancelled and the WM_QUIT left for the host's loop).
    bool PumpWhileRunning();
    // The quiet check, if the last automatic one is older than AutoCheckInterval.
    void AutoCheck();
    // Starts (again) the wait of a few seconds after creation or loading before AutoCheck.
    void ScheduleAutoCheck();
    void StopAutoCheck();

    // Holds the control alive for a scope in which host code may run (events): a handler
    // may release the host's last reference.
    struct KeepAlive {
        explicit KeepAlive(OrvaneControl* c) : control(c) { control->HoldHost(); }
        ~KeepAlive() { control->ReleaseHost(); }
        KeepAlive(const KeepAlive&) = delete;
        KeepAlive& operator=(const KeepAlive&) = delete;
        OrvaneControl* control;
    };

    // Window procedure of the control's in-place window.
    friend win::WindowBase<OrvaneControl>;
    LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
    void Paint(HDC dc, const RECT& rc);

    std::atomic<ULONG> refs_{1};
    ModuleLock moduleLock_;

    // Properties.
    Properties props_;
    bool dirty_ = false;

    // Container.
    Microsoft::WRL::ComPtr<IOleClientSite> site_;
    Microsoft::WRL::ComPtr<IOleInPlaceSite> inPlaceSite_;
    Microsoft::WRL::ComPtr<IOleAdviseHolder> oleAdvise_;
    Microsoft::WRL::ComPtr<IAdviseSink> viewSink_;
    DWORD viewAdviseFlags_ = 0;
    DWORD viewAspects_ = 0;
    // User mode from IQuickActivate's ambient flags, for a site that can't be asked.
    bool quickActivateUserMode_ = true;
    bool inPlaceActive_ = false;
    unique_hwnd window_;       // the in-place window
    HICON picture_ = nullptr;  // shared resource icon, not destroyed
    ConnectionPoint events_;
    ConnectionPoint propertyNotify_;
    Microsoft::WRL::ComPtr<IRecordInfo> recordInfo_;

    std::string versionText_;
    // The update cycle; made at initialization, gone at termination.
    std::unique_ptr<session::UpdateSession> session_;
    ULONG holds_ = 0;  // references the control holds on itself
    // While CheckUpdateWithDialog runs: what the events tell of its transfers.
    bool dialogRunning_ = false;
    bool handedOff_ = false;  // the dialog handed the package off; CloseRequested is due
    dialog::TransferWatch watch_;
    UINT_PTR autoCheckTimer_ = 0;  // the thread timer of the automatic check, while it waits
    // The last check was the user's own (CheckUpdateWithDialog(False)): a staged rollout
    // does not limit it.
    bool usersOwnCheck_ = false;
    // DialogLanguage and the texts SetDialogText replaced; kept for the control's life only.
    dialog::TextChoice dialogTexts_;
};

// The version text of a library's version resource: v.major.minor(2 digits).revision(4 digits).
std::string ModuleVersionText(HMODULE module);

}  // namespace orv
