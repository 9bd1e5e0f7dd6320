// A Windows program that crashes on purpose: its test shows that a crash in a test program
// ends it at once with its stack, instead of holding it in the debugger until a time-out.
#include <cstdio>

int main() {
    std::puts("writing through a null pointer");
    std::fflush(stdout);
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return 0;
}
