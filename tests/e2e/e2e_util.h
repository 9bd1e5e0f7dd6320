// Support of the end-to-end tests: the servers with_servers.py started, files in the web root
// and in download folders, update information files, and a fixture holding one Orvane control
// with a recording event sink, driven through its COM interface only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <type_traits>
#include <vector>

#include "common/updateinfo/updateinfo.h"
#include "control/OrvaneControl.h"
#include "tests/com/host.h"
#include "tests/support/control_fixture.h"
#include "tests/support/fault_client.h"
#include "tests/support/files.h"

namespace orv::test {

// The servers of the run (environment of tests/tools/with_servers.py).
struct Servers {
    int nginxPort = 0;
    int proxyPort = 0;
    std::string webRoot;  // Windows path, no trailing backslash
    std::string work;     // a scratch folder of this program next to the web root
};
// Fills `out`; false with the reason when the program runs without the wrapper.
bool LoadServers(Servers* out, std::string* why);

// Files, by Windows path: tests/support/files.h.
// An empty folder `name` under the scratch folder (emptied when it exists).
std::string FreshFolder(const Servers& servers, const std::string& name);
// A file of this build's bin folder (where the test programs themselves are).
std::string BinFile(const std::string& name);
// The number of requests for `target` (a path of the web root) in nginx's access log.
int NginxRequests(const Servers& servers, const std::string& target);

// Bytes of an update information file: the six fields, scrambled as the maker writes them.
// `version` holds the four parts joined by "." (fewer parts leave the rest empty).
std::string OrvFile(const std::string& name, const std::string& version,
                    const std::string& packageFile, int32_t packageSize);
// An HTTP response: status line, a header line, the empty line, then `body`.
std::string HttpResponse(const std::string& statusLine, const std::string& body);
// A fault-server script list: read the request, send `response`, close.
std::string Answer(const std::string& response);
// The one script of that list, to put into a list of several.
std::string AnswerScript(const std::string& response);
// Event names with each run of ReceivingUpdate as one.
std::vector<std::wstring> ProgressAsOne(const std::vector<std::wstring>& names);

// Memory of this process (bytes).
SIZE_T WorkingSet();
SIZE_T PeakWorkingSet();

// One control, its event sink and a property-notify sink, created per test.
class E2E : public ControlFixture {
   protected:
    void SetUp() override;
    void TearDown() override;

    // Settings.
    // A property of any of the control's interfaces, through a reference of its own.
    template <class I, class V>
    void Set(HRESULT (STDMETHODCALLTYPE I::*put)(V), std::type_identity_t<V> value) {
        _Orvane4* ctl4 = nullptr;
        ASSERT_EQ(S_OK, ctl_->QueryInterface(IID__Orvane4, reinterpret_cast<void**>(&ctl4)));
        EXPECT_EQ(S_OK, (ctl4->*put)(value));
        ctl4->Release();
    }
    void SetText(HRESULT (STDMETHODCALLTYPE _Orvane3::*put)(BSTR), const std::string& value);
    void Direct(int port, const std::string& path = "/");
    // Proxy on, at 127.0.0.1:`port`.
    void ThroughProxy(int port);
    void UseNginx(const std::string& path = "/") { Direct(servers_.nginxPort, path); }

    // Methods, with the result code; the HRESULT of the call must be S_OK.
    ORVANEERROR Check();
    ORVANEERROR Receive(const std::string& folder, const std::string& file = "");
    HRESULT CheckHr(ORVANEERROR* result);
    HRESULT ReceiveHr(const std::string& folder, const std::string& file, ORVANEERROR* result);
    LONG Compare(const std::string& file);
    LONG State();
    void Cancel();

    // Pumps messages until the control is free again (or `ms` pass); true when free.
    bool WaitFree(DWORD ms = 10000);
    // A check that ends; the event names afterwards.
    std::vector<std::wstring> CheckAndWait(DWORD ms = 10000);
    // A download that ends.
    std::vector<std::wstring> ReceiveAndWait(const std::string& folder,
                                             const std::string& file = "", DWORD ms = 20000);

    // Whether the control published UpdateState since the last ClearNotes().
    bool StatePublished() const;
    void ClearNotes();

    // A fault-server listener on a port the control can reach; 0 with a failure without one.
    uint16_t Serve(const std::string& scripts);
    // What connection `index` of the listener sent, once it has finished.
    FaultServer::Finished Finish(uint16_t port, int index = 0, int seconds = 10);

    // Checks that the control is free, published as free, and left no temporary file.
    void ExpectSettled(const std::string& folder);

    std::vector<std::wstring> Names() const { return sink_.Names(); }
    static std::wstring W(const std::string& s) { return std::wstring(s.begin(), s.end()); }

    Servers servers_;
    FaultServer fault_;
    EventSink sink_;
};

// The record an InfoReceived event passes by reference.
UPDATEINFO* InfoOf(DISPPARAMS* params);
// Replaces a text member of that record.
void SetMember(BSTR* member, const std::string& value);

}  // namespace orv::test
