#include "control/connection_point.h"

#include <olectl.h>

#include "control/com_util.h"

namespace orv {

ConnectionPoint::~ConnectionPoint() {
    Clear();
}

STDMETHODIMP ConnectionPoint::QueryInterface(REFIID iid, void** out) {
    RETURN_HR_IF_NULL(E_POINTER, out);
    if (iid == IID_IUnknown || iid == IID_IConnectionPoint) {
        *out = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* iid) {
    RETURN_HR_IF_NULL(E_POINTER, iid);
    *iid = iid_;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
    RETURN_HR_IF_NULL(E_POINTER, out);
    *out = owner_;
    owner_->AddRef();
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    RETURN_HR_IF_NULL(E_POINTER, cookie);
    *cookie = 0;
    RETURN_HR_IF_NULL(E_POINTER, sink);
    return ComBoundary([&]() -> HRESULT {
        IUnknown* typed = nullptr;
        if (FAILED(sink->QueryInterface(iid_, reinterpret_cast<void**>(&typed)))) {
            // Event sinks of a dispinterface are often plain IDispatch implementations.
            if (FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&typed))))
                return CONNECT_E_CANNOTCONNECT;
        }
        for (size_t i = 0; i < sinks_.size(); ++i) {
            if (!sinks_[i]) {
                sinks_[i] = typed;
                *cookie = static_cast<DWORD>(i + 1);
                return S_OK;
            }
        }
        try {
            sinks_.push_back(typed);
        } catch (...) {
            typed->Release();
            throw;
        }
        *cookie = static_cast<DWORD>(sinks_.size());
        return S_OK;
    });
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie) {
    if (cookie == 0 || cookie > sinks_.size() || !sinks_[cookie - 1]) return CONNECT_E_NOCONNECTION;
    IUnknown* sink = sinks_[cookie - 1];
    sinks_[cookie - 1] = nullptr;
    sink->Release();  // last: the release may re-enter the control
    return S_OK;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

std::vector<IUnknown*> ConnectionPoint::Snapshot() const {
    std::vector<IUnknown*> copy;
    copy.reserve(sinks_.size());
    for (IUnknown* s : sinks_) {
        if (!s) continue;
        s->AddRef();
        copy.push_back(s);
    }
    return copy;
}

void ConnectionPoint::Clear() {
    std::vector<IUnknown*> old;
    old.swap(sinks_);
    for (IUnknown* s : old) {
        if (s) s->Release();
    }
}

}  // namespace orv
