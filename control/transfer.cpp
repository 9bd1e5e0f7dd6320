// The update check and the package download: the control's transfer state machine on top
// of its socket object, and running, cancelling and the product page around it.
#include <windows.h>

#include <shellapi.h>

#include <climits>

#include "control/http/http_text.h"
#include "control/net/socket_error_text.h"
#include "control/orvane_control.h"

namespace orv {
namespace {

// Per-thread transfer state shared by every control on the thread: the response being
// collected and the tick counts behind the transfer rate. Plain values only: for a
// thread_local object with a destructor the C++ runtime holds this library loaded for the
// thread and releases it from inside its own code when the thread ends; once COM has let go
// of the library, that unloads the code still running and the thread never ends. The
// response text therefore lives on the heap while a control exists on the thread.
thread_local std::string* ResponseBuffer = nullptr;
thread_local int ControlsOnThread = 0;
thread_local int32_t LastTick = 0;
thread_local int32_t CurrentTick = 0;
thread_local int32_t LastRate = 0;

// Memory stays bounded whatever a server sends: an update information response and a
// package header are small; past these caps the transfer ends with "Message too long.".
constexpr std::size_t kMaxCheckResponse = 1u << 20;
constexpr std::size_t kMaxPackageHeader = 64u << 10;
constexpr int32_t kMessageTooLong = 10040;
constexpr int32_t kConnectionReset = 10054;

std::string& ResponseText() {
    if (ResponseBuffer == nullptr) ResponseBuffer = new std::string;
    return *ResponseBuffer;
}

int32_t Ticks() {
    return static_cast<int32_t>(GetTickCount());
}

bool FolderExists(const std::string& path) {
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// The file-name part of a name a server sent: no folder of either slash, no drive or colon,
// no "." or ".." left; empty when nothing usable remains.
std::string BareFileName(const std::string& name) {
    const std::size_t cut = name.find_last_of("\\/:");
    std::string bare = cut == std::string::npos ? name : name.substr(cut + 1);
    if (bare == "." || bare == "..") bare.clear();
    return bare;
}

// Whether a path names a device (CON, NUL, COM1, LPT1.txt, ...): the platform resolves those
// to the device itself, whatever folder stands in front of them.
bool NamesADevice(const std::string& path) {
    const DWORD need = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
    if (need == 0) return false;
    std::string full(need, '\0');
    const DWORD n = GetFullPathNameA(path.c_str(), need, full.data(), nullptr);
    if (n == 0 || n >= need) return false;
    full.resize(n);
    return full.rfind("\\\\.\\", 0) == 0;
}

std::string SystemErrorText(DWORD code) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string s = n ? std::string(text, n) : "File error " + std::to_string(code) + ".";
    if (text) LocalFree(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

// Converts a 32-bit port for the socket object; false when it does not fit 16 bits.
bool PortFits(int32_t port) {
    return port >= SHRT_MIN && port <= SHRT_MAX;
}

}  // namespace

void AttachTransferThread() {
    ++ControlsOnThread;
}

void DetachTransferThread() {
    if (ControlsOnThread > 0 && --ControlsOnThread == 0) {
        delete ResponseBuffer;
        ResponseBuffer = nullptr;
    }
}

bool OrvaneControl::AuthorizationIncomplete() const {
    return props_.Authorization && (props_.AuthUsername.empty() || props_.AuthPassword.empty());
}

bool OrvaneControl::ProxyIncomplete() const {
    return props_.Proxy && (props_.ProxyHost.empty() || props_.ProxyPort == 0);
}

std::string OrvaneControl::BareHostName(const std::string& host) const {
    std::string lower = host;
    if (!lower.empty()) CharLowerBuffA(lower.data(), static_cast<DWORD>(lower.size()));
    static constexpr std::string_view kScheme = "http://";
    for (std::size_t at; (at = lower.find(kScheme)) != std::string::npos;)
        lower.erase(at, kScheme.size());
    return lower;
}

void OrvaneControl::PrepareConnection() {
    if (props_.Proxy) {
        connectHost_ = props_.ProxyHost;
        connectPort_ = props_.ProxyPort;
        requestPrefix_ =
            props_.RemoteHost + ":" + std::to_string(props_.RemotePort) + props_.RemotePath;
    } else {
        connectHost_ = BareHostName(props_.RemoteHost);
        connectPort_ = props_.RemotePort;
        requestPrefix_ = props_.RemotePath;
    }
}

std::optional<ORVANEERROR> OrvaneControl::BusyResult() const {
    if (operationState_ == CTRL_STATE_CHECKING) return ORV_ERROR_ISCHECKING;
    if (operationState_ == CTRL_STATE_RECEIVING) return ORV_ERROR_ISRECEIVING;
    return std::nullopt;
}

HRESULT OrvaneControl::CheckSettings(ORVANEERROR& refused) const {
    refused = ORV_ERROR_SUCCESS;
    if (AuthorizationIncomplete()) {
        refused = ORV_ERROR_NOAUTHDATA;
    } else if (ProxyIncomplete()) {
        refused = ORV_ERROR_NOPROXYDATA;
    } else if (!PortFits(props_.Proxy ? props_.ProxyPort : props_.RemotePort)) {
        // The port must fit the socket object's 16 bits; tested before anything changes, so
        // a refused transfer leaves the control free.
        return RuntimeError(kErrOverflow, L"Overflow");
    }
    return S_OK;
}

void OrvaneControl::Connect() {
    PrepareConnection();
    transferWindow_ = SocketWindow();
    socket_->SOCKET_CONNECT(transferWindow_, connectHost_, static_cast<int16_t>(connectPort_));
}

// ---------------------------------------------------------------------------------------
// CheckUpdate

STDMETHODIMP OrvaneControl::CheckUpdate(ORVANEERROR* result) {
    RETURN_HR_IF_NULL(E_POINTER, result);
    return ComMethod([&]() -> HRESULT {
        if (const auto busy = BusyResult()) {
            *result = *busy;
        } else {
            RETURN_IF_FAILED(CheckSettings(*result));
            if (*result != ORV_ERROR_SUCCESS) return S_OK;
            operationState_ = CTRL_STATE_CHECKING;
            currentInfo_.Name.clear();
            currentInfo_.Version.clear();
            currentInfo_.ReleaseDate.clear();
            currentInfo_.Description.clear();
            currentInfo_.PackageFile.clear();
            currentInfo_.PackageSize = 0;
            Connect();
            *result = ORV_ERROR_SUCCESS;
        }
        SetUpdateStateFromOperation();
        return S_OK;
    });
}

// ---------------------------------------------------------------------------------------
// ReceiveUpdate

STDMETHODIMP OrvaneControl::ReceiveUpdate(BSTR localPathName, BSTR localFileName,
                                          ORVANEERROR* result) {
    RETURN_HR_IF_NULL(E_POINTER, result);
    return ComMethod([&]() -> HRESULT {
        std::string fileName = ToAnsi(localFileName);
        const bool named = !fileName.empty();
        if (named) {
            std::erase(fileName, '\\');
        } else {
            fileName = BareFileName(currentInfo_.PackageFile);
        }
        std::string folder = ToAnsi(localPathName);
        if (!folder.empty()) {
            if (folder.back() != '\\') folder += '\\';
            if (!FolderExists(folder)) {
                *result = ORV_ERROR_PATHNOTFOUND;
                return S_OK;
            }
        }
        // A name from the server must name a file in the folder, never a device.
        if (!named && !fileName.empty() && NamesADevice(folder + fileName)) fileName.clear();
        // A refused call leaves the running download's target alone.
        const std::string target = folder + fileName;

        if (const auto busy = BusyResult()) {
            *result = *busy;
        } else {
            if (BareFileName(currentInfo_.PackageFile).empty() || fileName.empty()) {
                *result = ORV_ERROR_NOUPDATEDATA;
                return S_OK;
            }
            RETURN_IF_FAILED(CheckSettings(*result));
            if (*result != ORV_ERROR_SUCCESS) return S_OK;

            // Create the target if absent (an existing one stays as it is for now), and the
            // temporary file in its folder that the body streams into.
            unique_file probe(CreateFileA(target.c_str(), GENERIC_READ | GENERIC_WRITE,
                                          FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!probe) return FileError(GetLastError());
            probe.reset();
            char temp[MAX_PATH] = {};
            if (!GetTempFileNameA(folder.empty() ? "." : folder.c_str(), "orv", 0, temp))
                return FileError(GetLastError());
            // GetTempFileNameA has just created the file empty. Opening it again without
            // truncating matters on Linux file systems that allocate late (ext4): a file
            // truncated at open is flushed whole when it is closed, which would add a
            // synchronous write of the package to the end of every download.
            unique_file tempFile(CreateFileA(temp, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!tempFile) {
                const DWORD err = GetLastError();
                DeleteFileA(temp);
                return FileError(err);
            }

            localPackageFile_ = target;
            percentDone_ = 0;
            totalReceived_ = 0;
            fileStarted_ = false;
            headerSeen_ = false;
            packageStatus_ = 0;
            declaredLength_.reset();
            bodyReceived_ = 0;
            packageTemp_ = std::move(tempFile);
            packageTempPath_ = temp;
            operationState_ = CTRL_STATE_RECEIVING;
            LastTick = Ticks();  // the first piece's rate includes the connection set-up
            Connect();
            *result = ORV_ERROR_SUCCESS;
        }
        SetUpdateStateFromOperation();
        return S_OK;
    });
}

// ---------------------------------------------------------------------------------------
// Socket events

void OrvaneControl::OnConnect() {
    http::RequestInputs in;
    if (operationState_ == CTRL_STATE_CHECKING) {
        in.fileName = props_.RemoteFile;
    } else if (operationState_ == CTRL_STATE_RECEIVING) {
        in.fileName = currentInfo_.PackageFile;
    } else {
        return;
    }
    in.prefix = requestPrefix_;
    in.hostName = BareHostName(props_.RemoteHost);
    in.versionText = versionText_;
    in.authorization = props_.Authorization;
    in.userName = props_.AuthUsername;
    in.password = props_.AuthPassword;
    const std::string request = http::ComposeRequest(in);
    ResponseText().clear();
    socket_->SOCKET_SEND(request);
}

void OrvaneControl::OnReceive(const std::string& data) {
    if (operationState_ == CTRL_STATE_RECEIVING) {
        ReceivePackageData(data);
        return;
    }
    if (ResponseText().size() + data.size() > kMaxCheckResponse) {
        EndTransferWithError(kMessageTooLong);
        return;
    }
    ResponseText() += data;
}

void OrvaneControl::OnDisconnect() {
    if (operationState_ == CTRL_STATE_CHECKING) {
        FinishCheck();
    } else if (operationState_ == CTRL_STATE_RECEIVING) {
        FinishDownload();
    } else {
        operationState_ = CTRL_STATE_FREE;
        SetUpdateStateFromOperation();
    }
}

void OrvaneControl::OnAccept(int32_t) {}

void OrvaneControl::OnError(int32_t errorId) {
    socket_->SOCKET_DISCONNECT(transferWindow_);
    DiscardPackageTemp();
    operationState_ = CTRL_STATE_FREE;
    SetUpdateStateFromOperation();
    FireConnectionError(errorId);
}

void OrvaneControl::EndTransferWithError(int32_t code) {
    OnError(code);
}

void OrvaneControl::DiscardPackageTemp() {
    packageTemp_.reset();
    if (!packageTempPath_.empty()) {
        DeleteFileA(packageTempPath_.c_str());
        packageTempPath_.clear();
    }
}

void OrvaneControl::FinishCheck() {
    const http::ResponseParts parts = http::SplitResponse(ResponseText());
    const std::optional<int32_t> status = http::StatusNumber(parts.header);
    const std::optional<int64_t> declared = http::ContentLength(parts.header);
    if (status && *status == 200 && declared &&
        static_cast<int64_t>(parts.body ? parts.body->size() : 0) < *declared) {
        // A cut response is a failed connection, not a record made of what arrived.
        operationState_ = CTRL_STATE_FREE;
        SetUpdateStateFromOperation();
        FireConnectionError(kConnectionReset);
        return;
    }
    if (status) {
        FireHttpStatus(*status);
        if (*status == 200 && operationState_ == CTRL_STATE_CHECKING) {
            // A body longer than the format allows is not decoded: its fields stay empty.
            if (parts.body && parts.body->size() <= kMaxInfoTextLength) {
                SplitControlFields(ScrambleText(*parts.body, kInformationKey), currentInfo_);
            }
            OwnedRecord rec(currentInfo_);
            put_UpdateInformation(rec.get());
            operationState_ = CTRL_STATE_FREE;
            SetUpdateStateFromOperation();
            // A handler may start the download from here: the state it leaves stands.
            FireInfoReceived();
            return;
        }
    }
    if (operationState_ == CTRL_STATE_CHECKING) {
        operationState_ = CTRL_STATE_FREE;
        SetUpdateStateFromOperation();
    }
}

void OrvaneControl::ReceivePackageData(std::string piece) {
    if (!headerSeen_) {
        // The cap counts the header itself, whatever the pieces it arrives in: the text
        // before CR LF CR LF, of which the last three characters may still be waiting for
        // the rest of the header end.
        std::string& response = ResponseText();
        const std::size_t held = response.size() + piece.size();
        http::HeaderDetection d = http::DetectHeader(response, piece);
        if (!d.found) {
            if (response.size() > kMaxPackageHeader + 3) EndTransferWithError(kMessageTooLong);
            return;
        }
        if (held - d.firstBody.size() - 4 > kMaxPackageHeader) {
            EndTransferWithError(kMessageTooLong);
            return;
        }
        headerSeen_ = true;
        if (d.status) packageStatus_ = *d.status;
        declaredLength_ = d.contentLength;
        FireHttpStatus(packageStatus_);
        if (operationState_ != CTRL_STATE_RECEIVING) return;  // the handler cancelled
        piece = std::move(d.firstBody);
    }
    if (packageStatus_ != 200 || piece.empty()) return;

    const int32_t length =
        piece.size() > INT32_MAX ? INT32_MAX : static_cast<int32_t>(piece.size());
    bodyReceived_ += static_cast<int64_t>(piece.size());
    if (auto total = http::CheckedAdd(totalReceived_, length)) totalReceived_ = *total;
    if (auto percent = http::PercentDone(totalReceived_, currentInfo_.PackageSize))
        percentDone_ = *percent;
    if (!fileStarted_) {
        // The old file goes at the first package data; the new one appears complete at the end.
        DeleteFileA(localPackageFile_.c_str());
        fileStarted_ = true;
    }
    DWORD written = 0;
    if (!WriteFile(packageTemp_.get(), piece.data(), static_cast<DWORD>(piece.size()), &written,
                   nullptr) ||
        written != piece.size()) {
        const DWORD err = GetLastError() ? GetLastError() : ERROR_DISK_FULL;
        socket_->SOCKET_DISCONNECT(transferWindow_);
        DiscardPackageTemp();
        operationState_ = CTRL_STATE_FREE;
        SetUpdateStateFromOperation();
        FireConnectionErrorText(static_cast<int32_t>(err), SystemErrorText(err));
        return;
    }
    CurrentTick = Ticks();
    if (auto rate = http::TransferRate(length, CurrentTick, LastTick)) LastRate = *rate;
    LastTick = CurrentTick;
    FireReceivingUpdate(length, totalReceived_, percentDone_, LastRate);
}

void OrvaneControl::FinishDownload() {
    headerSeen_ = false;
    const bool received = fileStarted_;
    fileStarted_ = false;
    packageTemp_.reset();
    if (packageStatus_ == 200 && declaredLength_ && bodyReceived_ < *declaredLength_) {
        // The server declared more than it sent: the connection was cut (Wine reports a
        // peer's reset as a plain close once everything received has been read). A short
        // package is never passed off as complete.
        DiscardPackageTemp();
        operationState_ = CTRL_STATE_FREE;
        SetUpdateStateFromOperation();
        FireConnectionError(kConnectionReset);
        return;
    }
    if (received) {
        // The complete body replaces the target in one step.
        if (!MoveFileExA(packageTempPath_.c_str(), localPackageFile_.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
            const DWORD err = GetLastError();
            DiscardPackageTemp();
            operationState_ = CTRL_STATE_FREE;
            SetUpdateStateFromOperation();
            FireConnectionErrorText(static_cast<int32_t>(err), SystemErrorText(err));
            return;
        }
        packageTempPath_.clear();
    }
    DiscardPackageTemp();
    if (packageStatus_ == 200) FireUpdateReceived();
    if (operationState_ == CTRL_STATE_RECEIVING) {
        operationState_ = CTRL_STATE_FREE;
        SetUpdateStateFromOperation();
    }
}

// ---------------------------------------------------------------------------------------
// CancelUpdate, RunUpdate, GoProductPage

STDMETHODIMP OrvaneControl::CancelUpdate() {
    SetErrorInfo(0, nullptr);
    if (operationState_ == CTRL_STATE_FREE) return S_OK;
    socket_->SOCKET_DISCONNECT(transferWindow_);
    DiscardPackageTemp();
    headerSeen_ = false;
    fileStarted_ = false;
    // The control is free again, so the host can start the next check or download.
    operationState_ = CTRL_STATE_FREE;
    SetUpdateStateFromOperation();
    return S_OK;
}

STDMETHODIMP OrvaneControl::RunUpdate(BSTR parameters, LONG* result) {
    RETURN_HR_IF_NULL(E_POINTER, result);
    return ComMethod([&] {
        const std::string params = ToAnsi(parameters);
        const std::string folder = ModuleFolder(ModuleInstance());
        HINSTANCE r = ShellExecuteA(window_.get(), nullptr, localPackageFile_.c_str(),
                                    params.c_str(), folder.c_str(), SW_SHOWNORMAL);
        *result = static_cast<LONG>(reinterpret_cast<INT_PTR>(r));
        return S_OK;
    });
}

STDMETHODIMP OrvaneControl::GoProductPage(BSTR productPage) {
    return ComMethod([&] {
        const std::string page = ToAnsi(productPage);
        const std::string folder = ModuleFolder(ModuleInstance());
        ShellExecuteA(window_.get(), nullptr, page.c_str(), nullptr, folder.c_str(), SW_SHOWNORMAL);
        return S_OK;
    });
}

}  // namespace orv
