#include "control/connection_point.h"

#include <olectl.h>

#include "control/com_object.h"
#include "control/com_util.h"

namespace orv {

ConnectionPoint::~ConnectionPoint() {
    Clear();
}

STDMETHODIMP ConnectionPoint::QueryInterface(REFIID iid, void** out) {
    static constexpr InterfaceEntry<ConnectionPoint> kInterfaces[] = {
        Answer<ConnectionPoint, IConnectionPoint>(IID_IUnknown),
        Answer<ConnectionPoint, IConnectionPoint>(IID_IConnectionPoint),
    };
    return QueryInterfaceTable(this, kInterfaces, iid, out);
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
        Microsoft::WRL::ComPtr<IUnknown> typed;
        if (FAILED(sink->QueryInterface(iid_, &typed)) &&
            (!acceptDispatch_ || FAILED(sink->QueryInterface(IID_IDispatch, &typed))))
            return CONNECT_E_CANNOTCONNECT;
        for (size_t i = 0; i < sinks_.size(); ++i) {
            if (!sinks_[i]) {
                sinks_[i] = std::move(typed);
                *cookie = static_cast<DWORD>(i + 1);
                return S_OK;
            }
        }
        sinks_.push_back(std::move(typed));
        *cookie = static_cast<DWORD>(sinks_.size());
        return S_OK;
    });
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD cookie) {
    if (cookie == 0 || cookie > sinks_.size() || !sinks_[cookie - 1]) return CONNECT_E_NOCONNECTION;
    Microsoft::WRL::ComPtr<IUnknown> sink = std::move(sinks_[cookie - 1]);
    sinks_[cookie - 1] = nullptr;
    sink.Reset();  // last: the release may re-enter the control
    return S_OK;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** out) {
    if (out) *out = nullptr;
    return E_NOTIMPL;
}

std::vector<Microsoft::WRL::ComPtr<IUnknown>> ConnectionPoint::Snapshot() const {
    std::vector<Microsoft::WRL::ComPtr<IUnknown>> copy;
    copy.reserve(sinks_.size());
    for (const auto& s : sinks_)
        if (s) copy.push_back(s);
    return copy;
}

void ConnectionPoint::Clear() {
    std::vector<Microsoft::WRL::ComPtr<IUnknown>> old;
    old.swap(sinks_);
}

}  // namespace orv
