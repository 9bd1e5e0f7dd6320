// One connection point of the control: a sink array whose cookies are slot + 1. Firing works
// on a copy of the sinks, since handlers call back into the control and may advise or
// unadvise while they run.
#pragma once

#include <windows.h>

#include <ocidl.h>

#include <vector>

namespace orv {

class ConnectionPoint final : public IConnectionPoint {
   public:
    ConnectionPoint(IConnectionPointContainer* owner, REFIID iid) : owner_(owner), iid_(iid) {}
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
    // The live sinks, each AddRef'd; the caller releases them.
    std::vector<IUnknown*> Snapshot() const;
    // Releases every sink (when the control closes).
    void Clear();

   private:
    IConnectionPointContainer* owner_;
    IID iid_;
    std::vector<IUnknown*> sinks_;  // null where a sink was unadvised
};

}  // namespace orv
