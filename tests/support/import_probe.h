// Replaces one entry of a module's import table, so that a test sees the calls the code in
// that module makes to a system library.
#pragma once

#include <windows.h>

namespace orv::test {

class ImportProbe {
   public:
    // Probes the import of `function` from `dll` in this program's own import table.
    ImportProbe(const char* dll, const char* function, void* replacement);
    // The same in the import table of `module` (a DLL loaded into this process).
    ImportProbe(HMODULE module, const char* dll, const char* function, void* replacement);
    ~ImportProbe();
    ImportProbe(const ImportProbe&) = delete;
    ImportProbe& operator=(const ImportProbe&) = delete;

    bool Installed() const { return slot_ != nullptr; }
    // The function the entry held before; the replacement forwards to it.
    void* Original() const { return original_; }

   private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

}  // namespace orv::test
