// The Orvane control in a host program of ours, through its COM interface: an update check
// loop, or one package download timed from ReceiveUpdate to UpdateReceived.
//
//   bench_control check PORT INFOFILE COUNT
//   bench_control download PORT INFOFILE OUTFOLDER OUTNAME [HOST]
//
// The server is 127.0.0.1:PORT (or HOST:PORT, HOST as RemoteHost takes it, e.g.
// https://localhost) and INFOFILE lies in its root. Prints one JSON line.
#include <windows.h>

#include <ocidl.h>
#include <olectl.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "control/OrvaneControl.h"
#include "control/dispids.h"

namespace orv::bench {
namespace {

// Counts the control's events and keeps nothing else, so the host adds no memory of its own
// per piece of a download.
class CountingSink final : public IDispatch {
   public:
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID___Orvane) {
            *out = static_cast<IDispatch*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // lives on main's stack
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        switch (id) {
            case DISPID_ORV_UPDATERECEIVED: ++updateReceived; break;
            case DISPID_ORV_RECEIVINGUPDATE:
                if (pieces++ == 0) firstPiece = Now();
                lastPiece = Now();
                // Arguments arrive last first: BytesReceived is the fourth from the end.
                if (p->cArgs == 4 && V_VT(&p->rgvarg[3]) == VT_I4) bytes += V_I4(&p->rgvarg[3]);
                break;
            case DISPID_ORV_CONNECTIONERROR:
                ++connectionErrors;
                if (p->cArgs == 2 && V_VT(&p->rgvarg[1]) == VT_I4) lastError = V_I4(&p->rgvarg[1]);
                break;
            case DISPID_ORV_HTTPSTATUS:
                if (p->cArgs == 2 && V_VT(&p->rgvarg[1]) == VT_I4) lastStatus = V_I4(&p->rgvarg[1]);
                break;
            case DISPID_ORV_INFORECEIVED: ++infoReceived; break;
            default: break;
        }
        return S_OK;
    }

    int updateReceived = 0;
    int infoReceived = 0;
    int connectionErrors = 0;
    int64_t pieces = 0;
    int64_t bytes = 0;
    long lastStatus = 0;
    long lastError = 0;
    double firstPiece = 0;
    double lastPiece = 0;
};

struct Bstr {
    explicit Bstr(const std::string& s) {
        const std::wstring w(s.begin(), s.end());
        b = SysAllocString(w.c_str());
    }
    ~Bstr() { SysFreeString(b); }
    BSTR b;
};

bool Advise(IUnknown* control, IDispatch* sink) {
    IConnectionPointContainer* cpc = nullptr;
    if (FAILED(
            control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc))))
        return false;
    IConnectionPoint* cp = nullptr;
    DWORD cookie = 0;
    const bool ok = SUCCEEDED(cpc->FindConnectionPoint(DIID___Orvane, &cp)) &&
                    SUCCEEDED(cp->Advise(sink, &cookie));
    if (cp) cp->Release();
    cpc->Release();
    return ok;
}

// One check: CheckUpdate to InfoReceived; false on anything else.
bool Check(_Orvane* ctl, CountingSink& sink, double& seconds) {
    const int before = sink.infoReceived;
    const int errorsBefore = sink.connectionErrors;
    ORVANEERROR r = ORV_ERROR_SUCCESS;
    const double start = Now();
    if (FAILED(ctl->CheckUpdate(&r)) || r != ORV_ERROR_SUCCESS) return false;
    const bool done = PumpUntil(
        [&] { return sink.infoReceived != before || sink.connectionErrors != errorsBefore; }, 30);
    seconds = Now() - start;
    return done && sink.infoReceived == before + 1;
}

int Run(int argc, char** argv) {
    if (argc < 4) return Fail("usage: bench_control check|download PORT INFOFILE ...");
    const std::string mode = argv[1];
    const long port = std::strtol(argv[2], nullptr, 10);
    const std::string infoFile = argv[3];

    _Orvane* ctl = nullptr;
    if (FAILED(CoCreateInstance(CLSID_Orvane, nullptr, CLSCTX_INPROC_SERVER, IID__Orvane,
                                reinterpret_cast<void**>(&ctl))))
        return Fail("the control is not registered");
    CountingSink sink;
    if (!Advise(ctl, &sink)) return Fail("no event connection");
    const std::string host = mode == "download" && argc > 6 ? argv[6] : "127.0.0.1";
    ctl->put_RemoteHost(Bstr(host).b);
    ctl->put_RemotePort(port);
    ctl->put_RemotePath(Bstr("/").b);
    ctl->put_RemoteFile(Bstr(infoFile).b);

    Report report;
    report.Add("contender", "control").Add("mode", mode);
    if (mode == "check") {
        const int count = argc > 4 ? std::atoi(argv[4]) : 50;
        std::vector<double> times;
        const Memory idle = ProcessMemory();
        const double start = Now();
        for (int i = 0; i < count; ++i) {
            double t = 0;
            if (!Check(ctl, sink, t)) return Fail("check " + std::to_string(i + 1) + " failed");
            times.push_back(t);
        }
        const double total = Now() - start;
        report.Add("ok", true).Add("count", count).Add("seconds", total);
        report.Add("per_check_ms", total * 1000 / count).Add("check_seconds", times);
        report.AddMemory("idle_", idle).AddMemory("", ProcessMemory());
    } else if (mode == "download" && argc >= 6) {
        const std::string folder = argv[4];
        const std::string name = argv[5];
        double t = 0;
        if (!Check(ctl, sink, t)) return Fail("the update check failed");
        // The process idle: control created, update information held, nothing transferring.
        const Memory idle = ProcessMemory();
        const Bstr path(folder), file(name);
        ORVANEERROR r = ORV_ERROR_SUCCESS;
        const double start = Now();
        if (FAILED(ctl->ReceiveUpdate(path.b, file.b, &r)) || r != ORV_ERROR_SUCCESS)
            return Fail("ReceiveUpdate refused: " + std::to_string(r));
        const bool done =
            PumpUntil([&] { return sink.updateReceived > 0 || sink.connectionErrors > 0; }, 1800);
        const double seconds = Now() - start;
        const Memory end = ProcessMemory();
        if (!done || sink.updateReceived != 1)
            return Fail("no UpdateReceived; status " + std::to_string(sink.lastStatus) +
                        ", error " + std::to_string(sink.lastError));
        std::string target = folder;
        if (!target.empty() && target.back() != '\\') target += '\\';
        target += name;
        report.Add("ok", true).Add("seconds", seconds).Add("bytes", sink.bytes);
        report.Add("file_bytes", FileSize(target)).Add("pieces", sink.pieces);
        report.Add("first_piece_seconds", sink.firstPiece - start);
        report.Add("after_last_piece_seconds", start + seconds - sink.lastPiece);
        report.AddMemory("idle_", idle).AddMemory("", end);
    } else {
        return Fail("unknown mode " + mode);
    }
    ctl->Release();
    report.Print();
    return 0;
}

}  // namespace
}  // namespace orv::bench

int main(int argc, char** argv) {
    return orv::bench::RunTrusting(argc, argv, [](int n, char** args) {
        if (FAILED(OleInitialize(nullptr))) return orv::bench::Fail("OleInitialize failed");
        const int rc = orv::bench::Run(n, args);
        OleUninitialize();
        return rc;
    });
}
