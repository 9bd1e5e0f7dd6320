// A test installer the hand-off runs: it checks that the test host is gone, overwrites the
// host's program and the copy of OrvaneCtl.ocx in its folder (ORV_HANDOFF_APP) with the
// build's (ORV_HANDOFF_SOURCE), logs what it found to ORV_HANDOFF_LOG and exits with 3010
// (installed, restart required).
#include <windows.h>

#include <tlhelp32.h>

#include <string>

#include "tests/support/files.h"
#include "tests/support/line_log.h"

namespace {

bool HostRunning() {
    const HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 p = {};
    p.dwSize = sizeof p;
    bool found = false;
    for (BOOL more = Process32First(snap, &p); more && !found; more = Process32Next(snap, &p))
        found = _stricmp(p.szExeFile, "handoff_host.exe") == 0;
    CloseHandle(snap);
    return found;
}

}  // namespace

int main() {
    using orv::test::Env;
    const std::string log = Env("ORV_HANDOFF_LOG");
    orv::test::AppendLine(log,
                          "installer " + std::string(HostRunning() ? "host-running" : "host-gone"));
    int copied = 0;
    for (const char* name : {"handoff_host.exe", "OrvaneCtl.ocx"})
        copied += CopyFileA((Env("ORV_HANDOFF_SOURCE") + "\\" + name).c_str(),
                            (Env("ORV_HANDOFF_APP") + "\\" + name).c_str(), FALSE) != 0;
    orv::test::AppendLine(log, "copied " + std::to_string(copied));
    return 3010;
}
