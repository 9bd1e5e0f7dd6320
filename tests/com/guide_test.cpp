// The host developer's reference names every member of the type library: each property,
// method and event of every interface, each enumeration member and record field, and each
// type. Walks the library embedded in OrvaneCtl.ocx, so a member added to the contract without
// its reference entry fails here.
#include <windows.h>

#include <oleauto.h>

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <string>

#include "tests/com/com_test_util.h"

namespace {

std::string Narrow(const wchar_t* w) {
    std::string s;
    for (; w && *w; ++w) s.push_back(static_cast<char>(*w));
    return s;
}

std::string ReadReference() {
    const char* source = std::getenv("ORV_SOURCE_DIR");
    std::ifstream in(std::string(source ? source : ".") + "/docs/guide/reference.md",
                     std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// IUnknown's and IDispatch's own methods, which every dual interface repeats.
const std::set<std::string> kInherited = {
    "QueryInterface", "AddRef",        "Release", "GetTypeInfoCount",
    "GetTypeInfo",    "GetIDsOfNames", "Invoke"};

TEST(Guide, ReferenceNamesEveryMemberOfTheTypeLibrary) {
    ASSERT_EQ(S_OK, CoInitialize(nullptr));
    ITypeLib* lib = nullptr;
    ASSERT_EQ(S_OK, LoadTypeLibEx(orv::test::OcxPath().c_str(), REGKIND_NONE, &lib));
    const std::string reference = ReadReference();
    ASSERT_FALSE(reference.empty()) << "docs/guide/reference.md not found";

    std::set<std::string> missing;
    std::size_t checked = 0;
    auto expect = [&](const std::string& name) {
        ++checked;
        if (reference.find("`" + name + "`") == std::string::npos) missing.insert(name);
    };
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
        ITypeInfo* info = nullptr;
        ASSERT_EQ(S_OK, lib->GetTypeInfo(i, &info));
        TYPEATTR* attr = nullptr;
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
        BSTR typeName = nullptr;
        info->GetDocumentation(MEMBERID_NIL, &typeName, nullptr, nullptr, nullptr);
        // The property pages' classes are internal to the library; hosts never name them.
        const std::string type = Narrow(typeName);
        SysFreeString(typeName);
        if (type.find("PropertyPage") == std::string::npos && attr->typekind != TKIND_ALIAS)
            expect(type);
        for (UINT f = 0; f < attr->cFuncs; ++f) {
            FUNCDESC* func = nullptr;
            if (FAILED(info->GetFuncDesc(f, &func))) continue;
            BSTR name = nullptr;
            info->GetDocumentation(func->memid, &name, nullptr, nullptr, nullptr);
            if (!kInherited.count(Narrow(name))) expect(Narrow(name));
            SysFreeString(name);
            info->ReleaseFuncDesc(func);
        }
        for (UINT v = 0; v < attr->cVars; ++v) {
            VARDESC* var = nullptr;
            if (FAILED(info->GetVarDesc(v, &var))) continue;
            BSTR name = nullptr;
            UINT got = 0;
            info->GetNames(var->memid, &name, 1, &got);
            expect(Narrow(name));
            SysFreeString(name);
            info->ReleaseVarDesc(var);
        }
        info->ReleaseTypeAttr(attr);
        info->Release();
    }
    lib->Release();
    CoUninitialize();

    EXPECT_GT(checked, 150u);  // 20 members, 5 events, 8 fields, over 120 enumeration members
    std::string list;
    for (const auto& m : missing) list += " " + m;
    EXPECT_TRUE(missing.empty()) << "not in docs/guide/reference.md:" << list;
}

}  // namespace
