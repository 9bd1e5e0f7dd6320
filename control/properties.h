// The control's properties, described once in property_table.h: their storage with
// defaults, the kinds that decide how get/put, the property bag, the stream and the property
// pages treat them, and the RemotePath rule.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>

#include "control/OrvaneControl.h"
#include "control/com_util.h"
#include "control/dispids.h"
#include "control/resource.h"

namespace orv {

enum class PropertyKind { Text, Path, Keys, Long, Bool, State, Record };
enum class PropertyPage { None, General, Authorization, Proxy };

// UpdateInformation's storage: the number 0 (a new control, or one never given a record) or a
// VT_RECORD copy of an UPDATEINFO.
class RecordValue : public unique_variant {
   public:
    explicit RecordValue(int16_t number = 0) { SetNumber(number); }
    void SetNumber(int16_t number) {
        reset();
        V_VT(get()) = VT_I2;
        V_I2(get()) = number;
    }
    bool HoldsRecord() const { return V_VT(get()) == VT_RECORD && V_RECORD(get()); }
    const UPDATEINFO* Record() const {
        return HoldsRecord() ? static_cast<const UPDATEINFO*>(V_RECORD(get())) : nullptr;
    }
};

// C++ storage and vtable argument types of each kind.
template <PropertyKind>
struct PropertyTraits;
template <>
struct PropertyTraits<PropertyKind::Text> {
    using Member = std::string;
    using Get = BSTR*;
    using Put = BSTR;
};
template <>
struct PropertyTraits<PropertyKind::Path> : PropertyTraits<PropertyKind::Text> {};
template <>
struct PropertyTraits<PropertyKind::Keys> : PropertyTraits<PropertyKind::Text> {};
template <>
struct PropertyTraits<PropertyKind::Long> {
    using Member = int32_t;
    using Get = LONG*;
    using Put = LONG;
};
template <>
struct PropertyTraits<PropertyKind::Bool> {
    using Member = bool;
    using Get = VARIANT_BOOL*;
    using Put = VARIANT_BOOL;
};
template <>
struct PropertyTraits<PropertyKind::State> {
    using Member = int32_t;
    using Get = CONTROLSTATE*;
    using Put = CONTROLSTATE*;
};
template <>
struct PropertyTraits<PropertyKind::Record> {
    using Member = RecordValue;
    using Get = UPDATEINFO*;
    using Put = UPDATEINFO*;
};

// The values of one control, members named like the properties.
struct Properties {
#define ORV_PROPERTY(name, id, kind, def, page, field, ...) \
    PropertyTraits<PropertyKind::kind>::Member name =       \
        PropertyTraits<PropertyKind::kind>::Member(def);
#include "control/property_table.h"
};

// A property's default: a text, or a number (Booleans as 0 and 1).
struct PropertyDefault {
    constexpr PropertyDefault(const char* t) : text(t) {}
    constexpr PropertyDefault(int n) : number(n) {}
    constexpr PropertyDefault(bool b) : number(b ? 1 : 0) {}
    const char* text = nullptr;
    int32_t number = 0;
};

// The values a Long may take: every one unless its row names bounds.
struct PropertyRange {
    int32_t low = std::numeric_limits<int32_t>::min();
    int32_t high = std::numeric_limits<int32_t>::max();
    constexpr bool Holds(int32_t v) const { return v >= low && v <= high; }
};

struct PropertyInfo {
    const wchar_t* name;  // also the property-bag key
    DISPID id;
    PropertyKind kind;
    PropertyDefault def;
    PropertyPage page;
    int field;  // control id of its field in the page's dialog
    PropertyRange range;
};

inline constexpr PropertyInfo kProperties[] = {
#define ORV_PROPERTY(name, id, kind, def, page, field, ...) \
    {L## #name, id, PropertyKind::kind, def, PropertyPage::page, field, PropertyRange{__VA_ARGS__}},
#include "control/property_table.h"
};

// Rows from PublisherKey on are saved only when not at their default; the stream keeps the
// ones before it in their places and the ones after it in a list tagged by dispatch id.
constexpr std::size_t kFirstSavedWhenSet = [] {
    std::size_t i = 0;
    while (kProperties[i].id != DISPID_ORV_PUBLISHERKEY) ++i;
    return i;
}();
constexpr std::size_t RowOf(const PropertyInfo& p) {
    return static_cast<std::size_t>(&p - kProperties);
}
constexpr bool SavedOnlyWhenSet(const PropertyInfo& p) {
    return RowOf(p) >= kFirstSavedWhenSet;
}
constexpr bool KeptTagged(const PropertyInfo& p) {
    return RowOf(p) > kFirstSavedWhenSet;
}

// Calls f(info, member) for every property in table order, stopping at the first failure.
template <typename P, typename F>
HRESULT ForEachProperty(P& values, F&& f) {
    HRESULT hr = S_OK;
    std::size_t i = 0;
#define ORV_PROPERTY(name, id, kind, def, page, field, ...) \
    if (SUCCEEDED(hr)) hr = f(kProperties[i], values.name); \
    ++i;
#include "control/property_table.h"
    return hr;
}

// RemotePath as a put stores it: "" -> "/", then a leading and a trailing "/" are added
// where missing.
std::string NormaliseRemotePath(std::string path);

// The properties' run-time errors, each with a description that names the property and says
// what it takes.
const wchar_t* PropertyName(DISPID id);
HRESULT OutOfRange(const wchar_t* name, PropertyRange range);  // 380
HRESULT InvalidKeyList();                                      // 380, PublisherKey
HRESULT NoRecordYet();                                         // 13, UpdateInformation read
HRESULT NotAnUpdateInfo();                                     // 13, another record type
HRESULT DesignTimeSet(const wchar_t* name);                    // 387

}  // namespace orv
