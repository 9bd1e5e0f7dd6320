#include "control/net/tls_client.h"

#include <algorithm>

#include "common/win/system.h"
#include "control/net/tls_cert.h"

namespace orv::net {
namespace {

// The certificate is judged by CheckServerCertificate, not by Schannel; buffers for
// handshake output come from the package and go back with FreeContextBuffer.
constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_EXTENDED_ERROR |
                                  ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                                  ISC_REQ_MANUAL_CRED_VALIDATION;

// The protocols the client speaks; the handshake fails with anything older.
constexpr DWORD kAllowedProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
constexpr DWORD kOlderProtocols =
    SP_PROT_SSL2_CLIENT | SP_PROT_SSL3_CLIENT | SP_PROT_TLS1_0_CLIENT | SP_PROT_TLS1_1_CLIENT;

constexpr DWORD kCredentialFlags =
    SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;

// A server asking for a client certificate is answered without one; this bounds how often
// a single handshake step may be asked in a row.
constexpr int kMaxCredentialRetries = 2;

// Appends the package-allocated output buffers (handshake token, alert) to *out and frees
// them.
void TakeOutput(SecBuffer* buffers, ULONG count, std::string* out) {
    for (ULONG i = 0; i < count; ++i) {
        SecBuffer& b = buffers[i];
        if (b.pvBuffer == nullptr) continue;
        if (b.cbBuffer > 0 &&
            (b.BufferType == SECBUFFER_TOKEN || b.BufferType == SECBUFFER_ALERT)) {
            out->append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
        }
        FreeContextBuffer(b.pvBuffer);
        b.pvBuffer = nullptr;
    }
}

}  // namespace

TlsClient::~TlsClient() {
    if (haveContext_) DeleteSecurityContext(&context_);
    if (haveCredential_) FreeCredentialsHandle(&credential_);
}

TlsError TlsClient::Fail(TlsError error, SECURITY_STATUS status) {
    if (state_ != State::kFailed) {
        state_ = State::kFailed;
        error_ = error;
        lastStatus_ = status;
    }
    received_.Clear();
    return error_;
}

bool TlsClient::AcquireCredentials() {
    // The current form first: where the platform has TLS 1.3 it is only offered through it.
    // Everything below TLS 1.2 is disabled, and the credentials are kept only if the package
    // confirms that: Wine 8 accepts this form but ignores its protocol settings and would
    // offer TLS 1.0 and SSL 3.0 as well.
    TLS_PARAMETERS parameters = {};
    parameters.grbitDisabledProtocols = ~kAllowedProtocols;
    SCH_CREDENTIALS current = {};
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = kCredentialFlags;
    current.cTlsParameters = 1;
    current.pTlsParameters = &parameters;
    SECURITY_STATUS status =
        AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                  nullptr, &current, nullptr, nullptr, &credential_, nullptr);
    if (status == SEC_E_OK) {
        SecPkgCred_SupportedProtocols supported = {};
        const SECURITY_STATUS query =
            QueryCredentialsAttributesW(&credential_, SECPKG_ATTR_SUPPORTED_PROTOCOLS, &supported);
        if (query != SEC_E_OK || (supported.grbitProtocol & kOlderProtocols) == 0) {
            credentials_ = Credentials::kSchCredentials;
            haveCredential_ = true;
            return true;
        }
        FreeCredentialsHandle(&credential_);
        credential_ = {};
    }

    // The older form, which Wine honours (and where it negotiates TLS 1.2): TLS 1.2 and 1.3
    // together, then TLS 1.2 alone for platforms that refuse a protocol they lack.
    const struct {
        DWORD protocols;
        Credentials form;
    } older[] = {
        {kAllowedProtocols, Credentials::kSchannelCredTls12And13},
        {SP_PROT_TLS1_2_CLIENT, Credentials::kSchannelCredTls12},
    };
    for (const auto& o : older) {
        SCHANNEL_CRED cred = {};
        cred.dwVersion = SCHANNEL_CRED_VERSION;
        cred.grbitEnabledProtocols = o.protocols;
        cred.dwFlags = kCredentialFlags;
        status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                           SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr, nullptr,
                                           &credential_, nullptr);
        if (status == SEC_E_OK) {
            credentials_ = o.form;
            haveCredential_ = true;
            return true;
        }
    }
    lastStatus_ = status;
    return false;
}

TlsError TlsClient::Start(const std::string& host, std::string* toSend) {
    if (state_ == State::kFailed) return error_;
    if (state_ != State::kIdle || host.empty()) return Fail(TlsError::kHandshakeFailed);
    host_ = host;
    target_ = win::AnsiToWide(host);
    if (!AcquireCredentials()) return Fail(TlsError::kHandshakeFailed, lastStatus_);

    SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc outDesc = {SECBUFFER_VERSION, 2, out};
    ULONG attributes = 0;
    const SECURITY_STATUS status =
        InitializeSecurityContextW(&credential_, nullptr, target_.data(), kContextRequest, 0, 0,
                                   nullptr, 0, &context_, &outDesc, &attributes, nullptr);
    if (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK) haveContext_ = true;
    TakeOutput(out, 2, toSend);
    if (status != SEC_I_CONTINUE_NEEDED) return Fail(TlsError::kHandshakeFailed, status);
    state_ = State::kHandshaking;
    return TlsError::kNone;
}

TlsError TlsClient::Receive(std::string_view ciphertext, std::string* toSend,
                            std::string* plaintext) {
    // Bytes before the hello went out cannot be the server's answer.
    if (state_ == State::kIdle) return Fail(TlsError::kHandshakeFailed);
    while (state_ == State::kHandshaking || state_ == State::kOpen) {
        // In slices that fit the buffer: whole records are handed on after every slice, so
        // however much arrives at once the buffer holds less than a record between slices.
        const std::size_t slice = std::min(ciphertext.size(), received_.Room());
        if (slice == 0) {
            if (ciphertext.empty()) break;
            return Fail(state_ == State::kOpen ? TlsError::kStreamFailed
                                               : TlsError::kHandshakeFailed);
        }
        received_.Append(ciphertext.substr(0, slice));
        ciphertext.remove_prefix(slice);
        const TlsError error = Process(toSend, plaintext);
        if (error != TlsError::kNone) return error;
    }
    // After the close notice, bytes are ignored; after a failure, the failure stands.
    return state_ == State::kFailed ? error_ : TlsError::kNone;
}

TlsError TlsClient::Process(std::string* toSend, std::string* plaintext) {
    for (;;) {
        Step step = Step::kStop;
        if (state_ == State::kHandshaking) {
            step = Handshake(toSend, false);
        } else if (state_ == State::kOpen) {
            const tls::Front front = received_.Inspect();
            if (front.state == tls::FrontState::kMalformed) return Fail(TlsError::kStreamFailed);
            if (front.state == tls::FrontState::kNeedMore) return TlsError::kNone;
            step = DecryptRecord(front.size, toSend, plaintext);
        }
        if (state_ == State::kFailed) return error_;
        if (step != Step::kProgress) return TlsError::kNone;
    }
}

TlsClient::Step TlsClient::Handshake(std::string* toSend, bool always) {
    for (int attempt = 0;; ++attempt) {
        const tls::Front front = received_.Inspect();
        if (front.state == tls::FrontState::kMalformed) {
            Fail(TlsError::kHandshakeFailed);
            return Step::kStop;
        }
        if (front.state == tls::FrontState::kNeedMore && !always) return Step::kNeedMore;

        // Everything received so far: the package takes the whole records it can and
        // reports the rest as extra.
        SecBuffer in[2] = {
            {static_cast<ULONG>(received_.size()), SECBUFFER_TOKEN, received_.data()},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc inDesc = {SECBUFFER_VERSION, 2, in};
        SecBuffer out[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
        SecBufferDesc outDesc = {SECBUFFER_VERSION, 2, out};
        ULONG attributes = 0;
        const SECURITY_STATUS status =
            InitializeSecurityContextW(&credential_, &context_, target_.data(), kContextRequest, 0,
                                       0, &inDesc, 0, nullptr, &outDesc, &attributes, nullptr);
        TakeOutput(out, 2, toSend);

        if (status == SEC_E_INCOMPLETE_MESSAGE) return Step::kNeedMore;
        if (status == SEC_I_INCOMPLETE_CREDENTIALS && attempt < kMaxCredentialRetries) continue;
        if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
            Fail(TlsError::kHandshakeFailed, status);
            return Step::kStop;
        }

        const std::size_t extra = in[1].BufferType == SECBUFFER_EXTRA ? in[1].cbBuffer : 0;
        const std::size_t used = received_.size() - std::min<std::size_t>(extra, received_.size());
        received_.Consume(used);
        if (status == SEC_E_OK) {
            if (HandshakeDone() != TlsError::kNone) return Step::kStop;
            return Step::kProgress;
        }
        // More handshake to come: go on while the package took something.
        return used > 0 ? Step::kProgress : Step::kNeedMore;
    }
}

TlsError TlsClient::HandshakeDone() {
    SECURITY_STATUS status = QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
    if (status != SEC_E_OK || sizes_.cbMaximumMessage == 0) {
        return Fail(TlsError::kHandshakeFailed, status);
    }
    // Whatever the credentials said, nothing older than TLS 1.2 carries data.
    SecPkgContext_ConnectionInfo info = {};
    status = QueryContextAttributesW(&context_, SECPKG_ATTR_CONNECTION_INFO, &info);
    if (status != SEC_E_OK) return Fail(TlsError::kHandshakeFailed, status);
    protocol_ = info.dwProtocol;
    cipher_ = info.aiCipher;
    if ((protocol_ & kAllowedProtocols) == 0) return Fail(TlsError::kHandshakeFailed);

    PCCERT_CONTEXT certificate = nullptr;
    status = QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate);
    if (status != SEC_E_OK || certificate == nullptr) {
        return Fail(TlsError::kCertificateNotTrusted, status);
    }
    const TlsError verdict = CheckServerCertificate(certificate, host_);
    CertFreeCertificateContext(certificate);
    if (verdict != TlsError::kNone) return Fail(verdict);
    state_ = State::kOpen;
    return TlsError::kNone;
}

TlsClient::Step TlsClient::DecryptRecord(std::size_t size, std::string* toSend,
                                         std::string* plaintext) {
    // One whole record per call, decrypted in place.
    const auto type = static_cast<tls::ContentType>(received_.data()[0]);
    SecBuffer buffers[4] = {{static_cast<ULONG>(size), SECBUFFER_DATA, received_.data()},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
        // A whole record is never incomplete: anything else is a record that does not
        // decrypt or authenticate, or a fatal alert.
        Fail(TlsError::kStreamFailed, status);
        return Step::kStop;
    }

    std::size_t data = 0;
    std::size_t extra = 0;
    for (const SecBuffer& b : buffers) {
        if (b.BufferType == SECBUFFER_DATA && b.pvBuffer != nullptr) {
            plaintext->append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
            data += b.cbBuffer;
        } else if (b.BufferType == SECBUFFER_EXTRA) {
            extra = b.cbBuffer;
        }
    }
    received_.Consume(size - std::min(extra, size));

    if (status == SEC_I_CONTEXT_EXPIRED ||
        (status == SEC_E_OK && type == tls::ContentType::kAlert && data == 0)) {
        // The server's close notice. Schannel on Windows reports it as context expired;
        // Wine's reports SEC_E_OK without data, which an authenticated alert record (its
        // type is visible in TLS 1.2) tells apart from an empty data record.
        state_ = State::kClosed;
        received_.Clear();
        return Step::kStop;
    }
    if (status == SEC_I_RENEGOTIATE) {
        // The server asks for a new handshake (TLS 1.2) or sent a post-handshake message
        // (TLS 1.3): the package continues with what follows the record, at once, since
        // nothing more may come until it answers.
        state_ = State::kHandshaking;
        const std::size_t before = toSend->size();
        const Step step = Handshake(toSend, true);
        if (step == Step::kNeedMore && toSend->size() == before && received_.empty() &&
            (protocol_ & SP_PROT_TLS1_2_CLIENT) != 0) {
            // A TLS 1.2 server asking for a new handshake waits for the client's hello. A
            // package that produces none (Wine's cannot renegotiate) would leave both sides
            // waiting: end the connection now instead.
            Fail(TlsError::kHandshakeFailed, status);
            return Step::kStop;
        }
        return step == Step::kStop ? Step::kStop : Step::kProgress;
    }
    return Step::kProgress;
}

TlsError TlsClient::Encrypt(std::string_view plaintext, std::string* toSend) {
    if (state_ == State::kFailed) return error_;
    if (state_ != State::kOpen) return Fail(TlsError::kStreamFailed);
    std::string record;
    while (!plaintext.empty()) {
        const std::size_t chunk = std::min<std::size_t>(plaintext.size(), sizes_.cbMaximumMessage);
        record.assign(sizes_.cbHeader + chunk + sizes_.cbTrailer, '\0');
        std::copy_n(plaintext.data(), chunk, record.data() + sizes_.cbHeader);
        SecBuffer buffers[4] = {
            {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
            {static_cast<ULONG>(chunk), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
            {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + chunk},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0);
        if (status != SEC_E_OK) return Fail(TlsError::kStreamFailed, status);
        toSend->append(record.data(), buffers[0].cbBuffer);
        toSend->append(static_cast<const char*>(buffers[1].pvBuffer), buffers[1].cbBuffer);
        toSend->append(static_cast<const char*>(buffers[2].pvBuffer), buffers[2].cbBuffer);
        plaintext.remove_prefix(chunk);
    }
    return TlsError::kNone;
}

}  // namespace orv::net
