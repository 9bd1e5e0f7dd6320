// What the control tells the hand-off program (OrvaneHandOff.exe): the handles it inherits,
// how long to wait for the host, the package and how to start it, where to record the
// outcome and how to start the host again. The control writes the order into a shared memory
// section the program inherits; the text form here has no <windows.h>, so it is tested
// natively.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/updateinfo/signed_fields.h"

namespace orv::handoff {

struct Order {
    // Inherited handles, as numbers: the host process (to wait on), the package (open for
    // reading only, others may only read), the program's own file (deleted when it closes).
    uint64_t hostProcess = 0;
    uint64_t package = 0;
    uint64_t self = 0;
    int32_t timeoutSeconds = 0;  // 0: until the host ends
    bool elevate = false;        // start the package with the "runas" verb
    bool restart = false;        // start the host again afterwards
    // What the download delivered: the package must still be exactly this.
    uint64_t packageSize = 0;
    Sha256Digest digest{};
    // The update source (RemoteHost, RemotePath, RemoteFile) whose memory gets the outcome,
    // and the version it is recorded with.
    std::string sourceHost, sourcePath, sourceFile;
    std::string version;
    // ANSI: the package's path, its parameters and its working folder.
    std::string packagePath, parameters, packageFolder;
    // UTF-8: the host's program, its command line and the folder it started in. The program
    // is named apart: a command line may name it relative to a folder the hand-off is not in.
    std::string restartProgram, restartCommand, restartFolder;
};

// The order as bytes: a tag, then each field as its decimal length, ":" and its bytes.
std::string EncodeOrder(const Order& order);
// The order read back; nothing when the bytes are not exactly an encoded order.
std::optional<Order> DecodeOrder(std::string_view bytes);

}  // namespace orv::handoff
