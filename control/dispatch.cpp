// IDispatch of the control. Names and type information come from the embedded type library;
// Invoke converts the arguments itself, so late-bound clients can pass what scripts pass:
// variants by reference for typed by-reference parameters, numbers as text, and optional
// text arguments left out.
#include <cstring>

#include "control/orvane_control.h"

namespace orv {
namespace {

// The positional and named arguments of one call, in declared order.
class Args {
   public:
    explicit Args(DISPPARAMS* p) : p_(p) {}

    UINT Count() const { return p_ ? p_->cArgs : 0; }

    // Argument `index` (0 = first declared), null when left out.
    VARIANT* At(UINT index) const {
        if (!p_ || index >= p_->cArgs) return nullptr;
        VARIANT* v = &p_->rgvarg[p_->cArgs - 1 - index];
        if (V_VT(v) == (VT_VARIANT | VT_BYREF)) v = V_VARIANTREF(v);
        if (V_VT(v) == VT_ERROR && V_ERROR(v) == DISP_E_PARAMNOTFOUND) return nullptr;
        return v;
    }
    // The value of a property put (the named DISPID_PROPERTYPUT argument).
    VARIANT* PutValue() const {
        if (!p_ || p_->cArgs < 1) return nullptr;
        VARIANT* v = &p_->rgvarg[0];
        if (V_VT(v) == (VT_VARIANT | VT_BYREF)) v = V_VARIANTREF(v);
        return v;
    }

   private:
    DISPPARAMS* p_;
};

HRESULT ToType(VARIANT* src, VARTYPE vt, VARIANT* out) {
    VariantInit(out);
    if (!src) return DISP_E_PARAMNOTFOUND;
    return VariantChangeType(out, src, 0, vt);
}

void SetResultLong(VARIANT* result, LONG value) {
    if (!result) return;
    VariantInit(result);
    V_VT(result) = VT_I4;
    V_I4(result) = value;
}

}  // namespace

STDMETHODIMP OrvaneControl::GetTypeInfoCount(UINT* count) {
    RETURN_HR_IF_NULL(E_POINTER, count);
    *count = 1;
    return S_OK;
}

STDMETHODIMP OrvaneControl::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
    RETURN_HR_IF_NULL(E_POINTER, info);
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return GetOwnTypeInfo(IID__Orvane, info);
}

STDMETHODIMP OrvaneControl::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    ITypeInfo* info = nullptr;
    RETURN_IF_FAILED(GetOwnTypeInfo(IID__Orvane, &info));
    const HRESULT hr = info->GetIDsOfNames(names, count, ids);
    info->Release();
    return hr;
}

STDMETHODIMP OrvaneControl::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
    // A handler of one of our events may release the host's last reference meanwhile.
    AddRef();
    HRESULT hr = ComBoundary([&] {
        SetErrorInfo(0, nullptr);
        return InvokeMember(id, flags, params, result, argErr);
    });
    if (FAILED(hr) && HRESULT_FACILITY(hr) == FACILITY_CONTROL && excep) {
        // A run-time error: hand its number and text to the caller as an exception.
        std::memset(excep, 0, sizeof(*excep));
        excep->scode = hr;
        IErrorInfo* info = nullptr;
        if (GetErrorInfo(0, &info) == S_OK && info) {
            info->GetSource(&excep->bstrSource);
            info->GetDescription(&excep->bstrDescription);
            info->Release();
        }
        hr = DISP_E_EXCEPTION;
    }
    Release();
    return hr;
}

HRESULT OrvaneControl::InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                                    UINT* argErr) {
    Args args(params);
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    unique_variant a, b;

    // Text, number and Boolean properties share their plumbing.
    auto textProperty = [&](HRESULT (STDMETHODCALLTYPE OrvaneControl::*get)(BSTR*),
                            HRESULT (STDMETHODCALLTYPE OrvaneControl::*set)(BSTR)) -> HRESULT {
        if (put) {
            HRESULT hr = ToType(args.PutValue(), VT_BSTR, a.get());
            if (FAILED(hr)) {
                if (argErr) *argErr = 0;
                return hr == DISP_E_PARAMNOTFOUND ? DISP_E_BADPARAMCOUNT : DISP_E_TYPEMISMATCH;
            }
            return (this->*set)(V_BSTR(a.get()));
        }
        BSTR value = nullptr;
        RETURN_IF_FAILED((this->*get)(&value));
        if (result) {
            VariantInit(result);
            V_VT(result) = VT_BSTR;
            V_BSTR(result) = value;
        } else {
            SysFreeString(value);
        }
        return S_OK;
    };
    auto longProperty = [&](HRESULT (STDMETHODCALLTYPE OrvaneControl::*get)(LONG*),
                            HRESULT (STDMETHODCALLTYPE OrvaneControl::*set)(LONG)) -> HRESULT {
        if (put) {
            HRESULT hr = ToType(args.PutValue(), VT_I4, a.get());
            if (FAILED(hr)) {
                if (argErr) *argErr = 0;
                if (hr == DISP_E_OVERFLOW) return RuntimeError(kErrOverflow, L"Overflow");
                return hr == DISP_E_PARAMNOTFOUND ? DISP_E_BADPARAMCOUNT : DISP_E_TYPEMISMATCH;
            }
            return (this->*set)(V_I4(a.get()));
        }
        LONG value = 0;
        RETURN_IF_FAILED((this->*get)(&value));
        SetResultLong(result, value);
        return S_OK;
    };
    auto boolProperty =
        [&](HRESULT (STDMETHODCALLTYPE OrvaneControl::*get)(VARIANT_BOOL*),
            HRESULT (STDMETHODCALLTYPE OrvaneControl::*set)(VARIANT_BOOL)) -> HRESULT {
        if (put) {
            HRESULT hr = ToType(args.PutValue(), VT_BOOL, a.get());
            if (FAILED(hr)) {
                if (argErr) *argErr = 0;
                return hr == DISP_E_PARAMNOTFOUND ? DISP_E_BADPARAMCOUNT : DISP_E_TYPEMISMATCH;
            }
            return (this->*set)(V_BOOL(a.get()));
        }
        VARIANT_BOOL value = VARIANT_FALSE;
        RETURN_IF_FAILED((this->*get)(&value));
        if (result) {
            VariantInit(result);
            V_VT(result) = VT_BOOL;
            V_BOOL(result) = value;
        }
        return S_OK;
    };
    // A text argument; an optional one left out is the empty text.
    auto textArg = [&](UINT index, bool optional, unique_variant& out) -> HRESULT {
        VARIANT* v = args.At(index);
        if (!v) {
            if (!optional) return DISP_E_PARAMNOTFOUND;
            VariantInit(out.get());
            V_VT(out.get()) = VT_BSTR;
            V_BSTR(out.get()) = SysAllocString(L"");
            return S_OK;
        }
        if (FAILED(ToType(v, VT_BSTR, out.get()))) {
            if (argErr) *argErr = args.Count() - 1 - index;
            return DISP_E_TYPEMISMATCH;
        }
        return S_OK;
    };
    auto method = [&](UINT maxArgs) -> HRESULT {
        if (put) return DISP_E_MEMBERNOTFOUND;
        if (args.Count() > maxArgs) return DISP_E_BADPARAMCOUNT;
        return S_OK;
    };

    switch (id) {
        case kDispAbout: RETURN_IF_FAILED(method(0)); return About();
        case kDispCancelUpdate: RETURN_IF_FAILED(method(0)); return CancelUpdate();
        case kDispRemoteHost:
            return textProperty(&OrvaneControl::get_RemoteHost, &OrvaneControl::put_RemoteHost);
        case kDispRemotePort:
            return longProperty(&OrvaneControl::get_RemotePort, &OrvaneControl::put_RemotePort);
        case kDispRemotePath:
            return textProperty(&OrvaneControl::get_RemotePath, &OrvaneControl::put_RemotePath);
        case kDispRemoteFile:
            return textProperty(&OrvaneControl::get_RemoteFile, &OrvaneControl::put_RemoteFile);
        case kDispProxyHost:
            return textProperty(&OrvaneControl::get_ProxyHost, &OrvaneControl::put_ProxyHost);
        case kDispProxyPort:
            return longProperty(&OrvaneControl::get_ProxyPort, &OrvaneControl::put_ProxyPort);
        case kDispProxy: return boolProperty(&OrvaneControl::get_Proxy, &OrvaneControl::put_Proxy);
        case kDispAuthPassword:
            return textProperty(&OrvaneControl::get_AuthPassword, &OrvaneControl::put_AuthPassword);
        case kDispAuthUsername:
            return textProperty(&OrvaneControl::get_AuthUsername, &OrvaneControl::put_AuthUsername);
        case kDispAuthorization:
            return boolProperty(&OrvaneControl::get_Authorization,
                                &OrvaneControl::put_Authorization);
        case kDispCheckUpdate: {
            RETURN_IF_FAILED(method(0));
            ORVANEERROR r = ORV_ERROR_SUCCESS;
            RETURN_IF_FAILED(CheckUpdate(&r));
            SetResultLong(result, r);
            return S_OK;
        }
        case kDispReceiveUpdate: {
            RETURN_IF_FAILED(method(2));
            RETURN_IF_FAILED(textArg(0, true, a));
            RETURN_IF_FAILED(textArg(1, true, b));
            ORVANEERROR r = ORV_ERROR_SUCCESS;
            RETURN_IF_FAILED(ReceiveUpdate(V_BSTR(a.get()), V_BSTR(b.get()), &r));
            SetResultLong(result, r);
            return S_OK;
        }
        case kDispRunUpdate: {
            RETURN_IF_FAILED(method(1));
            RETURN_IF_FAILED(textArg(0, true, a));
            LONG r = 0;
            RETURN_IF_FAILED(RunUpdate(V_BSTR(a.get()), &r));
            SetResultLong(result, r);
            return S_OK;
        }
        case kDispGetFileVersion: {
            RETURN_IF_FAILED(method(2));
            if (args.Count() != 2) return DISP_E_BADPARAMCOUNT;
            RETURN_IF_FAILED(textArg(0, false, a));
            RETURN_IF_FAILED(textArg(1, false, b));
            BSTR version = V_BSTR(b.get());
            V_VT(b.get()) = VT_EMPTY;  // ownership moves to `version`
            ORVANEERROR r = ORV_ERROR_SUCCESS;
            const HRESULT hr = GetFileVersion(V_BSTR(a.get()), &version, &r);
            // Write the text back through the caller's reference, whatever its form.
            VARIANT* raw = &params->rgvarg[params->cArgs - 2];
            if (SUCCEEDED(hr) && V_VT(raw) == (VT_BSTR | VT_BYREF)) {
                SysFreeString(*V_BSTRREF(raw));
                *V_BSTRREF(raw) = version;
                version = nullptr;
            } else if (SUCCEEDED(hr) && V_VT(raw) == (VT_VARIANT | VT_BYREF)) {
                VariantClear(V_VARIANTREF(raw));
                V_VT(V_VARIANTREF(raw)) = VT_BSTR;
                V_BSTR(V_VARIANTREF(raw)) = version;
                version = nullptr;
            }
            SysFreeString(version);
            RETURN_IF_FAILED(hr);
            SetResultLong(result, r);
            return S_OK;
        }
        case kDispCompareVersion: {
            RETURN_IF_FAILED(method(1));
            RETURN_IF_FAILED(textArg(0, false, a));
            LONG r = 0;
            RETURN_IF_FAILED(CompareVersion(V_BSTR(a.get()), &r));
            SetResultLong(result, r);
            return S_OK;
        }
        case kDispGoProductPage:
            RETURN_IF_FAILED(method(1));
            RETURN_IF_FAILED(textArg(0, false, a));
            return GoProductPage(V_BSTR(a.get()));
        case kDispUpdateState: {
            if (put) {
                if (FAILED(ToType(args.PutValue(), VT_I4, a.get()))) return DISP_E_TYPEMISMATCH;
                CONTROLSTATE s = static_cast<CONTROLSTATE>(V_I4(a.get()));
                return put_UpdateState(&s);
            }
            CONTROLSTATE s = CTRL_STATE_FREE;
            RETURN_IF_FAILED(get_UpdateState(&s));
            SetResultLong(result, s);
            return S_OK;
        }
        case kDispUpdateInformation: {
            if (put) {
                VARIANT* v = args.PutValue();
                if (!v) return DISP_E_BADPARAMCOUNT;
                if ((V_VT(v) & ~VT_BYREF) != VT_RECORD || !V_RECORD(v)) {
                    // Only a record can be stored; at design time the refusal comes first.
                    if (!UserMode())
                        return RuntimeError(kErrSetNotPermitted,
                                            L"Can't set property at design time");
                    return RuntimeError(kErrTypeMismatch, L"Type mismatch");
                }
                return put_UpdateInformation(static_cast<UPDATEINFO*>(V_RECORD(v)));
            }
            const VARIANT* held = updateInformation_.get();
            if (V_VT(held) != VT_RECORD) return RuntimeError(kErrTypeMismatch, L"Type mismatch");
            if (result) {
                VariantInit(result);
                RETURN_IF_FAILED(VariantCopy(result, const_cast<VARIANT*>(held)));
            }
            return S_OK;
        }
        default: return DISP_E_MEMBERNOTFOUND;
    }
}

}  // namespace orv
