#include "tests/e2e/e2e_util.h"

#include <psapi.h>

#include <algorithm>
#include <cstdlib>

namespace orv::test {

namespace {

BSTR Bstr(const std::string& s) {
    const std::wstring w(s.begin(), s.end());
    return SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
}

}  // namespace

bool LoadServers(Servers* out, std::string* why) {
    const std::string nginx = Env("ORV_NGINX_PORT");
    const std::string proxy = Env("ORV_PROXY_PORT");
    const std::string root = Env("ORV_WEBROOT");
    if (nginx.empty() || proxy.empty() || root.empty()) {
        *why = "no servers: run through tests/tools/with_servers.py";
        return false;
    }
    out->nginxPort = std::atoi(nginx.c_str());
    out->proxyPort = std::atoi(proxy.c_str());
    out->webRoot = WinPath(root);
    out->work = out->webRoot.substr(0, out->webRoot.find_last_of('\\')) + "\\scratch";
    CreateDirectoryA(out->work.c_str(), nullptr);
    return true;
}

std::string FreshFolder(const Servers& servers, const std::string& name) {
    return EmptyFolder(servers.work + "\\" + name);
}

std::string BinFile(const std::string& name) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path);
    return s.substr(0, s.find_last_of("\\/") + 1) + name;
}

int NginxRequests(const Servers& servers, const std::string& target) {
    const std::string log = ReadAll(servers.webRoot.substr(0, servers.webRoot.find_last_of('\\')) +
                                    "\\nginx\\access.log");
    int n = 0;
    for (std::size_t at = log.find(target); at != std::string::npos; at = log.find(target, at + 1))
        ++n;
    return n;
}

std::string OrvFile(const std::string& name, const std::string& version,
                    const std::string& packageFile, int32_t packageSize) {
    MakerFields f;
    f.Name = name;
    const std::vector<std::string> parts = SplitAll(version, '.');
    for (std::size_t i = 0; i < f.VersionParts.size() && i < parts.size(); ++i)
        f.VersionParts[i] = parts[i];
    f.Month = "07";
    f.Day = "04";
    f.Year = "2003";
    f.Comments = "Test release of " + name;
    f.PackageFile = packageFile;
    f.PackageSize = packageSize;
    return ScrambleText(BuildPlainText(f), kInformationKey);
}

std::string HttpResponse(const std::string& statusLine, const std::string& body) {
    return statusLine + "\r\nServer: fault\r\n\r\n" + body;
}

std::string Answer(const std::string& response) {
    return R"([[{"op":"recv","until":"\r\n\r\n"},{"op":"send","text":)" + JsonText(response) +
           R"(},{"op":"close"}]])";
}

std::string AnswerScript(const std::string& response) {
    const std::string list = Answer(response);
    return list.substr(1, list.size() - 2);
}

std::vector<std::wstring> ProgressAsOne(const std::vector<std::wstring>& names) {
    std::vector<std::wstring> r;
    for (const std::wstring& n : names)
        if (n != L"ReceivingUpdate" || r.empty() || r.back() != n) r.push_back(n);
    return r;
}

SIZE_T WorkingSet() {
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
    return pmc.WorkingSetSize;
}

SIZE_T PeakWorkingSet() {
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
    return pmc.PeakWorkingSetSize;
}

// ---------------------------------------------------------------------------------------

void E2E::SetUp() {
    std::string why;
    if (!LoadServers(&servers_, &why)) GTEST_SKIP() << why;
    hostTitle_ = L"Orvane end-to-end host";
    ControlFixture::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_NE(0u, Connect(ctl_, DIID___Orvane, static_cast<IDispatch*>(&sink_)));
    ASSERT_NE(0u, Connect(ctl_, IID_IPropertyNotifySink, static_cast<IPropertyNotifySink*>(site_)));
}

void E2E::TearDown() {
    if (ctl_) ctl_->CancelUpdate();
    ControlFixture::TearDown();
}

void E2E::SetText(HRESULT (STDMETHODCALLTYPE _Orvane3::*put)(BSTR), const std::string& value) {
    BSTR b = Bstr(value);
    Set(put, b);
    SysFreeString(b);
}

void E2E::Direct(int port, const std::string& path) {
    SetText(&_Orvane::put_RemoteHost, "http://127.0.0.1");
    EXPECT_EQ(S_OK, ctl_->put_RemotePort(port));
    SetText(&_Orvane::put_RemotePath, path);
}

void E2E::ThroughProxy(int port) {
    EXPECT_EQ(S_OK, ctl_->put_Proxy(VARIANT_TRUE));
    SetText(&_Orvane::put_ProxyHost, "127.0.0.1");
    EXPECT_EQ(S_OK, ctl_->put_ProxyPort(port));
}

HRESULT E2E::CheckHr(ORVANEERROR* result) {
    *result = static_cast<ORVANEERROR>(12345);
    return ctl_->CheckUpdate(result);
}

ORVANEERROR E2E::Check() {
    ORVANEERROR r;
    EXPECT_EQ(S_OK, CheckHr(&r));
    return r;
}

HRESULT E2E::ReceiveHr(const std::string& folder, const std::string& file, ORVANEERROR* result) {
    BSTR f = Bstr(folder);
    BSTR n = Bstr(file);
    *result = static_cast<ORVANEERROR>(12345);
    const HRESULT hr = ctl_->ReceiveUpdate(f, n, result);
    SysFreeString(f);
    SysFreeString(n);
    return hr;
}

ORVANEERROR E2E::Receive(const std::string& folder, const std::string& file) {
    ORVANEERROR r;
    EXPECT_EQ(S_OK, ReceiveHr(folder, file, &r));
    return r;
}

LONG E2E::Compare(const std::string& file) {
    BSTR f = Bstr(file);
    LONG r = 12345;
    EXPECT_EQ(S_OK, ctl_->CompareVersion(f, &r));
    SysFreeString(f);
    return r;
}

LONG E2E::State() {
    CONTROLSTATE s = static_cast<CONTROLSTATE>(-1);
    EXPECT_EQ(S_OK, ctl_->get_UpdateState(&s));
    return s;
}

void E2E::Cancel() {
    EXPECT_EQ(S_OK, ctl_->CancelUpdate());
}

bool E2E::WaitFree(DWORD ms) {
    return PumpUntil([&] { return State() == CTRL_STATE_FREE; }, ms);
}

std::vector<std::wstring> E2E::CheckAndWait(DWORD ms) {
    sink_.events.clear();
    EXPECT_EQ(ORV_ERROR_SUCCESS, Check());
    EXPECT_TRUE(WaitFree(ms)) << "the check did not end";
    return Names();
}

std::vector<std::wstring> E2E::ReceiveAndWait(const std::string& folder, const std::string& file,
                                              DWORD ms) {
    sink_.events.clear();
    EXPECT_EQ(ORV_ERROR_SUCCESS, Receive(folder, file));
    EXPECT_TRUE(WaitFree(ms)) << "the download did not end";
    return Names();
}

bool E2E::StatePublished() const {
    return std::find(site_->changed.begin(), site_->changed.end(), DISPID_ORV_UPDATESTATE) !=
           site_->changed.end();
}

void E2E::ClearNotes() {
    site_->changed.clear();
}

uint16_t E2E::Serve(const std::string& scripts) {
    if (!fault_.Available()) {
        ADD_FAILURE() << fault_.Error();
        return 0;
    }
    const uint16_t port = fault_.ListenLow(scripts);
    EXPECT_NE(port, 0) << fault_.Error();
    return port;
}

FaultServer::Finished E2E::Finish(uint16_t port, int index, int seconds) {
    FaultServer::Finished f;
    EXPECT_TRUE(fault_.Wait(port, index, seconds, &f)) << fault_.Error();
    return f;
}

void E2E::ExpectSettled(const std::string& folder) {
    EXPECT_EQ(State(), CTRL_STATE_FREE);
    if (!folder.empty()) {
        EXPECT_EQ(TempFiles(folder), std::vector<std::string>{}) << folder;
    }
}

UPDATEINFO* InfoOf(DISPPARAMS* params) {
    if (params == nullptr || params->cArgs != 1) return nullptr;
    VARIANT& v = params->rgvarg[0];
    if (V_VT(&v) != (VT_RECORD | VT_BYREF)) return nullptr;
    return static_cast<UPDATEINFO*>(V_RECORD(&v));
}

void SetMember(BSTR* member, const std::string& value) {
    SysFreeString(*member);
    *member = Bstr(value);
}

}  // namespace orv::test
