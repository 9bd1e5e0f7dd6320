// The one fixture of the Windows tests that hold Orvane controls: OLE on the thread, a hidden
// host window, our client site, and the control itself; at the end every control is closed and
// must go with its last release, leaving the site's references as they were.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>
#include <vector>

#include "control/OrvaneControl.h"
#include "tests/com/host.h"

namespace orv::test {

class ControlFixture : public ::testing::Test {
   protected:
    void SetUp() override;
    void TearDown() override;

    // A further control, closed and released by TearDown like the first.
    _Orvane* AnotherControl();
    // Closes `control` (IOleObject::Close, site taken away) and releases it; the count left.
    static ULONG CloseAndRelease(_Orvane* control);

    const wchar_t* hostTitle_ = L"Orvane test host";
    HWND host_ = nullptr;
    Site* site_ = nullptr;
    _Orvane* ctl_ = nullptr;
    std::vector<_Orvane*> others_;
    bool oleStarted_ = false;
};

}  // namespace orv::test
