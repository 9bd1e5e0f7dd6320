#include "tests/support/import_probe.h"

#include <cstring>

namespace orv::test {

ImportProbe::ImportProbe(const char* dll, const char* function, void* replacement)
    : ImportProbe(GetModuleHandleA(nullptr), dll, function, replacement) {}

ImportProbe::ImportProbe(HMODULE module, const char* dll, const char* function, void* replacement) {
    if (module == nullptr) return;
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return;
    for (auto* desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         desc->Name != 0; ++desc) {
        if (_stricmp(reinterpret_cast<const char*>(base + desc->Name), dll) != 0) continue;
        if (desc->OriginalFirstThunk == 0) continue;
        const auto* names =
            reinterpret_cast<const IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
        for (size_t i = 0; names[i].u1.AddressOfData != 0; ++i) {
            if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) continue;
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names[i].u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            auto** slot = reinterpret_cast<void**>(&slots[i].u1.Function);
            DWORD old = 0;
            if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) return;
            original_ = *slot;
            *slot = replacement;
            VirtualProtect(slot, sizeof *slot, old, &old);
            slot_ = slot;
            return;
        }
    }
}

ImportProbe::~ImportProbe() {
    if (slot_ == nullptr) return;
    DWORD old = 0;
    if (VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &old)) {
        *slot_ = original_;
        VirtualProtect(slot_, sizeof *slot_, old, &old);
    }
}

}  // namespace orv::test
