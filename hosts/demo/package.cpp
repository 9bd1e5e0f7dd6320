// The demo's update package: a stand-in installer that says it ran. It prints one line and
// leaves the same line in installed.txt next to itself, where the demo host reads it back
// (a program the shell starts has no console of the demo's to print to).
#include <windows.h>

#include <cstdio>
#include <string>

#include "common/win/system.h"

int main(int argc, char** argv) {
    std::string line = "Orvane demo package 2.0.0: installed";
    for (int i = 1; i < argc; ++i) line += std::string(i == 1 ? " with " : " ") + argv[i];
    std::printf("%s\n", line.c_str());
    const std::string log = orv::win::ModuleFolder() + "\\installed.txt";
    if (FILE* f = std::fopen(log.c_str(), "w")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
    return 0;
}
