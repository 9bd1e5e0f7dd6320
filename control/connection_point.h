// One connection point of the control: a sink array whose cookies are slot + 1. Firing works
// on a copy of the sinks, since handlers call back into the control and may advise or
// unadvise while they run.
#pragma once

#include <windows.h>

#include <ocidl.h>

#include <vector>
#include <wrl/client.h>

namespace orv {

class ConnectionPoint final : public IConnectionPoint {
   public:
    // `acceptDispatch`: a sink that implements only IDispatch is taken too (event sinks of a
    // dispinterface often are plain IDispatch implementations).
    ConnectionPoint(IConnectionPointContainer* owner, REFIID iid, bool acceptDispatch)
        : owner_(owner), iid_(iid), acceptDispatch_(acceptDispatch) {}
    ~ConnectionPoint();
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    // IUnknown: lifetime is the owner's.
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
    STDMETHODIMP_(ULONG) AddRef() override { return owner_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return owner_->Release(); }

    // IConnectionPoint
    STDMETHODIMP GetConnectionInterface(IID* iid) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
    STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
    STDMETHODIMP Unadvise(DWORD cookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** out) override;

    REFIID Iid() const { return iid_; }
    // The live sinks, each held by the copy.
    std::vector<Microsoft::WRL::ComPtr<IUnknown>> Snapshot() const;
    // Releases every sink (when the control closes).
    void Clear();

   private:
    IConnectionPointContainer* owner_;
    IID iid_;
    bool acceptDispatch_;
    std::vector<Microsoft::WRL::ComPtr<IUnknown>> sinks_;  // null where a sink was unadvised
};

}  // namespace orv
