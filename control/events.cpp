// Raising the control's events to every connected sink.
#include "control/http/http_text.h"
#include "control/orvane_control.h"

namespace orv {

void OrvaneControl::FireEvent(DISPID id, VARIANTARG* args, UINT count) {
    // Sinks are called on a copy of the list: a handler may advise, unadvise, or call any
    // method of the control, which may raise further events, or release the control.
    const KeepAlive alive(this);
    DISPPARAMS params = {args, nullptr, count, 0};
    for (const auto& s : events_.Snapshot()) {
        Microsoft::WRL::ComPtr<IDispatch> sink;
        if (SUCCEEDED(s.As(&sink)))
            sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                         nullptr, nullptr);
    }
}

void OrvaneControl::ReportUpdateReceived() {
    if (dialogRunning_) watch_.OnDelivered();
    FireEvent(DISPID_ORV_UPDATERECEIVED, nullptr, 0);
}

void OrvaneControl::ReportCloseRequested() {
    FireEvent(DISPID_ORV_CLOSEREQUESTED, nullptr, 0);
}

void OrvaneControl::ReportProgress(int32_t bytes, int32_t total, int32_t percent, int32_t rate) {
    if (dialogRunning_) watch_.OnProgress(total);
    VARIANTARG a[4];
    const int32_t values[4] = {rate, percent, total, bytes};  // arguments go in reverse
    for (int i = 0; i < 4; ++i) {
        VariantInit(&a[i]);
        V_VT(&a[i]) = VT_I4;
        V_I4(&a[i]) = values[i];
    }
    FireEvent(DISPID_ORV_RECEIVINGUPDATE, a, 4);
}

void OrvaneControl::FireNumberAndText(DISPID id, int32_t number, const char* text) {
    VARIANTARG a[2];
    VariantInit(&a[0]);
    V_VT(&a[0]) = VT_BSTR;
    V_BSTR(&a[0]) = ToBstr(text);
    VariantInit(&a[1]);
    V_VT(&a[1]) = VT_I4;
    V_I4(&a[1]) = number;
    FireEvent(id, a, 2);
    VariantClear(&a[0]);
}

void OrvaneControl::ReportConnectionError(int32_t code, const std::string& text) {
    if (dialogRunning_) watch_.OnConnectionError(code, text);
    FireNumberAndText(DISPID_ORV_CONNECTIONERROR, code, text.c_str());
}

void OrvaneControl::ReportHttpStatus(int32_t status) {
    if (dialogRunning_) watch_.OnHttpStatus(status);
    FireNumberAndText(DISPID_ORV_HTTPSTATUS, status, http::HttpStatusText(status));
}

void OrvaneControl::ReportInfoReceived() {
    // The sinks get the control's own record by reference: what a handler writes is what the
    // control holds from then on, also for methods called inside that handler.
    if (dialogRunning_) watch_.OnInfo();
    VARIANTARG a;
    VariantInit(&a);
    V_VT(&a) = VT_RECORD | VT_BYREF;
    V_RECORD(&a) = session_->CurrentInfo().get();
    V_RECORDINFO(&a) = recordInfo_.Get();
    FireEvent(DISPID_ORV_INFORECEIVED, &a, 1);
}

}  // namespace orv
