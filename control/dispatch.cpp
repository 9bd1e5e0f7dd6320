// IDispatch of the control through its type library: names, named arguments, argument
// conversion and the call itself are the type library's (DispInvoke on the function table
// side of _Orvane4, which holds the members of _Orvane to _Orvane3 too). A short pass before the
// call covers only what Wine's ITypeInfo::Invoke can't do by itself:
//  - an optional text or Boolean argument left out: it would pass its "missing" marker
//    (VT_ERROR) as the value, so the member gets the empty text or False instead;
//  - a by-reference variant (VT_VARIANT|VT_BYREF, what scripts pass for their variables):
//    rejected there for a typed by-reference parameter, so the value goes through a local of
//    the declared type that is copied back after the call; for a by-value parameter the
//    variant it refers to is passed;
//  - counts and types: more arguments than the member takes aren't refused there, and a
//    failed conversion names no argument, so both are checked here with the standard results
//    (DISP_E_BADPARAMCOUNT; DISP_E_TYPEMISMATCH with the argument's position); a number too
//    large for its parameter is run-time error 6 (Overflow), as the runtime reports it;
//  - records: parameters of record type aren't supported there at all (E_NOTIMPL), so
//    UpdateInformation is dispatched here.
#include <cstring>
#include <string>
#include <vector>

#include "control/orvane_control.h"

using Microsoft::WRL::ComPtr;

namespace orv {
namespace {

// The function table side of _Orvane4, whose functions ITypeInfo::Invoke calls.
HRESULT InterfaceTypeInfo(ComPtr<ITypeInfo>& out) {
    ComPtr<ITypeInfo> disp;
    RETURN_IF_FAILED(GetOwnTypeInfo(IID__Orvane4, &disp));
    HREFTYPE ref = 0;
    if (FAILED(disp->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref))) {
        out = disp;
        return S_OK;
    }
    return disp->GetRefTypeInfo(ref, &out);
}

// The function `id` of kind `kinds`: in _Orvane4's own function table, or for a member it
// inherits, in the table of the interface it extends (a type info's function index covers its
// own functions only). `info` is the interface that declares it; its offsets hold for our
// object, whose function table is _Orvane's followed by those of _Orvane2 to _Orvane4.
HRESULT FindFunction(DISPID id, INVOKEKIND kinds, ComPtr<ITypeInfo>& info, UINT& index) {
    RETURN_IF_FAILED(InterfaceTypeInfo(info));
    for (int depth = 0; depth < 4; ++depth) {
        ComPtr<ITypeInfo2> info2;
        RETURN_IF_FAILED(info.As(&info2));
        if (SUCCEEDED(info2->GetFuncIndexOfMemId(id, kinds, &index))) return S_OK;
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> base;
        if (FAILED(info->GetRefTypeOfImplType(0, &ref)) || FAILED(info->GetRefTypeInfo(ref, &base)))
            break;
        info = base;
    }
    return DISP_E_MEMBERNOTFOUND;
}

class FuncDesc {
   public:
    FuncDesc(ITypeInfo* info, UINT index) : info_(info) {
        if (FAILED(info->GetFuncDesc(index, &f_))) f_ = nullptr;
    }
    ~FuncDesc() {
        if (f_) info_->ReleaseFuncDesc(f_);
    }
    FuncDesc(const FuncDesc&) = delete;
    FuncDesc& operator=(const FuncDesc&) = delete;
    const FUNCDESC* get() const { return f_; }

   private:
    ITypeInfo* info_;
    FUNCDESC* f_ = nullptr;
};

// The variant type of a declared parameter (enumerations are VT_I4), or VT_EMPTY for types
// left to the type library; `byRef` tells a pointer parameter.
VARTYPE DeclaredType(ITypeInfo* info, const TYPEDESC& desc, bool& byRef) {
    const TYPEDESC* t = &desc;
    byRef = t->vt == VT_PTR;
    if (byRef) t = t->lptdesc;
    if (t->vt != VT_USERDEFINED) return t->vt;
    ComPtr<ITypeInfo> ref;
    TYPEATTR* attr = nullptr;
    if (FAILED(info->GetRefTypeInfo(t->hreftype, &ref)) || FAILED(ref->GetTypeAttr(&attr)))
        return VT_EMPTY;
    const VARTYPE vt = attr->typekind == TKIND_ENUM ? VT_I4 : VT_EMPTY;
    ref->ReleaseTypeAttr(attr);
    return vt;
}

// Run-time error 6 for an argument whose value does not fit its declared type, naming the
// property (for a put) or the method and its parameter as the type library gives them.
HRESULT ArgumentOverflow(ITypeInfo* info, const FUNCDESC& f, SHORT param, VARTYPE vt) {
    std::vector<BSTR> names(static_cast<std::size_t>(f.cParams) + 1, nullptr);
    UINT got = 0;
    info->GetNames(f.memid, names.data(), static_cast<UINT>(names.size()), &got);
    std::wstring what = got > 0 && names[0] ? names[0] : L"the member";
    const UINT at = static_cast<UINT>(param) + 1;
    if (f.invkind == INVOKE_FUNC && at < got && names[at]) what += std::wstring(L"'s ") + names[at];
    for (BSTR n : names) SysFreeString(n);
    const wchar_t* range = vt == VT_I4   ? L"a long (-2147483648 to 2147483647)"
                           : vt == VT_I2 ? L"an integer (-32768 to 32767)"
                                         : L"its type";
    return RuntimeError(kErrOverflow, L"The value for " + what + L" does not fit " + range);
}

// The arguments handed on to the type library: the caller's, with what the pass changed.
class PreparedArgs {
   public:
    // Builds the arguments of a call of `f`; fails with the standard result.
    HRESULT Prepare(ITypeInfo* info, const FUNCDESC& f, DISPPARAMS* dp, UINT* argErr) {
        dp_ = dp;
        const UINT count = dp->cArgs, named = dp->cNamedArgs;
        if (named > count || (count && !dp->rgvarg) || (named && !dp->rgdispidNamedArgs))
            return E_INVALIDARG;
        UINT inputs = 0;
        for (SHORT i = 0; i < f.cParams; ++i)
            if (!(f.lprgelemdescParam[i].paramdesc.wParamFlags &
                  (PARAMFLAG_FRETVAL | PARAMFLAG_FLCID)))
                ++inputs;
        if (count > inputs) return DISP_E_BADPARAMCOUNT;
        for (UINT j = 0; j < named; ++j) {
            const DISPID n = dp->rgdispidNamedArgs[j];
            if (n == DISPID_PROPERTYPUT) continue;
            if (n < 0 || n >= f.cParams ||
                (f.lprgelemdescParam[n].paramdesc.wParamFlags & PARAMFLAG_FRETVAL)) {
                if (argErr) *argErr = j;
                return DISP_E_PARAMNOTFOUND;
            }
        }
        args_.assign(dp->rgvarg, dp->rgvarg + count);
        replaced_.assign(count, false);
        locals_.reserve(static_cast<std::size_t>(f.cParams));

        // Parameters meet their arguments as the type library pairs them: a named argument
        // by position, the others in order.
        UINT used = 0;
        for (SHORT i = 0; i < f.cParams; ++i) {
            const USHORT flags = f.lprgelemdescParam[i].paramdesc.wParamFlags;
            if (flags & (PARAMFLAG_FRETVAL | PARAMFLAG_FLCID)) continue;
            int src = -1;
            for (UINT j = 0; j < named && src < 0; ++j)
                if (dp->rgdispidNamedArgs[j] == i ||
                    (i == f.cParams - 1 && dp->rgdispidNamedArgs[j] == DISPID_PROPERTYPUT))
                    src = static_cast<int>(j);
            if (src < 0 && used + named < count) src = static_cast<int>(count - 1 - used++);

            bool byRef = false;
            const VARTYPE vt = DeclaredType(info, f.lprgelemdescParam[i].tdesc, byRef);
            if (vt == VT_VARIANT || vt == VT_EMPTY) continue;
            VARIANT* arg = src >= 0 ? &args_[src] : nullptr;
            VARIANT* value = arg && V_VT(arg) == (VT_VARIANT | VT_BYREF) ? V_VARIANTREF(arg) : arg;
            if (!value || (V_VT(value) == VT_ERROR && V_ERROR(value) == DISP_E_PARAMNOTFOUND)) {
                if (!(flags & PARAMFLAG_FOPT) || byRef || (vt != VT_BSTR && vt != VT_BOOL))
                    continue;
                unique_variant& empty = locals_.emplace_back();
                V_VT(empty.get()) = vt;
                if (vt == VT_BSTR)
                    V_BSTR(empty.get()) = ToBstr("");
                else
                    V_BOOL(empty.get()) = VARIANT_FALSE;
                if (arg) {
                    Replace(src, *empty.get());
                } else {
                    addedIds_.push_back(i);
                    added_.push_back(*empty.get());
                }
                continue;
            }
            if (V_VT(value) != vt) {
                unique_variant converted;
                const HRESULT hr = VariantChangeType(converted.get(), value, 0, vt);
                if (hr == DISP_E_OVERFLOW) return ArgumentOverflow(info, f, i, vt);
                if (FAILED(hr)) {
                    if (argErr) *argErr = static_cast<UINT>(src);
                    return DISP_E_TYPEMISMATCH;
                }
                if (byRef && V_VT(arg) == (VT_VARIANT | VT_BYREF)) {
                    unique_variant& local = locals_.emplace_back(std::move(converted));
                    VARIANT ref{};
                    V_VT(&ref) = static_cast<VARTYPE>(vt | VT_BYREF);
                    V_BYREF(&ref) = &V_BSTR(local.get());  // the value, whatever its type
                    Replace(src, ref);
                    if (flags & PARAMFLAG_FOUT) copyBack_.push_back({value, local.get()});
                    continue;
                }
            } else if (byRef && V_VT(arg) == (VT_VARIANT | VT_BYREF)) {
                VARIANT ref{};
                V_VT(&ref) = static_cast<VARTYPE>(vt | VT_BYREF);
                V_BYREF(&ref) = &V_BSTR(value);
                Replace(src, ref);
                continue;
            }
            if (!byRef && arg != value) Replace(src, *value);
        }
        return S_OK;
    }

    // The arguments to hand on: the caller's own when nothing changed.
    DISPPARAMS* Params() {
        if (!changed_ && added_.empty()) return dp_;
        const UINT named = dp_->cNamedArgs;
        all_.clear();
        ids_.clear();
        all_.insert(all_.end(), args_.begin(), args_.begin() + named);
        all_.insert(all_.end(), added_.begin(), added_.end());
        all_.insert(all_.end(), args_.begin() + named, args_.end());
        ids_.insert(ids_.end(), dp_->rgdispidNamedArgs, dp_->rgdispidNamedArgs + named);
        ids_.insert(ids_.end(), addedIds_.begin(), addedIds_.end());
        params_ = {all_.data(), ids_.data(), static_cast<UINT>(all_.size()),
                   static_cast<UINT>(ids_.size())};
        return &params_;
    }

    // After the call: the caller's arguments get what the callee wrote.
    void Finish(bool succeeded) {
        if (!changed_ && added_.empty()) return;
        // The type library may write through arguments passed by value; the caller's copies
        // follow, except those this pass replaced.
        const UINT named = dp_->cNamedArgs;
        for (UINT k = 0; k < dp_->cArgs; ++k) {
            if (replaced_[k]) continue;
            dp_->rgvarg[k] = k < named ? all_[k] : all_[k + added_.size()];
        }
        if (!succeeded) return;
        for (const CopyBack& c : copyBack_) {
            VariantClear(c.target);
            *c.target = *c.local;
            *c.local = VARIANT{};  // moved
        }
    }

   private:
    void Replace(int index, const VARIANT& v) {
        args_[index] = v;
        replaced_[index] = true;
        changed_ = true;
    }

    struct CopyBack {
        VARIANT* target;
        VARIANT* local;
    };
    DISPPARAMS* dp_ = nullptr;
    std::vector<VARIANT> args_;
    std::vector<bool> replaced_;
    std::vector<VARIANT> added_;  // named arguments supplied here
    std::vector<DISPID> addedIds_;
    std::vector<unique_variant> locals_;  // owners of what the pass supplied
    std::vector<CopyBack> copyBack_;
    std::vector<VARIANT> all_;
    std::vector<DISPID> ids_;
    DISPPARAMS params_ = {};
    bool changed_ = false;
};

// A run-time error (FACILITY_CONTROL) as a dispatch exception: its number and text go to
// the caller.
HRESULT AsException(HRESULT hr, EXCEPINFO* excep) {
    if (!FAILED(hr) || HRESULT_FACILITY(hr) != FACILITY_CONTROL) return hr;
    if (excep) {
        excep->scode = hr;
        ComPtr<IErrorInfo> info;
        if (GetErrorInfo(0, &info) == S_OK && info) {
            info->GetSource(&excep->bstrSource);
            info->GetDescription(&excep->bstrDescription);
        }
    }
    return DISP_E_EXCEPTION;
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
    return GetOwnTypeInfo(IID__Orvane4, info);
}

// Member names and the names of their parameters, as the type library gives them.
STDMETHODIMP OrvaneControl::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    ComPtr<ITypeInfo> info;
    RETURN_IF_FAILED(GetOwnTypeInfo(IID__Orvane4, &info));
    return DispGetIDsOfNames(info.Get(), names, count, ids);
}

STDMETHODIMP OrvaneControl::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    RETURN_HR_IF_NULL(E_INVALIDARG, params);
    if (excep) *excep = EXCEPINFO{};
    // A handler of one of our events may release the host's last reference meanwhile.
    ComPtr<_Orvane> self(this);
    const HRESULT hr =
        ComMethod([&] { return InvokeMember(id, flags, params, result, excep, argErr); });
    return AsException(hr, excep);
}

HRESULT OrvaneControl::InvokeMember(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                                    EXCEPINFO* excep, UINT* argErr) {
    if (id == DISPID_ORV_UPDATEINFORMATION) return InvokeUpdateInformation(flags, params, result);

    // Which kind of member the flags may reach: a put, or a method or property get (clients
    // call methods with DISPATCH_PROPERTYGET and read properties with DISPATCH_METHOD too).
    int kinds = 0;
    if (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) kinds |= INVOKE_FUNC | INVOKE_PROPERTYGET;
    if (flags & DISPATCH_PROPERTYPUT) kinds |= INVOKE_PROPERTYPUT;
    if (flags & DISPATCH_PROPERTYPUTREF) kinds |= INVOKE_PROPERTYPUTREF;
    if (!kinds) return DISP_E_MEMBERNOTFOUND;
    ComPtr<ITypeInfo> info;
    UINT index = 0;
    RETURN_IF_FAILED(FindFunction(id, static_cast<INVOKEKIND>(kinds), info, index));
    FuncDesc f(info.Get(), index);
    if (!f.get()) return E_UNEXPECTED;

    PreparedArgs args;
    RETURN_IF_FAILED(args.Prepare(info.Get(), *f.get(), params, argErr));
    const HRESULT hr =
        DispInvoke(static_cast<_Orvane4*>(this), info.Get(), id,
                   static_cast<WORD>(f.get()->invkind), args.Params(), result, excep, argErr);
    args.Finish(SUCCEEDED(hr));
    return hr;
}

HRESULT OrvaneControl::InvokeUpdateInformation(WORD flags, DISPPARAMS* params, VARIANT* result) {
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
        if (params->cNamedArgs != 1 || params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
            return DISP_E_PARAMNOTFOUND;
        VARIANT* v = &params->rgvarg[0];
        if (V_VT(v) == (VT_VARIANT | VT_BYREF)) v = V_VARIANTREF(v);
        // Only an UPDATEINFO record can be stored; at design time the refusal comes first.
        if (!IsUpdateInfoRecord(*v)) {
            if (!UserMode()) return DesignTimeSet(L"UpdateInformation");
            return NotAnUpdateInfo();
        }
        return put_UpdateInformation(static_cast<UPDATEINFO*>(V_RECORD(v)));
    }
    if (!(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) return DISP_E_MEMBERNOTFOUND;
    if (params->cArgs != 0) return DISP_E_BADPARAMCOUNT;
    if (!props_.UpdateInformation.HoldsRecord()) return NoRecordYet();
    if (result) {
        VariantInit(result);
        RETURN_IF_FAILED(VariantCopy(result, props_.UpdateInformation.get()));
    }
    return S_OK;
}

}  // namespace orv
