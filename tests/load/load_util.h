// Helpers of the load and soak tests: the servers with_servers.py started, update information
// files in nginx's web root, the control's connection settings, and the process's counters.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/updateinfo/updateinfo.h"
#include "control/OrvaneControl.h"
#include "tests/support/files.h"

namespace orv::test {

// nginx's port and web root (Windows path) from with_servers.py; empty when not run under it.
std::string NginxPort();
std::string WebRoot();
// A folder of this test under the build tree, created (and emptied of files) on call.
std::string ScratchFolder(const std::string& name);

// The scrambled update information file for `fields`.
std::string InfoFile(const MakerFields& fields);
// The record as the test container prints InfoReceived's argument: fields joined by "|".
std::wstring RecordText(const MakerFields& fields);

// Points the control at 127.0.0.1:port, folder "/", file `remoteFile`.
HRESULT Configure(_Orvane* control, const std::string& port, const std::string& remoteFile);

// Handles and memory of this process.
struct ProcessCounters {
    DWORD handles = 0;
    uint64_t workingSet = 0;     // bytes
    uint64_t pagefileUsage = 0;  // bytes (private memory)
};
ProcessCounters Counters();

}  // namespace orv::test
