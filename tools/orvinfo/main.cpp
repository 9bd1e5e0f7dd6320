// Entry point of orvinfo: gathers the arguments as UTF-8, runs the command, prints its
// output unchanged and returns its status. Everything else is in orvinfo.cpp.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/orvinfo/orvinfo.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// windows.h first: shellapi.h needs its types.
#include <shellapi.h>
#else
#include <csignal>
#endif

namespace {

#ifdef _WIN32
// The command line as UTF-16, converted to UTF-8: the ANSI argv would already have replaced
// the characters the ANSI code page lacks. Nothing when the command line cannot be split.
bool WideArguments(std::vector<std::string>& args) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return false;
    for (int i = 1; i < count; ++i) {
        const int n = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string s(n > 0 ? n : 1, '\0');
        if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, s.data(), n, nullptr, nullptr);
        s.pop_back();  // the terminating zero
        args.push_back(std::move(s));
    }
    LocalFree(wide);
    return true;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
#ifdef _WIN32
    (void)argc;
    (void)argv;
    // Output is UTF-8 bytes exactly as the Linux build prints them: no LF to CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    SetConsoleOutputCP(CP_UTF8);
    if (!WideArguments(args)) {
        std::fputs("orvinfo: cannot read the command line\n", stderr);
        return orv::orvinfo::kRefused;
    }
#else
    // A file size limit then fails the write with EFBIG instead of ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    args.assign(argv + 1, argv + argc);
#endif
    const orv::orvinfo::Result r = orv::orvinfo::Run(args, orv::orvinfo::Today());
    std::fwrite(r.out.data(), 1, r.out.size(), stdout);
    std::fwrite(r.err.data(), 1, r.err.size(), stderr);
    if (std::fflush(stdout) != 0 && r.status == orv::orvinfo::kSuccess) {
        return orv::orvinfo::kRefused;
    }
    return r.status;
}
