// Loads the type library embedded in OrvaneCtl.ocx and checks the whole COM contract:
// every enumeration member, every member of the control's interface with its dispatch id,
// kind, order and arguments, the events, the record, and the classes.
#include <windows.h>

#include <oleauto.h>

#include <cstddef>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "control/OrvaneControl.h"
#include "tests/com/com_test_util.h"

namespace {

struct EnumMember {
    const wchar_t* name;
    long value;
};
struct ExpectedEnum {
    const wchar_t* name;
    const EnumMember* members;
    size_t count;
};
#include "tests/com/expected_enums.inc"

using orv::test::TypeText;

class TypeLib : public ::testing::Test {
   protected:
    void SetUp() override {
        ASSERT_EQ(S_OK, CoInitialize(nullptr));
        ASSERT_EQ(S_OK, LoadTypeLibEx(orv::test::OcxPath().c_str(), REGKIND_NONE, &lib_));
    }
    void TearDown() override {
        if (lib_) lib_->Release();
        CoUninitialize();
    }

    // The type named `name`, or null.
    ITypeInfo* Find(const wchar_t* name) {
        for (UINT i = 0; i < lib_->GetTypeInfoCount(); ++i) {
            BSTR n = nullptr;
            lib_->GetDocumentation(i, &n, nullptr, nullptr, nullptr);
            const bool match = n && wcscmp(n, name) == 0;
            SysFreeString(n);
            if (!match) continue;
            TYPEKIND kind;
            lib_->GetTypeInfoType(i, &kind);
            if (kind == TKIND_ALIAS) continue;  // the typedef name of an enum or record
            ITypeInfo* info = nullptr;
            lib_->GetTypeInfo(i, &info);
            return info;
        }
        return nullptr;
    }

    static std::wstring Name(ITypeInfo* info, MEMBERID id) {
        BSTR n = nullptr;
        info->GetDocumentation(id, &n, nullptr, nullptr, nullptr);
        std::wstring s = n ? n : L"";
        SysFreeString(n);
        return s;
    }
    static std::wstring HelpString(ITypeInfo* info, MEMBERID id) {
        BSTR h = nullptr;
        info->GetDocumentation(id, nullptr, &h, nullptr, nullptr);
        std::wstring s = h ? h : L"";
        SysFreeString(h);
        return s;
    }

    // "6803000B get RemoteHost(out retval BSTR* RemoteHost) help" style text of one function.
    static std::wstring Describe(ITypeInfo* info, UINT index) {
        FUNCDESC* f = nullptr;
        if (FAILED(info->GetFuncDesc(index, &f))) return L"<no funcdesc>";
        wchar_t id[16];
        swprintf(id, 16, L"%08lX", static_cast<unsigned long>(f->memid));
        std::wstring s = id;
        switch (f->invkind) {
            case INVOKE_PROPERTYGET: s += L" get "; break;
            case INVOKE_PROPERTYPUT: s += L" put "; break;
            case INVOKE_PROPERTYPUTREF: s += L" putref "; break;
            default: s += L" call "; break;
        }
        BSTR names[16] = {};
        UINT got = 0;
        info->GetNames(f->memid, names, 16, &got);
        s += names[0] ? names[0] : L"?";
        s += L"(";
        for (SHORT p = 0; p < f->cParams; ++p) {
            const ELEMDESC& e = f->lprgelemdescParam[p];
            const USHORT flags = e.paramdesc.wParamFlags;
            if (p) s += L", ";
            if (flags & PARAMFLAG_FIN) s += L"in ";
            if (flags & PARAMFLAG_FOUT) s += L"out ";
            if (flags & PARAMFLAG_FRETVAL) s += L"retval ";
            if (flags & PARAMFLAG_FOPT) s += L"optional ";
            s += TypeText(info, e.tdesc);
            if (static_cast<UINT>(p) + 1 < got && names[p + 1])
                s += L" " + std::wstring(names[p + 1]);
        }
        s += L")";
        if (f->wFuncFlags & FUNCFLAG_FNONBROWSABLE) s += L" nonbrowsable";
        const std::wstring help = HelpString(info, f->memid);
        if (!help.empty()) s += L" \"" + help + L"\"";
        for (UINT i = 0; i < got; ++i) SysFreeString(names[i]);
        info->ReleaseFuncDesc(f);
        return s;
    }

    ITypeLib* lib_ = nullptr;
};

TEST_F(TypeLib, LibraryAttributes) {
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, lib_->GetLibAttr(&attr));
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    EXPECT_EQ(attr->lcid, 1033u);
    lib_->ReleaseTLibAttr(attr);
    BSTR name = nullptr, help = nullptr;
    ASSERT_EQ(S_OK, lib_->GetDocumentation(-1, &name, &help, nullptr, nullptr));
    EXPECT_STREQ(name, L"OrvaneControl");
    EXPECT_STREQ(help, L"Quillfen Orvane Control");
    SysFreeString(name);
    SysFreeString(help);
}

TEST_F(TypeLib, EveryEnumerationMemberByNameAndValueInOrder) {
    for (const ExpectedEnum& e : kEnums) {
        SCOPED_TRACE(e.name);
        ITypeInfo* info = Find(e.name);
        ASSERT_NE(info, nullptr);
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
        EXPECT_EQ(attr->typekind, TKIND_ENUM);
        ASSERT_EQ(attr->cVars, e.count);
        for (UINT i = 0; i < attr->cVars; ++i) {
            VARDESC* v = nullptr;
            ASSERT_EQ(S_OK, info->GetVarDesc(i, &v));
            EXPECT_EQ(Name(info, v->memid), e.members[i].name);
            EXPECT_EQ(v->varkind, VAR_CONST);
            ASSERT_NE(v->lpvarValue, nullptr);
            VARIANT value;
            VariantInit(&value);
            ASSERT_EQ(S_OK, VariantChangeType(&value, v->lpvarValue, 0, VT_I4));
            EXPECT_EQ(V_I4(&value), e.members[i].value) << e.members[i].name;
            info->ReleaseVarDesc(v);
        }
        info->ReleaseTypeAttr(attr);
        info->Release();
    }
}

TEST_F(TypeLib, ConnectionErrorsShare11004AndStartAtTheBase) {
    ITypeInfo* info = Find(L"CONNECTIONERRORCODE");
    ASSERT_NE(info, nullptr);
    ITypeComp* comp = nullptr;
    ASSERT_EQ(S_OK, lib_->GetTypeComp(&comp));
    auto valueOf = [&](const wchar_t* member) -> long {
        DESCKIND kind;
        BINDPTR bind;
        ITypeInfo* found = nullptr;
        std::wstring m = member;
        ULONG hash = LHashValOfNameSys(orv::test::kTargetSysKind, 1033, m.c_str());
        if (FAILED(comp->Bind(m.data(), hash, 0, &found, &kind, &bind)) || kind != DESCKIND_VARDESC)
            return -99999;
        VARIANT v;
        VariantInit(&v);
        VariantChangeType(&v, bind.lpvardesc->lpvarValue, 0, VT_I4);
        found->ReleaseVarDesc(bind.lpvardesc);
        found->Release();
        return V_I4(&v);
    };
    EXPECT_EQ(valueOf(L"CONN_ERROR_WSANO_DATA"), 11004);
    EXPECT_EQ(valueOf(L"CONN_ERROR_WSANO_ADDRESS"), 11004);
    EXPECT_EQ(valueOf(L"CONN_ERROR_WSABASEERR"), 10000);
    EXPECT_EQ(valueOf(L"ORV_ERROR_NOFILEVERSION"), -10);
    EXPECT_EQ(valueOf(L"HTTP_ERROR_REQUESTURITOOLARGE"), 414);
    comp->Release();
    info->Release();
}

TEST_F(TypeLib, ControlInterfaceMembersInOrder) {
    ITypeInfo* disp = Find(L"_Orvane");
    ASSERT_NE(disp, nullptr);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, disp->GetTypeAttr(&attr));
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FHIDDEN);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FNONEXTENSIBLE);
    disp->ReleaseTypeAttr(attr);

    // The vtable side of the dual interface holds the members in function-table order.
    HREFTYPE ref;
    ASSERT_EQ(S_OK, disp->GetRefTypeOfImplType(-1, &ref));
    ITypeInfo* vt = nullptr;
    ASSERT_EQ(S_OK, disp->GetRefTypeInfo(ref, &vt));
    const std::vector<std::wstring> expected = {
        L"FFFFFDD8 call About()",
        L"6003000C call CancelUpdate()",
        L"6803000B get RemoteHost(out retval BSTR* RemoteHost) \"Get/set the remote host where the "
        L"update is in\"",
        L"6803000B put RemoteHost(in BSTR RemoteHost) \"Get/set the remote host where the update "
        L"is in\"",
        L"6803000A get RemotePort(out retval long* RemotePort) \"Get/set the remote server port\"",
        L"6803000A put RemotePort(in long RemotePort) \"Get/set the remote server port\"",
        L"68030009 get RemotePath(out retval BSTR* RemotePath) \"Get/set the remote path where the "
        L"update is in\"",
        L"68030009 put RemotePath(in BSTR RemotePath) \"Get/set the remote path where the update "
        L"is in\"",
        L"68030008 get RemoteFile(out retval BSTR* RemoteFile) \"Get/set the update information "
        L"file name\"",
        L"68030008 put RemoteFile(in BSTR RemoteFile) \"Get/set the update information file name\"",
        L"60030016 call CheckUpdate(out retval ORVANEERROR* Result) \"Contact server and checks "
        L"for update\"",
        L"60030017 call ReceiveUpdate(in optional BSTR LocalPathName, in optional BSTR "
        L"LocalFileName, out retval ORVANEERROR* Result) \"Receive the update package\"",
        L"6003001B call RunUpdate(in optional BSTR Parameters, out retval long* Result)",
        L"68030007 get ProxyHost(out retval BSTR* ProxyHost)",
        L"68030007 put ProxyHost(in BSTR ProxyHost)",
        L"68030006 get ProxyPort(out retval long* ProxyPort)",
        L"68030006 put ProxyPort(in long ProxyPort)",
        L"68030005 get Proxy(out retval VARIANT_BOOL* Proxy)",
        L"68030005 put Proxy(in VARIANT_BOOL Proxy)",
        L"6003001C call GetFileVersion(in BSTR FileName, in out BSTR* FileVersion, out retval "
        L"ORVANEERROR* Result)",
        L"6003001D call CompareVersion(in BSTR FileName, out retval long* Result)",
        L"68030004 get AuthPassword(out retval BSTR* AuthPassword) \"Get/set the remote password\"",
        L"68030004 put AuthPassword(in BSTR AuthPassword) \"Get/set the remote password\"",
        L"68030003 get AuthUsername(out retval BSTR* AuthUsername) \"Get/set the remote username\"",
        L"68030003 put AuthUsername(in BSTR AuthUsername) \"Get/set the remote username\"",
        L"68030002 get Authorization(out retval VARIANT_BOOL* Authorization) \"Indicates if must "
        L"to use HTTP authorization\"",
        L"68030002 put Authorization(in VARIANT_BOOL Authorization) \"Indicates if must to use "
        L"HTTP authorization\"",
        L"6003001E call GoProductPage(in BSTR ProductPage) \"Go to the product home page\"",
        L"68030001 get UpdateState(out retval CONTROLSTATE* UpdateState) nonbrowsable",
        L"68030001 put UpdateState(in out CONTROLSTATE* UpdateState) nonbrowsable",
        L"68030000 get UpdateInformation(out retval UPDATEINFO* UpdateInformation) nonbrowsable",
        L"68030000 put UpdateInformation(in out UPDATEINFO* UpdateInformation) nonbrowsable",
    };
    TYPEATTR* vattr = nullptr;
    ASSERT_EQ(S_OK, vt->GetTypeAttr(&vattr));
    EXPECT_EQ(vattr->typekind, TKIND_INTERFACE);
    EXPECT_TRUE(vattr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
    ASSERT_EQ(vattr->cFuncs, expected.size());
    for (UINT i = 0; i < vattr->cFuncs; ++i) {
        EXPECT_EQ(Describe(vt, i), expected[i]) << "function " << i;
    }
    // The first member sits right after IDispatch's seven slots.
    FUNCDESC* first = nullptr;
    ASSERT_EQ(S_OK, vt->GetFuncDesc(0, &first));
    EXPECT_EQ(first->oVft, 7 * static_cast<SHORT>(sizeof(void*)));
    EXPECT_EQ(first->cParams, 0);
    vt->ReleaseFuncDesc(first);
    vt->ReleaseTypeAttr(vattr);
    vt->Release();
    disp->Release();
}

// _Orvane2 extends _Orvane with PublisherKey and is the control's default interface; _Orvane
// itself stays as hosts built on it know it (the test above).
TEST_F(TypeLib, SecondInterfaceExtendsTheFirst) {
    ITypeInfo* disp = Find(L"_Orvane2");
    ASSERT_NE(disp, nullptr);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, disp->GetTypeAttr(&attr));
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FHIDDEN);
    EXPECT_NE(attr->guid, GUID_NULL);
    disp->ReleaseTypeAttr(attr);
    ITypeInfo* first = Find(L"_Orvane");
    ASSERT_NE(first, nullptr);
    TYPEATTR* firstAttr = nullptr;
    ASSERT_EQ(S_OK, first->GetTypeAttr(&firstAttr));
    wchar_t guid[40] = {};
    StringFromGUID2(firstAttr->guid, guid, 40);
    EXPECT_STREQ(guid, L"{8ECCDFF0-9923-455C-AE74-26C8455303DC}");  // _Orvane keeps its IID
    first->ReleaseTypeAttr(firstAttr);
    first->Release();

    HREFTYPE ref;
    ASSERT_EQ(S_OK, disp->GetRefTypeOfImplType(-1, &ref));
    ITypeInfo* vt = nullptr;
    ASSERT_EQ(S_OK, disp->GetRefTypeInfo(ref, &vt));
    TYPEATTR* vattr = nullptr;
    ASSERT_EQ(S_OK, vt->GetTypeAttr(&vattr));
    EXPECT_EQ(vattr->typekind, TKIND_INTERFACE);
    EXPECT_TRUE(vattr->wTypeFlags & TYPEFLAG_FOLEAUTOMATION);
    ASSERT_EQ(vattr->cImplTypes, 1);
    // Its base is _Orvane, whose 32 functions come first in the function table.
    HREFTYPE baseRef;
    ASSERT_EQ(S_OK, vt->GetRefTypeOfImplType(0, &baseRef));
    ITypeInfo* base = nullptr;
    ASSERT_EQ(S_OK, vt->GetRefTypeInfo(baseRef, &base));
    EXPECT_EQ(Name(base, MEMBERID_NIL), L"_Orvane");
    base->Release();
    const std::vector<std::wstring> expected = {
        L"6803000C get PublisherKey(out retval BSTR* PublisherKey) \"Get/set the publisher keys "
        L"that must sign the update information\"",
        L"6803000C put PublisherKey(in BSTR PublisherKey) \"Get/set the publisher keys that must "
        L"sign the update information\"",
    };
    ASSERT_EQ(vattr->cFuncs, expected.size());
    for (UINT i = 0; i < vattr->cFuncs; ++i) EXPECT_EQ(Describe(vt, i), expected[i]);
    FUNCDESC* f = nullptr;
    ASSERT_EQ(S_OK, vt->GetFuncDesc(0, &f));
    EXPECT_EQ(f->oVft, (7 + 32) * static_cast<SHORT>(sizeof(void*)));
    vt->ReleaseFuncDesc(f);
    vt->ReleaseTypeAttr(vattr);
    vt->Release();

    // Through the dispatch side a name resolves to its id whichever interface declares it.
    for (auto [name, id] : {std::pair{L"PublisherKey", 0x6803000C}, {L"RemoteHost", 0x6803000B}}) {
        MEMBERID got = 0;
        LPOLESTR n = const_cast<LPOLESTR>(name);
        EXPECT_EQ(S_OK, disp->GetIDsOfNames(&n, 1, &got));
        EXPECT_EQ(got, id) << name;
    }
    disp->Release();
}

TEST_F(TypeLib, LaterInterfacesMembersByNameAndId) {
    const struct {
        const wchar_t* iface;
        std::vector<std::pair<const wchar_t*, MEMBERID>> members;
    } cases[] = {
        {L"_Orvane3",
         {{L"CheckUpdateWithDialog", 0x60030020},
          {L"InstalledFile", 0x68030016},
          {L"UpdateParameters", 0x68030017},
          {L"DownloadFolder", 0x68030018},
          {L"AutoCheckInterval", 0x68030019}}},
        {L"_Orvane4",
         {{L"HandOffUpdate", 0x60030021},
          {L"HandOffTimeout", 0x6803001A},
          {L"ElevateUpdate", 0x6803001B},
          {L"DialogHandOff", 0x6803001C},
          {L"LogFile", 0x6803001D},
          {L"UpdateNotes", 0x68030024},
          {L"DialogLanguage", 0x68030025},
          {L"SetDialogText", 0x60030022},
          {L"CheckUpdate", 0x60030016}}},
        {L"__Orvane", {{L"UpdateInstalled", 6}, {L"CloseRequested", 7}, {L"InfoReceived", 5}}},
    };
    for (const auto& c : cases) {
        ITypeInfo* disp = Find(c.iface);
        ASSERT_NE(disp, nullptr) << c.iface;
        for (auto [name, id] : c.members) {
            MEMBERID got = 0;
            LPOLESTR n = const_cast<LPOLESTR>(name);
            EXPECT_EQ(S_OK, disp->GetIDsOfNames(&n, 1, &got)) << name;
            EXPECT_EQ(got, id) << name;
        }
        disp->Release();
    }
}

TEST_F(TypeLib, EventInterface) {
    ITypeInfo* ev = Find(L"__Orvane");
    ASSERT_NE(ev, nullptr);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, ev->GetTypeAttr(&attr));
    EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FHIDDEN);
    const std::vector<std::wstring> expected = {
        L"00000001 call UpdateReceived()",
        L"00000002 call ReceivingUpdate(in long BytesReceived, in long TotalBytesReceived, in long "
        L"PercentReceived, in long TransferRate)",
        L"00000003 call ConnectionError(in CONNECTIONERRORCODE ErrorNumber, in BSTR "
        L"ErrorDescription)",
        L"00000004 call HttpStatus(in HTTPSTATUSCODE StatusNumber, in BSTR StatusDescription)",
        L"00000005 call InfoReceived(in out UPDATEINFO* Info)",
        L"00000006 call UpdateInstalled(in BSTR Version, in long ExitCode)",
        L"00000007 call CloseRequested()",
    };
    ASSERT_EQ(attr->cFuncs, expected.size());
    for (UINT i = 0; i < attr->cFuncs; ++i) EXPECT_EQ(Describe(ev, i), expected[i]);
    ev->ReleaseTypeAttr(attr);
    ev->Release();
}

TEST_F(TypeLib, UpdateInfoRecord) {
    ITypeInfo* rec = Find(L"UPDATEINFO");
    ASSERT_NE(rec, nullptr);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, rec->GetTypeAttr(&attr));
    EXPECT_EQ(attr->typekind, TKIND_RECORD);
    EXPECT_NE(attr->guid, GUID_NULL);  // record info needs the record's GUID
    const wchar_t* names[] = {L"Name",        L"Version",     L"ReleaseDate", L"Description",
                              L"PackageFile", L"PackageSize", L"Reserved1",   L"Reserved2"};
    const VARTYPE types[] = {VT_BSTR, VT_BSTR, VT_BSTR, VT_BSTR, VT_BSTR, VT_I4, VT_BSTR, VT_BSTR};
    ASSERT_EQ(attr->cVars, 8);
    for (UINT i = 0; i < 8; ++i) {
        VARDESC* v = nullptr;
        ASSERT_EQ(S_OK, rec->GetVarDesc(i, &v));
        EXPECT_EQ(Name(rec, v->memid), names[i]);
        EXPECT_EQ(v->elemdescVar.tdesc.vt, types[i]) << i;
        rec->ReleaseVarDesc(v);
    }
    rec->ReleaseTypeAttr(attr);

    IRecordInfo* ri = nullptr;
    ASSERT_EQ(S_OK, GetRecordInfoFromTypeInfo(rec, &ri));
    ULONG size = 0;
    ri->GetSize(&size);
    ri->Release();
    rec->Release();
    // Seven BSTRs and a long: 32 bytes on 32-bit Windows; on 64-bit the pointers take 8 bytes
    // each and the long is padded to the next BSTR, so 64. The control fills the C structure of
    // the generated header and hosts read it through the type library: both layouts agree.
    EXPECT_EQ(size, sizeof(void*) == 8 ? 64u : 32u);
    EXPECT_EQ(size, sizeof(UPDATEINFO));
}

// Each field of the record lies where the generated header's structure has it.
TEST_F(TypeLib, UpdateInfoFieldOffsetsFollowTheTarget) {
    ITypeInfo* rec = Find(L"UPDATEINFO");
    ASSERT_NE(rec, nullptr);
    const size_t offsets[] = {offsetof(UPDATEINFO, Name),        offsetof(UPDATEINFO, Version),
                              offsetof(UPDATEINFO, ReleaseDate), offsetof(UPDATEINFO, Description),
                              offsetof(UPDATEINFO, PackageFile), offsetof(UPDATEINFO, PackageSize),
                              offsetof(UPDATEINFO, Reserved1),   offsetof(UPDATEINFO, Reserved2)};
    for (UINT i = 0; i < std::size(offsets); ++i) {
        VARDESC* v = nullptr;
        ASSERT_EQ(S_OK, rec->GetVarDesc(i, &v));
        EXPECT_EQ(v->varkind, VAR_PERINSTANCE);
        EXPECT_EQ(static_cast<size_t>(v->oInst), offsets[i]) << i;
        rec->ReleaseVarDesc(v);
    }
    EXPECT_EQ(offsetof(UPDATEINFO, Reserved1), sizeof(void*) == 8 ? 48u : 24u);
    rec->Release();
}

// The library describes the system it was built for, with the one GUID and version.
TEST_F(TypeLib, DescribesItsOwnTargetWithTheSharedIdentity) {
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, lib_->GetLibAttr(&attr));
    EXPECT_EQ(attr->syskind, orv::test::kTargetSysKind);
    EXPECT_EQ(attr->guid, LIBID_OrvaneControl);
    EXPECT_EQ(attr->wMajorVerNum, 1);
    EXPECT_EQ(attr->wMinorVerNum, 0);
    lib_->ReleaseTLibAttr(attr);
}

TEST_F(TypeLib, ClassesAndPropertyPages) {
    struct Cls {
        const wchar_t* name;
        const wchar_t* iface;
        bool control;
    } classes[] = {{L"Orvane", L"_Orvane4", true},
                   {L"PropertyPage1", L"_PropertyPage1", false},
                   {L"PropertyPage2", L"_PropertyPage2", false},
                   {L"PropertyPage3", L"_PropertyPage3", false}};
    for (const Cls& c : classes) {
        SCOPED_TRACE(c.name);
        ITypeInfo* info = Find(c.name);
        ASSERT_NE(info, nullptr);
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
        EXPECT_EQ(attr->typekind, TKIND_COCLASS);
        EXPECT_EQ(!!(attr->wTypeFlags & TYPEFLAG_FCONTROL), c.control);
        HREFTYPE ref;
        ASSERT_EQ(S_OK, info->GetRefTypeOfImplType(0, &ref));
        ITypeInfo* iface = nullptr;
        ASSERT_EQ(S_OK, info->GetRefTypeInfo(ref, &iface));
        EXPECT_EQ(Name(iface, MEMBERID_NIL), c.iface);
        if (c.control) {
            ASSERT_EQ(attr->cImplTypes, 2);
            INT flags = 0;
            info->GetImplTypeFlags(1, &flags);
            EXPECT_TRUE(flags & IMPLTYPEFLAG_FSOURCE);
            EXPECT_TRUE(flags & IMPLTYPEFLAG_FDEFAULT);
            HREFTYPE evref;
            info->GetRefTypeOfImplType(1, &evref);
            ITypeInfo* ev = nullptr;
            info->GetRefTypeInfo(evref, &ev);
            EXPECT_EQ(Name(ev, MEMBERID_NIL), L"__Orvane");
            ev->Release();
        }
        iface->Release();
        info->ReleaseTypeAttr(attr);
        info->Release();
    }
}

}  // namespace
