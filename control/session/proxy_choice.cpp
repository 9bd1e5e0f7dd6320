#include "control/session/proxy_choice.h"

#include <winhttp.h>

#include <utility>

#include "common/win/handles.h"
#include "common/win/system.h"
#include "control/module.h"

namespace orv::session {
namespace {

// The longest WinHTTP may spend on each step of fetching a script: the worker ends by then
// even when nobody waits for it any more (unless the script itself never returns).
constexpr int kScriptStepMs = 30000;

// A text WinHTTP handed out (nullptr when it has none) in the ANSI code page.
std::string Narrow(const wchar_t* text) {
    return text ? win::WideToAnsi(text) : std::string();
}

// One WinHttpGetProxyForUrl call: a script's answer for the URL, the script at the settings'
// address or the one detection finds.
ScriptAnswer RunScript(HINTERNET session, const ProxyQuestion& q, bool detect) {
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (detect) {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = q.settings.scriptUrl.c_str();
    }
    WINHTTP_PROXY_INFO info = {};
    ScriptAnswer answer;
    if (!session || !WinHttpGetProxyForUrl(session, q.url.c_str(), &options, &info)) return answer;
    answer.proxies = Narrow(info.lpszProxy);
    const bool named =
        info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !answer.proxies.empty();
    answer.outcome = named ? ScriptAnswer::Outcome::Proxies : ScriptAnswer::Outcome::Direct;
    if (info.lpszProxy) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
    return answer;
}

// The whole decision with script or detection, and what decided it; runs on the worker.
ProxyAnswer Decide(const ProxyQuestion& q, std::string& why) {
    HINTERNET session = WinHttpOpen(L"Orvane Control", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (session)
        WinHttpSetTimeouts(session, kScriptStepMs, kScriptStepMs, kScriptStepMs, kScriptStepMs);
    ProxyAnswer answer = ChooseSystemRoute(
        q, [&](bool detect) { return RunScript(session, q, detect); }, &why);
    if (session) WinHttpCloseHandle(session);
    return answer;
}

class Locked {
   public:
    explicit Locked(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~Locked() { ReleaseSRWLockExclusive(&lock_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

   private:
    SRWLOCK& lock_;
};

}  // namespace

struct ProxyResolver::State {
    SRWLOCK lock = SRWLOCK_INIT;
    bool closed = false;  // the resolver is gone: nothing is posted any more
    HWND window = nullptr;
    UINT message = 0;
    WPARAM wanted = 0;  // the cookie of the answer the session waits for; 0: none
    WPARAM answered = 0;
    ProxyAnswer answer;
    std::string why;
    // The worker, while it runs: its question and the cookie its answer goes to, and the
    // question it takes next.
    bool running = false;
    ProxyQuestion current;
    WPARAM currentCookie = 0;
    std::optional<std::pair<ProxyQuestion, WPARAM>> next;
    unique_handle thread;

    // Stores the answer and posts it, under the lock, unless nobody waits for it. The window
    // is the session's and lives until the resolver is gone.
    void Deliver(WPARAM cookie, ProxyAnswer a, std::string reason) {
        if (closed || cookie != wanted) return;
        answered = cookie;
        answer = std::move(a);
        why = std::move(reason);
        PostMessageW(window, message, cookie, 0);
    }
    // Nobody waits for the worker: it only takes idle time; or someone does again.
    void Prioritise(bool waitedFor) {
        if (running)
            SetThreadPriority(thread.get(),
                              waitedFor ? THREAD_PRIORITY_NORMAL : THREAD_PRIORITY_IDLE);
    }
};

namespace {

// What the worker owns: the shared state and a lock on the module.
struct Work {
    std::shared_ptr<ProxyResolver::State> state;
    ModuleLock moduleLock;
};

DWORD WINAPI Worker(void* param) {
    HMODULE self = nullptr;
    // The library stays loaded until this thread's last instruction, which FreeLibrary-
    // AndExitThread runs outside it.
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&Worker),
                       &self);
    {
        std::unique_ptr<Work> work(static_cast<Work*>(param));
        ProxyResolver::State& s = *work->state;
        AcquireSRWLockExclusive(&s.lock);
        for (;;) {
            const ProxyQuestion q = s.current;
            ReleaseSRWLockExclusive(&s.lock);
            std::string why;
            ProxyAnswer answer = Decide(q, why);
            AcquireSRWLockExclusive(&s.lock);
            // The cookie may have changed meanwhile: a later call asked the same question.
            s.Deliver(s.currentCookie, std::move(answer), std::move(why));
            if (s.closed || !s.next) break;
            s.current = std::move(s.next->first);
            s.currentCookie = s.next->second;
            s.next.reset();
        }
        s.running = false;
        ReleaseSRWLockExclusive(&s.lock);
    }
    if (self) FreeLibraryAndExitThread(self, 0);
    return 0;
}

}  // namespace

SystemProxySettings ReadSystemProxySettings() {
    SystemProxySettings s;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    // Without settings the connection goes direct.
    if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return s;
    s.autoDetect = config.fAutoDetect != FALSE;
    if (config.lpszAutoConfigUrl) s.scriptUrl = config.lpszAutoConfigUrl;
    s.proxy = Narrow(config.lpszProxy);
    s.bypass = Narrow(config.lpszProxyBypass);
    for (LPWSTR p : {config.lpszAutoConfigUrl, config.lpszProxy, config.lpszProxyBypass})
        if (p) GlobalFree(p);
    return s;
}

ProxyResolver::ProxyResolver() : state_(std::make_shared<State>()) {}

ProxyResolver::~ProxyResolver() {
    State& s = *state_;
    const Locked locked(s.lock);
    s.closed = true;
    s.next.reset();
    s.Prioritise(false);
}

void ProxyResolver::Ask(ProxyQuestion question, HWND window, UINT message, WPARAM cookie) {
    State& s = *state_;
    const bool script = NeedsScript(question.settings);
    // Registry settings only: nothing to wait for, and nothing run.
    ProxyAnswer immediate;
    std::string why;
    if (!script)
        immediate = ChooseSystemRoute(
            question, [](bool) { return ScriptAnswer{}; }, &why);
    const Locked locked(s.lock);
    s.window = window;
    s.message = message;
    s.wanted = cookie;
    s.next.reset();
    if (!script) {
        s.Deliver(cookie, std::move(immediate), std::move(why));
        return;
    }
    if (s.running) {
        // One worker at a time: the question waits for the busy one, which may never return.
        if (s.current == question) {
            s.currentCookie = cookie;
        } else {
            s.next.emplace(std::move(question), cookie);
        }
        s.Prioritise(true);
        return;
    }
    s.current = std::move(question);
    s.currentCookie = cookie;
    auto work = std::make_unique<Work>(Work{state_, ModuleLock()});
    s.thread.reset(CreateThread(nullptr, 0, Worker, work.get(), 0, nullptr));
    if (!s.thread) {
        s.Deliver(cookie, std::nullopt, "no worker thread for the proxy script");
        return;
    }
    work.release();
    s.running = true;
}

std::optional<ProxyAnswer> ProxyResolver::Take(WPARAM cookie, std::string* why) {
    State& s = *state_;
    const Locked locked(s.lock);
    if (cookie == 0 || cookie != s.wanted || cookie != s.answered) return std::nullopt;
    s.wanted = 0;
    if (why) *why = std::move(s.why);
    return std::move(s.answer);
}

void ProxyResolver::Forget() {
    State& s = *state_;
    const Locked locked(s.lock);
    s.wanted = 0;
    s.next.reset();
    s.Prioritise(false);
}

}  // namespace orv::session
