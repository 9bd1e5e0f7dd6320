// The property pages of the Orvane control. A page is a child dialog whose fields stand for
// properties of the first selected control: a selection change fills the fields from that
// control, every edit marks the page changed, and Apply writes the fields back in a fixed
// order through the control's IDispatch by name, so the control's own setters convert, check
// and normalise what the developer typed.
#include "control/property_page.h"

#include <olectl.h>

#include <atomic>
#include <iterator>
#include <string>
#include <vector>
#include <wrl/client.h>

#include "common/win/window.h"
#include "control/OrvaneControl.h"
#include "control/com_object.h"
#include "control/com_util.h"
#include "control/module.h"
#include "control/properties.h"
#include "control/resource.h"

using Microsoft::WRL::ComPtr;

namespace orv {
namespace {

enum class FieldKind {
    Text,    // text box of a text property
    Number,  // text box of an integer property, shown as decimal text
    Check,   // check box of a Boolean property
};

struct PageField {
    int id;  // control id in the page's dialog resource
    const wchar_t* property;
    FieldKind kind;
    std::string refill;  // what the box puts back into itself when it is emptied, or empty
};

struct PageDescription {
    const IID* iid;  // the page's own interface in the type library
    PropertyPage page;
    int dialogId;
    const wchar_t* caption;
    SIZE twips;
};

// The page's fields from the property table, in the order the page loads and applies them:
// from the last row up. A number box can't stay empty: it refills itself with the default.
std::vector<PageField> FieldsOf(PropertyPage page) {
    std::vector<PageField> fields;
    for (auto p = std::rbegin(kProperties); p != std::rend(kProperties); ++p) {
        if (p->page != page) continue;
        switch (p->kind) {
            case PropertyKind::Long:
                fields.push_back(
                    {p->field, p->name, FieldKind::Number, std::to_string(p->def.number)});
                break;
            case PropertyKind::Bool:
                fields.push_back({p->field, p->name, FieldKind::Check, {}});
                break;
            default: fields.push_back({p->field, p->name, FieldKind::Text, {}}); break;
        }
    }
    return fields;
}

constexpr int kTwipsPerPixel = 15;

const PageDescription kGeneralPage = {
    &IID__PropertyPage1, PropertyPage::General, IDD_PAGE_GENERAL, L"General", {5925, 3495}};
const PageDescription kAuthorizationPage = {&IID__PropertyPage2,
                                            PropertyPage::Authorization,
                                            IDD_PAGE_AUTH,
                                            L"Authorization",
                                            {3570, 2115}};
const PageDescription kProxyPage = {
    &IID__PropertyPage3, PropertyPage::Proxy, IDD_PAGE_PROXY, L"Proxy", {5925, 3495}};

// ---------------------------------------------------------------------------------------
// Properties of the selected control by name

// Frees the texts an Invoke may leave in its exception record.
struct ExceptionRecord : EXCEPINFO {
    ExceptionRecord() : EXCEPINFO{} {}
    ExceptionRecord(const ExceptionRecord&) = delete;
    ExceptionRecord& operator=(const ExceptionRecord&) = delete;
    ~ExceptionRecord() {
        ::SysFreeString(bstrSource);
        ::SysFreeString(bstrDescription);
        ::SysFreeString(bstrHelpFile);
    }
};

// The result of an Invoke. An exception becomes its own code, and its source and description
// become the thread's error information, so the frame that called the page can show them.
HRESULT InvokeResult(HRESULT hr, ExceptionRecord& ex) {
    if (hr != DISP_E_EXCEPTION) return hr;
    if (ex.pfnDeferredFillIn) ex.pfnDeferredFillIn(&ex);
    ComPtr<ICreateErrorInfo> create;
    if (SUCCEEDED(::CreateErrorInfo(&create))) {
        create->SetSource(ex.bstrSource);
        create->SetDescription(ex.bstrDescription);
        ComPtr<IErrorInfo> info;
        if (SUCCEEDED(create.As(&info))) ::SetErrorInfo(0, info.Get());
    }
    if (ex.scode) return ex.scode;
    return ex.wCode ? MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, ex.wCode) : E_FAIL;
}

HRESULT DispIdOf(IDispatch* object, const wchar_t* name, DISPID* id) {
    LPOLESTR n = const_cast<LPOLESTR>(name);
    return object->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, id);
}

HRESULT GetProperty(IDispatch* object, const wchar_t* name, VARIANT* value) {
    DISPID id = 0;
    RETURN_IF_FAILED(DispIdOf(object, name, &id));
    DISPPARAMS none = {};
    ExceptionRecord ex;
    return InvokeResult(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET,
                                       &none, value, &ex, nullptr),
                        ex);
}

HRESULT PutProperty(IDispatch* object, const wchar_t* name, VARIANT* value) {
    DISPID id = 0;
    RETURN_IF_FAILED(DispIdOf(object, name, &id));
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {value, &named, 1, 1};
    ExceptionRecord ex;
    UINT argErr = 0;
    return InvokeResult(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT,
                                       &params, nullptr, &ex, &argErr),
                        ex);
}

// ---------------------------------------------------------------------------------------

class PropertyPageObject final : public IPropertyPage2,
                                 public IDispatch,
                                 public win::DialogBase<PropertyPageObject> {
   public:
    static HRESULT Create(const PageDescription& desc, REFIID iid, void** out) {
        PropertyPageObject* page = new PropertyPageObject(desc);
        const HRESULT hr = page->QueryInterface(iid, out);
        page->Release();
        return hr;
    }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        using Self = PropertyPageObject;
        // The page's own dispinterface id comes with its description: the table is built per
        // call.
        const InterfaceEntry<Self> interfaces[] = {
            Answer<Self, IPropertyPage2>(IID_IUnknown),
            Answer<Self, IPropertyPage2>(IID_IPropertyPage),
            Answer<Self, IPropertyPage2>(IID_IPropertyPage2),
            Answer<Self, IDispatch>(IID_IDispatch),
            Answer<Self, IDispatch>(*desc_.iid),
        };
        return QueryInterfaceTable(this, interfaces, iid, out);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }

    // IPropertyPage
    STDMETHODIMP SetPageSite(IPropertyPageSite* site) override {
        if (site) site->AddRef();
        if (site_) site_->Release();
        site_ = site;
        return S_OK;
    }

    STDMETHODIMP Activate(HWND parent, LPCRECT rect, BOOL) override {
        return ComBoundary([&]() -> HRESULT {
            RETURN_HR_IF_NULL(E_POINTER, rect);
            if (dialog_) return E_UNEXPECTED;
            HWND hwnd = ::CreateDialogParamW(ModuleInstance(), MAKEINTRESOURCEW(desc_.dialogId),
                                             parent, DialogProc, reinterpret_cast<LPARAM>(this));
            if (!hwnd) return HRESULT_FROM_WIN32(::GetLastError());
            dialog_.reset(hwnd);
            ::MoveWindow(hwnd, rect->left, rect->top, rect->right - rect->left,
                         rect->bottom - rect->top, FALSE);
            // A page changed before it was deactivated shows what it holds, not the control.
            if (changed_ && held_.size() == fields_.size()) return ShowHeldFields();
            return SelectionChanged();
        });
    }

    STDMETHODIMP Deactivate() override {
        HoldFields();
        dialog_.reset();
        return S_OK;
    }

    STDMETHODIMP GetPageInfo(PROPPAGEINFO* info) override {
        RETURN_HR_IF_NULL(E_POINTER, info);
        const std::size_t bytes = (wcslen(desc_.caption) + 1) * sizeof(wchar_t);
        auto* title = static_cast<LPOLESTR>(::CoTaskMemAlloc(bytes));
        RETURN_HR_IF_NULL(E_OUTOFMEMORY, title);
        memcpy(title, desc_.caption, bytes);
        info->cb = sizeof(PROPPAGEINFO);
        info->pszTitle = title;
        info->size = {desc_.twips.cx / kTwipsPerPixel, desc_.twips.cy / kTwipsPerPixel};
        info->pszDocString = nullptr;
        info->pszHelpFile = nullptr;
        info->dwHelpContext = 0;
        return S_OK;
    }

    STDMETHODIMP SetObjects(ULONG count, IUnknown** objects) override {
        if (count && !objects) return E_POINTER;
        for (ULONG i = 0; i < count; ++i) RETURN_HR_IF_NULL(E_POINTER, objects[i]);
        return ComBoundary([&] {
            ReleaseObjects();
            objects_.assign(objects, objects + count);
            for (IUnknown* o : objects_) o->AddRef();
            return SelectionChanged();
        });
    }

    STDMETHODIMP Show(UINT cmd) override {
        if (!dialog_) return E_UNEXPECTED;
        ::ShowWindow(dialog_.get(), static_cast<int>(cmd));
        return S_OK;
    }

    STDMETHODIMP Move(LPCRECT rect) override {
        RETURN_HR_IF_NULL(E_POINTER, rect);
        if (!dialog_) return E_UNEXPECTED;
        ::MoveWindow(dialog_.get(), rect->left, rect->top, rect->right - rect->left,
                     rect->bottom - rect->top, TRUE);
        return S_OK;
    }

    STDMETHODIMP IsPageDirty() override { return changed_ ? S_OK : S_FALSE; }

    STDMETHODIMP Apply() override {
        return ComBoundary([&] { return ApplyChanges(); });
    }

    STDMETHODIMP Help(LPCOLESTR) override { return E_NOTIMPL; }

    // The frame's dialog manager moves between the fields (the page is a DS_CONTROL child).
    STDMETHODIMP TranslateAccelerator(MSG*) override { return S_FALSE; }

    // IPropertyPage2: puts the focus into the field of the property.
    STDMETHODIMP EditProperty(DISPID id) override {
        ComPtr<IDispatch> object;
        if (!dialog_ || FAILED(FirstSelected(&object))) return E_UNEXPECTED;
        for (const PageField& f : fields_) {
            DISPID fieldId = 0;
            if (SUCCEEDED(DispIdOf(object.Get(), f.property, &fieldId)) && fieldId == id) {
                ::SetFocus(::GetDlgItem(dialog_.get(), f.id));
                return S_OK;
            }
        }
        return E_NOTIMPL;
    }

    // IDispatch of the page's own (empty) interface.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        RETURN_HR_IF_NULL(E_POINTER, count);
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        RETURN_HR_IF_NULL(E_POINTER, info);
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return GetOwnTypeInfo(*desc_.iid, info);
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        ComPtr<ITypeInfo> info;
        RETURN_IF_FAILED(GetOwnTypeInfo(*desc_.iid, &info));
        return info->GetIDsOfNames(names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excep, UINT* argErr) override {
        ComPtr<ITypeInfo> info;
        RETURN_IF_FAILED(GetOwnTypeInfo(*desc_.iid, &info));
        return ::DispInvoke(static_cast<IDispatch*>(this), info.Get(), id, flags, params, result,
                            excep, argErr);
    }

   private:
    explicit PropertyPageObject(const PageDescription& desc)
        : desc_(desc), fields_(FieldsOf(desc.page)) {}
    ~PropertyPageObject() {
        dialog_.reset();
        ReleaseObjects();
        if (site_) site_->Release();
    }

    void ReleaseObjects() {
        for (IUnknown* o : objects_) o->Release();
        objects_.clear();
    }

    // Both page notifications work on the first selected control only.
    HRESULT FirstSelected(IDispatch** out) const {
        if (objects_.empty()) return E_UNEXPECTED;
        return objects_.front()->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(out));
    }

    friend DialogBase;
    INT_PTR HandleMessage(UINT msg, WPARAM wp, LPARAM) {
        // The parent may take the page's window with it: the values are kept while the
        // fields still exist, the handle is forgotten at the end.
        if (msg == WM_DESTROY && dialog_.get() == window_) HoldFields();
        if (msg == WM_NCDESTROY && dialog_.get() == window_) dialog_.release();
        if (msg == WM_COMMAND) return OnCommand(LOWORD(wp), HIWORD(wp));
        return FALSE;  // WM_INITDIALOG included: the frame decides where the focus goes
    }

    INT_PTR OnCommand(int id, int code) {
        const PageField* field = FieldById(id);
        if (!field) return FALSE;
        if (field->kind == FieldKind::Check && code == BN_CLICKED) {
            MarkChanged();
            return TRUE;
        }
        if (field->kind != FieldKind::Check && code == EN_CHANGE) {
            // A box with a refill text can't stay empty; putting the text back changes the
            // box again, which lands here once more.
            if (!field->refill.empty() &&
                ::GetWindowTextLengthA(::GetDlgItem(dialog_.get(), id)) == 0)
                ::SetDlgItemTextA(dialog_.get(), id, field->refill.c_str());
            MarkChanged();
            return TRUE;
        }
        return FALSE;
    }

    // The fields as the page holds them: one text per field, "1" or "0" for a check box. Read
    // from the window while it exists; kept from the first change until Apply, whatever the
    // frame activates or deactivates in between.
    void HoldFields() {
        if (!dialog_) return;
        held_.clear();
        for (const PageField& f : fields_) {
            held_.push_back(f.kind == FieldKind::Check ? (Checked(f.id) ? "1" : "0")
                                                       : FieldText(f.id));
        }
    }

    HRESULT ShowHeldFields() {
        for (std::size_t i = 0; i < fields_.size(); ++i) {
            const PageField& f = fields_[i];
            if (f.kind == FieldKind::Check) {
                ::CheckDlgButton(dialog_.get(), f.id,
                                 held_[i] == "1" ? BST_CHECKED : BST_UNCHECKED);
            } else if (FieldText(f.id) != held_[i]) {
                ::SetDlgItemTextA(dialog_.get(), f.id, held_[i].c_str());
            }
        }
        return S_OK;
    }

    void MarkChanged() {
        if (changed_) return;
        changed_ = true;
        if (site_) site_->OnStatusChange(PROPPAGESTATUS_DIRTY);
    }

    const PageField* FieldById(int id) const {
        for (const PageField& f : fields_)
            if (f.id == id) return &f;
        return nullptr;
    }

    std::string FieldText(int id) const {
        HWND box = ::GetDlgItem(dialog_.get(), id);
        const int length = ::GetWindowTextLengthA(box);
        std::string text(static_cast<std::size_t>(length) + 1, '\0');
        text.resize(static_cast<std::size_t>(::GetWindowTextA(box, text.data(), length + 1)));
        return text;
    }

    bool Checked(int id) const { return ::IsDlgButtonChecked(dialog_.get(), id) == BST_CHECKED; }

    // Fills one field the way typing would: only a field whose content changes sees its
    // change (or click) handler run.
    HRESULT LoadField(const PageField& f, VARIANT* value) {
        switch (f.kind) {
            case FieldKind::Text: {
                RETURN_IF_FAILED(::VariantChangeType(value, value, 0, VT_BSTR));
                const std::string text = ToAnsi(V_BSTR(value));
                if (FieldText(f.id) != text) ::SetDlgItemTextA(dialog_.get(), f.id, text.c_str());
                return S_OK;
            }
            case FieldKind::Number: {
                RETURN_IF_FAILED(::VariantChangeType(value, value, 0, VT_I4));
                const std::string text = std::to_string(V_I4(value));
                if (FieldText(f.id) != text) ::SetDlgItemTextA(dialog_.get(), f.id, text.c_str());
                return S_OK;
            }
            case FieldKind::Check: {
                RETURN_IF_FAILED(::VariantChangeType(value, value, 0, VT_BOOL));
                const bool on = V_BOOL(value) != VARIANT_FALSE;
                if (Checked(f.id) != on) {
                    ::CheckDlgButton(dialog_.get(), f.id, on ? BST_CHECKED : BST_UNCHECKED);
                    MarkChanged();  // the click handler
                }
                return S_OK;
            }
        }
        return E_UNEXPECTED;
    }

    // Fills the fields from the first selected control, in the page's order; stops at the
    // first property that can't be read.
    HRESULT SelectionChanged() {
        if (!dialog_ || objects_.empty()) return S_OK;
        ComPtr<IDispatch> object;
        RETURN_IF_FAILED(FirstSelected(&object));
        for (const PageField& f : fields_) {
            unique_variant value;
            RETURN_IF_FAILED(GetProperty(object.Get(), f.property, value.get()));
            RETURN_IF_FAILED(LoadField(f, value.get()));
        }
        return S_OK;
    }

    // Writes the fields to the first selected control, in the page's order. The first
    // assignment the control refuses ends it: the properties before it keep their new
    // values, the later ones are not written, and the page stays changed.
    // A deactivated page writes the values it held since its first change; one that was
    // never changed has nothing to write.
    HRESULT ApplyChanges() {
        if (objects_.empty()) return S_OK;
        if (dialog_) {
            HoldFields();
        } else if (!changed_) {
            return S_OK;
        }
        if (held_.size() != fields_.size()) return S_OK;
        ComPtr<IDispatch> object;
        RETURN_IF_FAILED(FirstSelected(&object));
        for (std::size_t i = 0; i < fields_.size(); ++i) {
            const PageField& f = fields_[i];
            unique_variant value;
            if (f.kind == FieldKind::Check) {
                V_VT(value.get()) = VT_BOOL;
                V_BOOL(value.get()) = held_[i] == "1" ? VARIANT_TRUE : VARIANT_FALSE;
            } else {
                // Numbers go as the typed text: the control converts it itself.
                V_VT(value.get()) = VT_BSTR;
                V_BSTR(value.get()) = ToBstr(held_[i]);
            }
            RETURN_IF_FAILED(PutProperty(object.Get(), f.property, value.get()));
        }
        changed_ = false;
        return S_OK;
    }

    const PageDescription& desc_;
    const std::vector<PageField> fields_;
    std::atomic<ULONG> refs_{1};
    ModuleLock moduleLock_;
    IPropertyPageSite* site_ = nullptr;
    std::vector<IUnknown*> objects_;
    unique_hwnd dialog_;
    std::vector<std::string> held_;  // see HoldFields
    bool changed_ = false;
};

}  // namespace

HRESULT CreateGeneralPage(REFIID iid, void** out) {
    return PropertyPageObject::Create(kGeneralPage, iid, out);
}
HRESULT CreateAuthorizationPage(REFIID iid, void** out) {
    return PropertyPageObject::Create(kAuthorizationPage, iid, out);
}
HRESULT CreateProxyPage(REFIID iid, void** out) {
    return PropertyPageObject::Create(kProxyPage, iid, out);
}

}  // namespace orv
