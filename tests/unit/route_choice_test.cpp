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

ProxyRoute Via(const std::string& host, int32_t port, bool credentials) {
    return ProxyRoute{true, host, port, credentials};
}

TEST(RouteChoice, CredentialsOnlyForProxiesTheHostOrTheUserNamed) {
    EXPECT_EQ(HostRoute(true, "host.example", 3128), Via("host.example", 3128, true));
    EXPECT_EQ(HostRoute(false, "host.example", 3128), ProxyRoute{});

    const ScriptAnswer failed{}, direct{Outcome::Direct, ""},
        named{Outcome::Proxies, "script.example:8080"}, unusable{Outcome::Proxies, "s:x"};
    const ProxyAnswer none, manual = Via("manual.example", 3128, true),
                            byScript = Via("script.example", 8080, true),
                            detected = Via("script.example", 8080, false);
    const std::wstring pac = L"http://cfg/p.pac";
    const std::string m = "manual.example:3128";
    const struct Row {
        const char* what;
        SystemProxySettings settings;  // detect, script address, manual proxy, bypass list
        ScriptAnswer script, detection;
        ProxyAnswer expected;
        std::vector<bool> ran;  // the scripts run, in order: false at the address, true found
    } rows[] = {
        {"manual", {false, L"", m, ""}, {}, {}, manual, {}},
        {"manual, bypassed", {false, L"", m, "*.test"}, {}, {}, ProxyRoute{}, {}},
        {"nothing set", {}, {}, {}, ProxyRoute{}, {}},
        {"script names a proxy", {false, pac, "", ""}, named, {}, byScript, {false}},
        {"script says direct", {false, pac, m, ""}, direct, {}, ProxyRoute{}, {false}},
        {"script fails", {false, pac, m, ""}, failed, {}, none, {false}},
        {"script names nothing usable", {false, pac, m, ""}, unusable, {}, none, {false}},
        {"script before detection", {true, pac, "", ""}, named, named, byScript, {false}},
        {"detected: no credentials", {true, L"", m, ""}, {}, named, detected, {true}},
        {"detection says direct", {true, L"", m, ""}, {}, direct, ProxyRoute{}, {true}},
        {"detection fails: manual", {true, L"", m, ""}, {}, failed, manual, {true}},
        {"detection fails, no manual", {true, L"", "", ""}, {}, failed, ProxyRoute{}, {true}},
        {"detected proxy unusable", {true, L"", m, ""}, {}, unusable, none, {true}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const ProxyQuestion q{r.settings, L"http://updates.test:80/update.orv", "updates.test", 80,
                              false};
        EXPECT_EQ(NeedsScript(q.settings), !r.ran.empty());
        std::vector<bool> ran;
        const ProxyAnswer got = ChooseSystemRoute(q, [&](bool detect) {
            ran.push_back(detect);
            return detect ? r.detection : r.script;
        });
        EXPECT_EQ(got, r.expected);
        EXPECT_EQ(ran, r.ran);
    }
}

}  // namespace
}  // namespace orv::session
