// Raising the control's events to every connected sink.
#include "control/http/http_text.h"
#include "control/net/socket_error_text.h"
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

void OrvaneControl::FireUpdateReceived() {
    FireEvent(DISPID_ORV_UPDATERECEIVED, nullptr, 0);
}

void OrvaneControl::FireReceivingUpdate(int32_t bytes, int32_t total, int32_t percent,
                                        int32_t rate) {
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

void OrvaneControl::FireConnectionError(int32_t number) {
    FireConnectionErrorText(number, SocketErrorText(number));
}

void OrvaneControl::FireConnectionErrorText(int32_t number, const std::string& text) {
    FireNumberAndText(DISPID_ORV_CONNECTIONERROR, number, text.c_str());
}

void OrvaneControl::FireHttpStatus(int32_t status) {
    FireNumberAndText(DISPID_ORV_HTTPSTATUS, status, http::HttpStatusText(status));
}

void OrvaneControl::FireInfoReceived() {
    // The sinks get the control's own record by reference: what a handler writes is what the
    // control holds from then on, also for methods called inside that handler.
    VARIANTARG a;
    VariantInit(&a);
    V_VT(&a) = VT_RECORD | VT_BYREF;
    V_RECORD(&a) = currentInfo_.get();
    V_RECORDINFO(&a) = recordInfo_.Get();
    FireEvent(DISPID_ORV_INFORECEIVED, &a, 1);
}

}  // namespace orv
