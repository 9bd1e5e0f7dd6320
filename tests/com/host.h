// A small C++ container for the Orvane control, used by the Windows tests: client site with
// ambient properties (UserMode switchable), in-place site on a host window, property-notify
// sink, in-memory property bag, and an event sink that records every event. Each fake counts
// its references so tests can check that the control releases what it took.
#pragma once

#include <windows.h>

#include <ocidl.h>
#include <olectl.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "control/OrvaneControl.h"
#include "control/dispids.h"
#include "tests/support/message_pump.h"

namespace orv::test {

// Base for the fakes: reference counting that tests can read.
class CountedUnknown {
   public:
    ULONG Refs() const { return refs_; }

   protected:
    ULONG AddRefImpl() { return ++refs_; }
    ULONG ReleaseImpl() { return --refs_; }  // fakes live on the test's stack
    ULONG refs_ = 1;
};

// One recorded event: its dispatch id and its arguments as text.
struct Event {
    DISPID id;
    std::vector<std::wstring> args;
};

// Records the control's events; `onEvent` runs inside the event, so a test can call back
// into the control from a handler.
class EventSink final : public IDispatch, public CountedUnknown {
   public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                        UINT*) override;

    std::vector<Event> events;
    std::function<void(const Event&, DISPPARAMS*)> onEvent;
    // False: events go to `onEvent` only and are not kept (long transfers whose thousands of
    // progress events would otherwise weigh on the test's own memory).
    bool keep = true;

    // Events with this id.
    std::vector<Event> Of(DISPID id) const;
    // Event ids in arrival order, as "HttpStatus(200,OK)" style text.
    std::vector<std::wstring> Names() const;
};

// Client site, in-place site, ambient properties and property-notify sink in one object.
class Site final : public IOleClientSite,
                   public IOleInPlaceSite,
                   public IDispatch,
                   public IPropertyNotifySink,
                   public CountedUnknown {
   public:
    explicit Site(HWND host) : host_(host) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }

    // IOleClientSite
    STDMETHODIMP SaveObject() override { return S_OK; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP GetContainer(IOleContainer** c) override {
        *c = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

    // IOleWindow / IOleInPlaceSite
    STDMETHODIMP GetWindow(HWND* h) override {
        *h = host_;
        return S_OK;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnInPlaceActivate() override {
        ++inPlaceActivations;
        return S_OK;
    }
    STDMETHODIMP OnUIActivate() override { return S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT pos,
                                  LPRECT clip, LPOLEINPLACEFRAMEINFO info) override;
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override {
        ++inPlaceDeactivations;
        return S_OK;
    }
    STDMETHODIMP DiscardUndoState() override { return S_OK; }
    STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
    STDMETHODIMP OnPosRectChange(LPCRECT r) override {
        lastPosRect = *r;
        ++posRectChanges;
        return S_OK;
    }

    // IDispatch: the ambient properties.
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                        UINT*) override;

    // IPropertyNotifySink
    STDMETHODIMP OnChanged(DISPID id) override {
        changed.push_back(id);
        return S_OK;
    }
    STDMETHODIMP OnRequestEdit(DISPID) override { return S_OK; }

    bool userMode = true;
    RECT placement = {10, 10, 210, 160};  // where the container would like the control
    std::vector<DISPID> changed;
    int inPlaceActivations = 0;
    int inPlaceDeactivations = 0;
    int posRectChanges = 0;
    RECT lastPosRect = {};

   private:
    HWND host_;
};

// A property bag in memory that remembers the order of writes.
class PropertyBag final : public IPropertyBag, public CountedUnknown {
   public:
    ~PropertyBag();
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return AddRefImpl(); }
    STDMETHODIMP_(ULONG) Release() override { return ReleaseImpl(); }
    STDMETHODIMP Read(LPCOLESTR name, VARIANT* v, IErrorLog*) override;
    STDMETHODIMP Write(LPCOLESTR name, VARIANT* v) override;

    std::map<std::wstring, VARIANT> values;
    std::vector<std::wstring> writeOrder;
    std::vector<std::wstring> readOrder;
};

// A top-level host window for in-place activation (hidden unless shown).
HWND CreateHostWindow(const wchar_t* title, int width, int height);

// Creates the registered control by class id.
HRESULT CreateControl(_Orvane** out);

// Advises `sink` on the control's event connection point; returns the cookie.
DWORD Connect(IUnknown* control, REFIID iid, IUnknown* sink);

// A property get and put through IDispatch by name; an exception comes back as its code.
HRESULT GetByName(IDispatch* d, const wchar_t* name, VARIANT* out);
HRESULT PutByName(IDispatch* d, const wchar_t* name, const VARIANT& value);
// Calls member `name` through Invoke with `flags` (a put takes `value`, the other calls take
// none); returns the exception's scode for DISP_E_EXCEPTION and its EXCEPINFO description.
HRESULT InvokeForError(IDispatch* d, const wchar_t* name, WORD flags, const VARIANT* value,
                       std::wstring& description);

// Saves the whole screen area of `hwnd` as a 24-bit BMP file (for screenshots of test runs);
// scripts/test turns them into PNG.
bool SaveWindowBitmap(HWND hwnd, const std::wstring& path);
// The folder for screenshots: <build>\screenshots, created when missing.
std::wstring ScreenshotFolder();

}  // namespace orv::test
