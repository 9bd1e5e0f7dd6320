// The release policy of the last check as the control acts on it: the user's place in staged
// rollouts (kept once per user), the verdict for the installed version that the update dialog
// and the read-only properties of _Orvane4 give, and the installer's arguments a package is
// started with when the host passes none.
#include <windows.h>

#include <bcrypt.h>

#include "common/updateinfo/offer_rule.h"
#include "common/win/handles.h"
#include "common/win/system.h"
#include "control/orvane_control.h"

namespace orv {
namespace {

// The user's place in every staged rollout: a REG_DWORD below kRolloutPlaces, drawn at random
// the first time a rollout needs it and kept for good.
constexpr wchar_t kOrvaneKey[] = L"Software\\Orvane";
constexpr wchar_t kRolloutPlaceValue[] = L"RolloutPlace";

uint32_t UserRolloutPlace() {
    HKEY opened = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, kOrvaneKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                    nullptr, &opened, nullptr);
    const unique_hkey key(opened);
    DWORD place = 0, type = 0, size = sizeof place;
    if (key &&
        RegQueryValueExW(key.get(), kRolloutPlaceValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(&place), &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof place && place < kRolloutPlaces)
        return place;
    uint32_t random = 0;
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&random), sizeof random,
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        random = (GetTickCount() ^ GetCurrentProcessId() << 16) * 2654435761u;
    place = RolloutPlace(random);
    if (key)
        RegSetValueExW(key.get(), kRolloutPlaceValue, 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&place), sizeof place);
    return place;
}

// UTF-8 (the file's free text) in the ANSI code page, as the control's texts are.
std::string Utf8ToAnsi(const std::string& utf8) {
    return win::WideToAnsi(win::Utf8ToWide(utf8));
}

}  // namespace

dialog::OfferVerdict OrvaneControl::Verdict() {
    dialog::OfferVerdict verdict;
    const std::optional<ReleasePolicy>& policy = session_->CurrentPolicy();
    if (!policy) return verdict;
    const dialog::Installed installed = InstalledVersion();
    std::optional<std::string_view> version;
    if (installed.known) version = installed.version;
    // Only a rollout that leaves users out needs the user's place.
    const uint32_t place = policy->Rollout < 100 ? UserRolloutPlace() : 0;
    static_cast<OfferDecision&>(verdict) = DecideOffer(*policy, version, place, usersOwnCheck_);
    verdict.MinVersion = policy->MinVersion;
    return verdict;
}

std::string OrvaneControl::PackageParameters(const std::string& passed) const {
    if (!passed.empty()) return passed;
    const std::optional<ReleasePolicy>& policy = session_->CurrentPolicy();
    return policy ? Utf8ToAnsi(policy->Arguments) : std::string();
}

std::string OrvaneControl::Notes() const {
    const std::optional<ReleasePolicy>& policy = session_->CurrentPolicy();
    return policy ? policy->Notes : std::string();
}

STDMETHODIMP OrvaneControl::get_UpdateIsCritical(VARIANT_BOOL* value) {
    RETURN_HR_IF_NULL(E_POINTER, value);
    return ComMethod([&] {
        *value = Verdict().Critical ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

STDMETHODIMP OrvaneControl::get_UpdateOffered(VARIANT_BOOL* value) {
    RETURN_HR_IF_NULL(E_POINTER, value);
    return ComMethod([&] {
        // Nothing is offered before a check has received information.
        const bool offered = session_->CurrentPolicy() && Verdict().Offered();
        *value = offered ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

STDMETHODIMP OrvaneControl::get_UpdateMinVersion(BSTR* value) {
    RETURN_HR_IF_NULL(E_POINTER, value);
    return ComMethod([&] {
        const std::optional<ReleasePolicy>& policy = session_->CurrentPolicy();
        *value = ToBstr(policy ? policy->MinVersion : std::string());
        return S_OK;
    });
}

STDMETHODIMP OrvaneControl::get_UpdateRollout(LONG* value) {
    RETURN_HR_IF_NULL(E_POINTER, value);
    const std::optional<ReleasePolicy>& policy = session_->CurrentPolicy();
    *value = policy ? policy->Rollout : 100;
    return S_OK;
}

STDMETHODIMP OrvaneControl::get_UpdateArguments(BSTR* value) {
    RETURN_HR_IF_NULL(E_POINTER, value);
    return ComMethod([&] {
        *value = ToBstr(PackageParameters(std::string()));
        return S_OK;
    });
}

STDMETHODIMP OrvaneControl::get_UpdateNotes(BSTR* value) {
    RETURN_HR_IF_NULL(E_POINTER, value);
    *value = nullptr;
    return ComMethod([&] {
        // The Markdown source as written, UTF-8 to UTF-16 with no code page in between.
        const std::wstring notes = win::Utf8ToWide(Notes());
        *value = SysAllocStringLen(notes.data(), static_cast<UINT>(notes.size()));
        return *value ? S_OK : E_OUTOFMEMORY;
    });
}

}  // namespace orv
