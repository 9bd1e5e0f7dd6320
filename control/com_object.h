// The QueryInterface of the library's COM objects: each object lists the interfaces it answers
// in a table of {interface id, the object's pointer for it}, searched by one function.
#pragma once

#include <windows.h>

#include <cstddef>

namespace orv {

// One row: the interface id and how to reach the object's pointer that answers it.
template <typename Object>
struct InterfaceEntry {
    const IID* iid;
    void* (*cast)(Object* object);
};

// The row answering `iid` with the object seen as `Interface` (a base class of Object).
template <typename Object, typename Interface>
constexpr InterfaceEntry<Object> Answer(const IID& iid) {
    return {&iid, [](Object* object) -> void* { return static_cast<Interface*>(object); }};
}

// Hands out the pointer of the first row whose id is `iid` and AddRefs the object (whose own
// AddRef counts for all its interfaces); E_NOINTERFACE with *out = nullptr when no row has it.
template <typename Object, std::size_t N>
HRESULT QueryInterfaceTable(Object* object, const InterfaceEntry<Object> (&table)[N], REFIID iid,
                            void** out) {
    if (!out) return E_POINTER;
    for (const InterfaceEntry<Object>& entry : table) {
        if (iid == *entry.iid) {
            *out = entry.cast(object);
            object->AddRef();
            return S_OK;
        }
    }
    *out = nullptr;
    return E_NOINTERFACE;
}

}  // namespace orv
