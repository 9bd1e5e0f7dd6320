// The route a transfer takes under the host's or the user's proxy settings, and which proxies
// get the proxy credentials. Automatic detection needs DNS or DHCP, which no loopback test
// drives: the scripts' answers are given here instead.
#include "control/session/route_choice.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace orv::session {
namespace {

using Outcome = ScriptAnswer::Outcome;

const ProxyRoute kDirect{};
ProxyRoute Via(const std::string& host, int32_t port, bool credentials) {
    return ProxyRoute{true, host, port, credentials};
}

TEST(RouteChoice, HostProxyTakesTheCredentials) {
    EXPECT_EQ(HostRoute(true, "proxy.example", 3128), Via("proxy.example", 3128, true));
    EXPECT_EQ(HostRoute(false, "proxy.example", 3128), kDirect);
}

TEST(RouteChoice, CredentialsOnlyForProxiesTheUserNamed) {
    const ScriptAnswer failed{}, direct{Outcome::Direct, ""},
        named{Outcome::Proxies, "script.example:8080"},
        unusable{Outcome::Proxies, "script.example:x"};
    const struct Row {
        const char* what;
        bool detect;
        const wchar_t* script;
        std::string proxy, bypass;
        ScriptAnswer byScript, byDetection;
        ProxyAnswer expected;
        std::vector<bool> asked;  // the scripts run, in order: false at the address, true found
    } rows[] = {
        {"manual",
         false,
         L"",
         "manual.example:3128",
         "",
         {},
         {},
         Via("manual.example", 3128, true),
         {}},
        {"manual, bypassed", false, L"", "manual.example:3128", "*.test", {}, {}, kDirect, {}},
        {"nothing set", false, L"", "", "", {}, {}, kDirect, {}},
        {"script names a proxy",
         false,
         L"http://cfg/p.pac",
         "",
         "",
         named,
         {},
         Via("script.example", 8080, true),
         {false}},
        {"script says direct", false, L"http://cfg/p.pac", "m:1", "", direct, {}, kDirect, {false}},
        {"script fails: no way the user meant",
         false,
         L"http://cfg/p.pac",
         "m:1",
         "",
         failed,
         {},
         std::nullopt,
         {false}},
        {"script names nothing usable",
         false,
         L"http://cfg/p.pac",
         "",
         "",
         unusable,
         {},
         std::nullopt,
         {false}},
        {"script before detection",
         true,
         L"http://cfg/p.pac",
         "",
         "",
         named,
         named,
         Via("script.example", 8080, true),
         {false}},
        {"detected proxy: no credentials",
         true,
         L"",
         "manual.example:3128",
         "",
         {},
         named,
         Via("script.example", 8080, false),
         {true}},
        {"detection says direct",
         true,
         L"",
         "manual.example:3128",
         "",
         {},
         direct,
         kDirect,
         {true}},
        {"detection finds nothing: manual",
         true,
         L"",
         "manual.example:3128",
         "",
         {},
         failed,
         Via("manual.example", 3128, true),
         {true}},
        {"detection finds nothing, no manual", true, L"", "", "", {}, failed, kDirect, {true}},
        {"detected proxy unusable",
         true,
         L"",
         "manual.example:3128",
         "",
         {},
         unusable,
         std::nullopt,
         {true}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        ProxyQuestion q;
        q.settings = {r.detect, r.script, r.proxy, r.bypass};
        q.url = L"http://updates.test:80/update.orv";
        q.host = "updates.test";
        q.port = 80;
        EXPECT_EQ(NeedsScript(q.settings), !r.asked.empty());
        std::vector<bool> asked;
        const ProxyAnswer got = ChooseSystemRoute(q, [&](bool detect) {
            asked.push_back(detect);
            return detect ? r.byDetection : r.byScript;
        });
        EXPECT_EQ(got, r.expected);
        EXPECT_EQ(asked, r.asked);
    }
}

TEST(RouteChoice, ProxyListsAndBypassLists) {
    EXPECT_EQ(FirstProxy("http=a:1;https=b:2", true), Via("b", 2, false));
    EXPECT_EQ(FirstProxy("c;http=a:1", false), Via("a", 1, false));
    EXPECT_EQ(FirstProxy("http://c", true), Via("c", 80, false));
    EXPECT_EQ(FirstProxy("a:65535; a:0; :1", false), std::nullopt);
    EXPECT_TRUE(Bypassed("<local>", "intranet", 80));
    EXPECT_FALSE(Bypassed("<local>", "a.example", 80));
    EXPECT_TRUE(Bypassed("x; *.EXAMPLE", "a.example", 80));
    EXPECT_TRUE(Bypassed("http://a.example:8080", "a.example", 8080));
    EXPECT_FALSE(Bypassed("a.example:8080", "a.example", 80));
}

}  // namespace
}  // namespace orv::session
