// The client side of one TLS connection over SSPI Schannel, for the control's asynchronous
// sockets: it never touches a socket. The caller hands it what the socket received and sends
// what it gives back; decrypted application data comes out in order. Every outcome is a
// result value (no exceptions), and once a call fails the client stays failed.
//
// One connection, in the socket owner's handlers:
//   Connect:     Start(host, &out)                  -> send out (the hello)
//   Receive(d):  Receive(d, &out, &plain)           -> send out if not empty; while
//                                                      Handshaking() nothing else; once
//                                                      Open() the first time:
//                Encrypt(request, &out)             -> send out
//                plain                              -> the HTTP response bytes, in order
//   Disconnect:  CloseNotified() tells whether the server ended the stream with its close
//                notice (otherwise only a declared length can tell a whole body from a cut
//                one).
// Any call returning other than kNone ends the transfer with that outcome.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

// SCH_CREDENTIALS and TLS_PARAMETERS come with SCHANNEL_USE_BLACKLISTS and need the
// UNICODE_STRING of <subauth.h> first.
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
// clang-format off
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
// clang-format on

#include "control/net/tls_error_text.h"
#include "control/net/tls_records.h"

namespace orv::net {

class TlsClient {
   public:
    enum class State {
        kIdle,         // Start not called yet
        kHandshaking,  // the handshake (or a renegotiation the server asked for) is running
        kOpen,         // application data flows both ways
        kClosed,       // the server sent its close notice; further input is ignored
        kFailed,       // a call failed; further calls return the same outcome
    };

    // Which credentials form the platform accepted (the newer one offers TLS 1.3 where the
    // platform has it; Wine accepts only the older one).
    enum class Credentials { kNone, kSchCredentials, kSchannelCredTls12And13, kSchannelCredTls12 };

    TlsClient() = default;
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    // Starts the handshake with the server known as `host`: the name sent in the hello and
    // the name its certificate must carry. Appends the first handshake bytes to *toSend.
    TlsError Start(const std::string& host, std::string* toSend);

    // Hands over received ciphertext, cut anywhere. Appends bytes to send (handshake
    // replies) to *toSend and decrypted application data to *plaintext. When the handshake
    // completes, the server certificate is checked (tls_cert.h) before any data is returned.
    TlsError Receive(std::string_view ciphertext, std::string* toSend, std::string* plaintext);

    // Encrypts application data (any length, in records of at most the platform's message
    // size) and appends the records to *toSend. Only while Open().
    TlsError Encrypt(std::string_view plaintext, std::string* toSend);

    State state() const { return state_; }
    bool Handshaking() const { return state_ == State::kHandshaking; }
    bool Open() const { return state_ == State::kOpen; }
    bool CloseNotified() const { return state_ == State::kClosed; }
    TlsError error() const { return error_; }

    // For diagnostics: the last status an SSPI call returned that ended the connection, the
    // credentials form in use, the negotiated protocol (SP_PROT_* bits) and bulk cipher
    // (CALG_*), both 0 before the handshake completed.
    SECURITY_STATUS lastStatus() const { return lastStatus_; }
    Credentials credentials() const { return credentials_; }
    DWORD protocol() const { return protocol_; }
    ALG_ID cipher() const { return cipher_; }

   private:
    enum class Step { kProgress, kNeedMore, kStop };

    TlsError Fail(TlsError error, SECURITY_STATUS status = 0);
    bool AcquireCredentials();
    Step Handshake(std::string* toSend, bool always);
    TlsError HandshakeDone();
    Step DecryptRecord(std::size_t size, std::string* toSend, std::string* plaintext);
    TlsError Process(std::string* toSend, std::string* plaintext);

    State state_ = State::kIdle;
    TlsError error_ = TlsError::kNone;
    SECURITY_STATUS lastStatus_ = 0;
    Credentials credentials_ = Credentials::kNone;
    DWORD protocol_ = 0;
    ALG_ID cipher_ = 0;
    std::string host_;
    std::wstring target_;
    CredHandle credential_ = {};
    CtxtHandle context_ = {};
    bool haveCredential_ = false;
    bool haveContext_ = false;
    SecPkgContext_StreamSizes sizes_ = {};
    tls::RecordBuffer received_;
};

}  // namespace orv::net
