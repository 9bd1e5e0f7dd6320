// The demo's update package: a stand-in installer that says it ran. It prints one line and
// leaves the same line in installed.txt next to itself, where the demo host reads it back
// (a program the shell starts has no console of the demo's to print to).
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    std::string line = "Orvane demo package 2.0.0: installed";
    for (int i = 1; i < argc; ++i) line += std::string(i == 1 ? " with " : " ") + argv[i];
    std::printf("%s\n", line.c_str());
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string log(path);
    log = log.substr(0, log.find_last_of('\\') + 1) + "installed.txt";
    if (FILE* f = std::fopen(log.c_str(), "w")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
    return 0;
}
