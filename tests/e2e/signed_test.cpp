// Signed update information end to end through COM against nginx: the publisher key of
// _Orvane2, the signature check of the update information, and the package digest checked
// before the package replaces its target. The files are signed by the openssl command line
// (tests/e2e/signed_files.py publishes them and passes the keys), so a passing check is also
// the cross-check against an implementation we did not write.
#include <cstdlib>
#include <gtest/gtest.h>

#include "tests/com/host.h"
#include "tests/e2e/e2e_util.h"

namespace orv::test {
namespace {

constexpr HRESULT kInvalidPropertyValue = static_cast<HRESULT>(0x800A017C);  // error 380
const std::wstring kNotSigned =
    L"ConnectionError(24002,Update information not signed by the expected publisher.)";
const std::wstring kExpired =
    L"ConnectionError(24004,Update information has expired: the publisher must publish it "
    L"again.)";
const std::wstring kNoExpiry =
    L"ConnectionError(24004,Update information has no expiry, but one is required: the "
    L"publisher must publish it with an expiry.)";
const std::wstring kDigestMismatch =
    L"ConnectionError(24001,Package does not match its digest: the downloaded file is not the "
    L"one the publisher described.)";

BSTR Bstr(const std::string& s) {
    const std::wstring w(s.begin(), s.end());
    return SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
}

std::string Key(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// The per-source memory the control keeps (the signed-expiry record among it).
constexpr wchar_t kUpdatesKey[] = L"Software\\Orvane\\Updates";
// Set for the second process of AStrippedExpiryIsRefusedOnceTheSourceGaveOne.
constexpr char kChild[] = "ORV_SIGNED_CHILD";
bool IsChild() {
    return !Key(kChild).empty();
}

class Signed : public E2E {
   protected:
    void SetUp() override {
        E2E::SetUp();
        if (Key("ORV_KEY_A").empty()) GTEST_SKIP() << "run through tests/e2e/signed_files.py";
        ASSERT_EQ(S_OK, ctl_->QueryInterface(IID__Orvane2, reinterpret_cast<void**>(&ctl2_)));
        // Each test starts with no source remembered; a child process reads its parent's.
        if (!IsChild()) RegDeleteTreeW(HKEY_CURRENT_USER, kUpdatesKey);
    }
    void TearDown() override {
        if (ctl2_) ctl2_->Release();
        E2E::TearDown();
        if (!IsChild()) RegDeleteTreeW(HKEY_CURRENT_USER, kUpdatesKey);
    }

    HRESULT PutKey(const std::string& key) {
        BSTR b = Bstr(key);
        const HRESULT hr = ctl2_->put_PublisherKey(b);
        SysFreeString(b);
        return hr;
    }
    std::string GetKey() {
        BSTR b = nullptr;
        EXPECT_EQ(S_OK, ctl2_->get_PublisherKey(&b));
        std::string s(b ? SysStringLen(b) : 0, '\0');
        for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(b[i]);
        SysFreeString(b);
        return s;
    }
    std::string Package(const std::string& folder) {
        return ReadAll(servers_.webRoot + "\\" + folder + "\\pkg.bin");
    }
    // A check of web root folder `folder` that must be refused with `refusal`: HttpStatus as
    // ever, then the refusal, no record, and ReceiveUpdate has nothing to fetch.
    void ExpectRefused(const std::string& folder, const std::wstring& refusal) {
        SCOPED_TRACE(folder);
        UseNginx("/" + folder + "/");
        EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(200,OK)", refusal}));
        ExpectSettled("");
        EXPECT_EQ(Receive(servers_.work), ORV_ERROR_NOUPDATEDATA);
    }
    std::vector<std::wstring> Accepted(const std::string& folder) {
        UseNginx("/" + folder + "/");
        return CheckAndWait();
    }
    // Events of a download that ended, without the progress between.
    std::vector<std::wstring> Outcome(const std::vector<std::wstring>& names) {
        std::vector<std::wstring> r;
        for (const auto& n : names)
            if (n != L"ReceivingUpdate") r.push_back(n);
        return r;
    }

    _Orvane2* ctl2_ = nullptr;
    const std::vector<std::wstring> kInfo = {L"HttpStatus(200,OK)", L"InfoReceived"};
    const std::vector<std::wstring> kReceived = {L"HttpStatus(200,OK)", L"UpdateReceived"};
};

TEST_F(Signed, SignedByOneOfTheKeysChecksAndDownloads) {
    // One key, then two with the second one signing: the record and the package come through.
    for (const std::string& key : {Key("ORV_KEY_A"), Key("ORV_KEY_B") + ";" + Key("ORV_KEY_A")}) {
        ASSERT_EQ(S_OK, PutKey(key));
        EXPECT_EQ(GetKey(), key);
        EXPECT_EQ(Accepted("signed"), kInfo);
        const std::string folder = FreshFolder(servers_, "signed");
        EXPECT_EQ(Outcome(ReceiveAndWait(folder)), kReceived);
        EXPECT_TRUE(ReadAll(folder + "\\pkg.bin") == Package("signed"));
        ExpectSettled(folder);
    }
    // Without a key no signature is asked for, and a signed file passes as well.
    ASSERT_EQ(S_OK, PutKey(""));
    EXPECT_EQ(Accepted("unsigned"), kInfo);
    EXPECT_EQ(Accepted("signed"), kInfo);
}

TEST_F(Signed, InformationNotSignedByTheKeyIsRefused) {
    ASSERT_EQ(S_OK, PutKey(Key("ORV_KEY_A")));
    ExpectRefused("changed", kNotSigned);   // one byte changed after signing
    ExpectRefused("other", kNotSigned);     // signed by another key
    ExpectRefused("unsigned", kNotSigned);  // no signature at all
    ExpectRefused("badsig", kNotSigned);    // field 8 malformed
    ExpectRefused("digest", kNotSigned);    // a digest is no signature
    ASSERT_EQ(S_OK, PutKey(Key("ORV_KEY_B")));
    ExpectRefused("signed", kNotSigned);
    // The control stays usable: the right key passes again.
    ASSERT_EQ(S_OK, PutKey(Key("ORV_KEY_A")));
    EXPECT_EQ(Accepted("signed"), kInfo);
}

TEST_F(Signed, SignedExpiryMustVerifyAndNotHavePassed) {
    ASSERT_EQ(S_OK, PutKey(Key("ORV_KEY_A")));
    using Case = std::tuple<bool, const char*, std::wstring>;  // RequireExpiry, folder, refusal
    const Case cases[] = {{false, "fresh", L""},         {false, "expired", kExpired},
                          {false, "forged", kNotSigned}, {false, "badexpiry", kNotSigned},
                          {true, "fresh", L""},          {true, "signed", kNoExpiry}};
    for (const auto& [require, folder, refusal] : cases) {
        Set(&_Orvane3::put_RequireExpiry, require ? VARIANT_TRUE : VARIANT_FALSE);
        if (refusal.empty())
            EXPECT_EQ(Accepted(folder), kInfo) << folder << require;
        else
            ExpectRefused(folder, refusal);
    }
    ASSERT_EQ(S_OK, PutKey(""));  // without a key fields 8-10 are ignored, RequireExpiry too
    for (const char* folder : {"expired", "forged", "signed"}) EXPECT_EQ(Accepted(folder), kInfo);
}

// Tagged fields after field 10 count as the rest of the record: with a key their last
// signature must verify, without one they are read as the unsigned record is.
TEST_F(Signed, TaggedFieldsAreSignedByTheLastField) {
    ASSERT_EQ(S_OK, PutKey(Key("ORV_KEY_A")));
    EXPECT_EQ(Accepted("tagged"), kInfo);
    const std::string folder = FreshFolder(servers_, "tagged");
    EXPECT_EQ(Outcome(ReceiveAndWait(folder)), kReceived);
    ExpectRefused("retagged", kNotSigned);  // a mirror changed after signing
    ExpectRefused("untagged", kNotSigned);  // tagged fields nobody signed
    ASSERT_EQ(S_OK, PutKey(""));
    for (const char* f : {"tagged", "retagged", "untagged"}) EXPECT_EQ(Accepted(f), kInfo) << f;
}

TEST_F(Signed, AStrippedExpiryIsRefusedOnceTheSourceGaveOne) {
    // One source, /replay/update.orv, serving in turn the files of other folders: signed/ is
    // fresh/ with fields 9 and 10 cut off.
    const std::string replay = servers_.webRoot + "\\replay";
    CreateDirectoryA(replay.c_str(), nullptr);
    ASSERT_TRUE(WriteAll(replay + "\\pkg.bin", Package("signed")));
    const auto serve = [&](const std::string& from) {
        ASSERT_TRUE(WriteAll(replay + "\\update.orv",
                             ReadAll(servers_.webRoot + "\\" + from + "\\update.orv")));
    };
    ASSERT_EQ(S_OK, PutKey(Key("ORV_KEY_A")));
    serve("signed");
    EXPECT_EQ(Accepted("replay"), kInfo) << "refused before the source gave an expiry";
    serve("fresh");
    EXPECT_EQ(Accepted("replay"), kInfo);  // recorded: no download needed
    serve("signed");
    ExpectRefused("replay", kNoExpiry);
    // The signature is checked first, whatever was recorded.
    for (const char* from : {"unsigned", "changed", "other", "digest"}) {
        serve(from);
        ExpectRefused("replay", kNotSigned);
    }

    // A new process of this program remembers it too.
    serve("signed");
    const int before = NginxRequests(servers_, "/replay/update.orv");
    SetEnvironmentVariableA(kChild, "1");
    std::string line = "\"" + BinFile("e2e_signed.exe") +
                       "\" --gtest_filter=Signed.StrippedExpiryInAProcessOfItsOwn";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    const BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                        nullptr, &si, &pi);
    SetEnvironmentVariableA(kChild, nullptr);
    ASSERT_TRUE(started);
    DWORD exitCode = 1;
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
    GetExitCodeProcess(pi.hProcess, &exitCode);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    EXPECT_EQ(exitCode, 0u);
    EXPECT_EQ(NginxRequests(servers_, "/replay/update.orv"), before + 1) << "the child checked";

    // A redirect does not change the source: what a fault server's address redirected to is
    // recorded for that address, and refused there without an expiry.
    Set(&_Orvane3::put_FollowRedirects, VARIANT_TRUE);
    const auto to = [&](const char* folder) {
        const std::string list =
            Answer("HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:" +
                   std::to_string(servers_.nginxPort) + "/" + folder + "/update.orv\r\n\r\n");
        return list.substr(1, list.size() - 2);
    };
    Direct(Serve("[" + to("fresh") + "," + to("signed") + "]"));
    EXPECT_EQ(CheckAndWait(), kInfo);
    EXPECT_EQ(CheckAndWait(), (std::vector<std::wstring>{L"HttpStatus(200,OK)", kNoExpiry}));

    // Another source is not concerned, and without a key nothing is checked.
    EXPECT_EQ(Accepted("signed"), kInfo);
    ASSERT_EQ(S_OK, PutKey(""));
    EXPECT_EQ(Accepted("replay"), kInfo);
}

// The second process of the test above.
TEST_F(Signed, StrippedExpiryInAProcessOfItsOwn) {
    if (!IsChild()) GTEST_SKIP() << "started by AStrippedExpiryIsRefusedOnceTheSourceGaveOne";
    ASSERT_EQ(S_OK, PutKey(Key("ORV_KEY_A")));
    ExpectRefused("replay", kNoExpiry);
}

TEST_F(Signed, PackageMustMatchItsDigestBeforeItReplacesTheTarget) {
    // With a key (signed/) and without one (digest/): the digest of the record decides.
    for (const bool withKey : {true, false}) {
        SCOPED_TRACE(withKey ? "signed" : "digest only");
        const std::string web = withKey ? "signed" : "digest";
        ASSERT_EQ(S_OK, PutKey(withKey ? Key("ORV_KEY_A") : ""));
        const std::string original = Package(web);
        EXPECT_EQ(Accepted(web), kInfo);
        const std::string folder = FreshFolder(servers_, web + "-replaced");
        ASSERT_TRUE(WriteAll(folder + "\\pkg.bin", "the old target"));

        // The package is replaced on the server after the check.
        std::string other = original;
        other[other.size() / 2] ^= 1;
        ASSERT_TRUE(WriteAll(servers_.webRoot + "\\" + web + "\\pkg.bin", other));
        EXPECT_EQ(Outcome(ReceiveAndWait(folder)),
                  (std::vector<std::wstring>{L"HttpStatus(200,OK)", kDigestMismatch}));
        EXPECT_EQ(ReadAll(folder + "\\pkg.bin"), "the old target");
        ExpectSettled(folder);

        // Back in place: the verified package replaces the old target whole.
        ASSERT_TRUE(WriteAll(servers_.webRoot + "\\" + web + "\\pkg.bin", original));
        EXPECT_EQ(Outcome(ReceiveAndWait(folder)), kReceived);
        EXPECT_TRUE(ReadAll(folder + "\\pkg.bin") == original);
        ExpectSettled(folder);
    }
}

TEST_F(Signed, PiecesAfterTheSixthThatAreNoFieldAreIgnored) {
    // A trailing "|", or a seventh piece that is no digest (a "|" typed into a field): the six
    // fields download as ever; with a key such a file is unsigned.
    for (const char* web : {"trailing", "seventh"}) {
        SCOPED_TRACE(web);
        ASSERT_EQ(S_OK, PutKey(""));
        EXPECT_EQ(Accepted(web), kInfo);
        const std::string folder = FreshFolder(servers_, web);
        EXPECT_EQ(Outcome(ReceiveAndWait(folder)), kReceived);
        EXPECT_TRUE(ReadAll(folder + "\\pkg.bin") == Package(web));
        ExpectSettled(folder);
        ASSERT_EQ(S_OK, PutKey(Key("ORV_KEY_A")));
        ExpectRefused(web, kNotSigned);
    }
}

TEST_F(Signed, DigestStaysWithTheRecordWhateverAHandlerChanges) {
    // A handler of InfoReceived points PackageFile at another file of the server: the digest
    // of the record still decides, so that file is refused.
    const std::string web = servers_.webRoot + "\\signed";
    ASSERT_TRUE(WriteAll(web + "\\elsewhere.bin", "another package"));
    ASSERT_EQ(S_OK, PutKey(Key("ORV_KEY_A")));
    sink_.onEvent = [](const Event& e, DISPPARAMS* p) {
        if (e.id == DISPID_ORV_INFORECEIVED) SetMember(&InfoOf(p)->PackageFile, "elsewhere.bin");
    };
    EXPECT_EQ(Accepted("signed"), kInfo);
    sink_.onEvent = nullptr;
    const std::string folder = FreshFolder(servers_, "elsewhere");
    // That file is not even of the record's size: refused before its body.
    EXPECT_EQ(Outcome(ReceiveAndWait(folder)),
              (std::vector<std::wstring>{L"HttpStatus(200,OK)",
                                         L"ConnectionError(24001,Package does not match its size: "
                                         L"the server announced 15 bytes, the update information "
                                         L"300000.)"}));
    ExpectSettled(folder);
}

TEST_F(Signed, PublisherKeyPropertyRefusesUnusableKeysAndPersists) {
    // Neither a P-384 key nor text that is no key can ever verify: error 380 at the put, and
    // the value stays as it was.
    ASSERT_EQ(S_OK, PutKey(Key("ORV_KEY_A")));
    for (const std::string& bad :
         {Key("ORV_KEY_P384"), std::string("not a key"),
          Key("ORV_KEY_A") + ";" + Key("ORV_KEY_P384"), std::string(";")}) {
        EXPECT_EQ(PutKey(bad), kInvalidPropertyValue) << bad;
        EXPECT_EQ(GetKey(), Key("ORV_KEY_A"));
    }
    // The same through IDispatch, by name, as script hosts set it.
    DISPID id = 0;
    LPOLESTR name = const_cast<LPOLESTR>(L"PublisherKey");
    ASSERT_EQ(S_OK, ctl_->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
    EXPECT_EQ(id, 0x6803000C);
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = Bstr(Key("ORV_KEY_P384"));
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS dp = {&v, &put, 1, 1};
    EXCEPINFO ex{};
    EXPECT_EQ(DISP_E_EXCEPTION,
              ctl_->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYPUT, &dp, nullptr, &ex, nullptr));
    EXPECT_EQ(ex.scode, kInvalidPropertyValue);
    SysFreeString(ex.bstrSource);
    SysFreeString(ex.bstrDescription);
    VariantClear(&v);

    // A saved form holds the key after the twelve keys of _Orvane; a key list that was saved
    // unusable (by another tool) loads as it is, and a check with it is refused.
    IPersistPropertyBag* persist = nullptr;
    ASSERT_EQ(S_OK,
              ctl_->QueryInterface(IID_IPersistPropertyBag, reinterpret_cast<void**>(&persist)));
    PropertyBag bag;
    ASSERT_EQ(S_OK, persist->Save(&bag, TRUE, TRUE));
    ASSERT_EQ(bag.writeOrder.size(), 13u);
    EXPECT_EQ(bag.writeOrder.back(), L"PublisherKey");
    VariantClear(&bag.values[L"PublisherKey"]);
    V_VT(&bag.values[L"PublisherKey"]) = VT_BSTR;
    V_BSTR(&bag.values[L"PublisherKey"]) = Bstr(Key("ORV_KEY_P384"));
    ASSERT_EQ(S_OK, persist->Load(&bag, nullptr));
    persist->Release();
    EXPECT_EQ(GetKey(), Key("ORV_KEY_P384"));
    ExpectRefused("signed", kNotSigned);

    // The stream: without a key the format of _Orvane's controls, byte for byte (format 1);
    // with one, format 2, and both load.
    IPersistStreamInit* stream = nullptr;
    ASSERT_EQ(S_OK,
              ctl_->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&stream)));
    auto saved = [&](const std::string& key) {
        EXPECT_EQ(S_OK, PutKey(key));
        IStream* s = nullptr;
        EXPECT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &s));
        EXPECT_EQ(S_OK, stream->Save(s, TRUE));
        STATSTG st{};
        s->Stat(&st, STATFLAG_NONAME);
        std::string bytes(static_cast<std::size_t>(st.cbSize.QuadPart), '\0');
        LARGE_INTEGER zero{};
        s->Seek(zero, STREAM_SEEK_SET, nullptr);
        ULONG got = 0;
        s->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &got);
        s->Release();
        return bytes;
    };
    auto load = [&](const std::string& bytes) {
        IStream* s = nullptr;
        EXPECT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, &s));
        s->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
        LARGE_INTEGER zero{};
        s->Seek(zero, STREAM_SEEK_SET, nullptr);
        const HRESULT hr = stream->Load(s);
        s->Release();
        return hr;
    };
    const std::string withoutKey = saved("");
    ASSERT_GE(withoutKey.size(), 8u);
    EXPECT_EQ(withoutKey.substr(0, 8), std::string("ORVN\x01\0\0\0", 8));
    const std::string withKey = saved(Key("ORV_KEY_A"));
    EXPECT_EQ(withKey.substr(0, 8), std::string("ORVN\x02\0\0\0", 8));
    // Format 2 is format 1 with the key's count and bytes appended.
    EXPECT_EQ(withKey.substr(8, withoutKey.size() - 8), withoutKey.substr(8));
    EXPECT_EQ(withKey.size(), withoutKey.size() + 4 + Key("ORV_KEY_A").size());
    EXPECT_EQ(S_OK, load(withoutKey));
    EXPECT_EQ(GetKey(), "");
    EXPECT_EQ(S_OK, load(withKey));
    EXPECT_EQ(GetKey(), Key("ORV_KEY_A"));
    stream->Release();
    EXPECT_EQ(Accepted("signed"), kInfo);
}

}  // namespace
}  // namespace orv::test
