#include "tests/support/control_fixture.h"

namespace orv::test {

void ControlFixture::SetUp() {
    ASSERT_EQ(S_OK, OleInitialize(nullptr));
    oleStarted_ = true;
    host_ = CreateHostWindow(hostTitle_, 320, 240);
    ASSERT_NE(host_, nullptr);
    site_ = new Site(host_);
    ASSERT_EQ(S_OK, CreateControl(&ctl_));
}

_Orvane* ControlFixture::AnotherControl() {
    _Orvane* c = nullptr;
    EXPECT_EQ(S_OK, CreateControl(&c));
    if (c != nullptr) others_.push_back(c);
    return c;
}

ULONG ControlFixture::CloseAndRelease(_Orvane* control) {
    IOleObject* ole = nullptr;
    if (SUCCEEDED(control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole)))) {
        ole->Close(OLECLOSE_NOSAVE);
        ole->SetClientSite(nullptr);
        ole->Release();
    }
    return control->Release();
}

void ControlFixture::TearDown() {
    for (_Orvane* c : others_) {
        EXPECT_EQ(0u, CloseAndRelease(c)) << "a control stayed alive";
    }
    others_.clear();
    if (ctl_) {
        EXPECT_EQ(0u, CloseAndRelease(ctl_)) << "the control stayed alive";
    }
    ctl_ = nullptr;
    if (site_) {
        EXPECT_EQ(site_->Refs(), 1u) << "the control kept references to its site";
    }
    delete site_;
    site_ = nullptr;
    if (host_) DestroyWindow(host_);
    host_ = nullptr;
    if (oleStarted_) OleUninitialize();
    oleStarted_ = false;
}

}  // namespace orv::test
