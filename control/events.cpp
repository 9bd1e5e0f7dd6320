// Raising the control's events to every connected sink.
#include "control/http/http_text.h"
#include "control/net/socket_error_text.h"
#include "control/orvane_control.h"

namespace orv {

void OrvaneControl::FireEvent(DISPID id, VARIANTARG* args, UINT count) {
    // Sinks are called on a copy of the list: a handler may advise, unadvise, or call any
    // method of the control, which may raise further events.
    AddRef();
    DISPPARAMS params = {args, nullptr, count, 0};
    for (IUnknown* s : events_.Snapshot()) {
        IDispatch* sink = nullptr;
        if (SUCCEEDED(s->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&sink)))) {
            sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                         nullptr, nullptr);
            sink->Release();
        }
        s->Release();
    }
    Release();
}

void OrvaneControl::FireUpdateReceived() {
    FireEvent(kEventUpdateReceived, nullptr, 0);
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
    FireEvent(kEventReceivingUpdate, a, 4);
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
    FireNumberAndText(kEventConnectionError, number, text.c_str());
}

void OrvaneControl::FireHttpStatus(int32_t status) {
    FireNumberAndText(kEventHttpStatus, status, http::HttpStatusText(status));
}

void OrvaneControl::FireInfoReceived() {
    // The sinks get the control's own record by reference: what a handler changes in it is
    // what the control holds afterwards.
    UPDATEINFO rec = {};
    rec.Name = ToBstr(currentInfo_.Name);
    rec.Version = ToBstr(currentInfo_.Version);
    rec.ReleaseDate = ToBstr(currentInfo_.ReleaseDate);
    rec.Description = ToBstr(currentInfo_.Description);
    rec.PackageFile = ToBstr(currentInfo_.PackageFile);
    rec.PackageSize = currentInfo_.PackageSize;
    rec.Reserved1 = ToBstr(currentInfo_.Reserved1);
    rec.Reserved2 = ToBstr(currentInfo_.Reserved2);
    VARIANTARG a;
    VariantInit(&a);
    V_VT(&a) = VT_RECORD | VT_BYREF;
    V_RECORD(&a) = &rec;
    V_RECORDINFO(&a) = recordInfo_;
    FireEvent(kEventInfoReceived, &a, 1);
    currentInfo_.Name = ToAnsi(rec.Name);
    currentInfo_.Version = ToAnsi(rec.Version);
    currentInfo_.ReleaseDate = ToAnsi(rec.ReleaseDate);
    currentInfo_.Description = ToAnsi(rec.Description);
    currentInfo_.PackageFile = ToAnsi(rec.PackageFile);
    currentInfo_.PackageSize = rec.PackageSize;
    currentInfo_.Reserved1 = ToAnsi(rec.Reserved1);
    currentInfo_.Reserved2 = ToAnsi(rec.Reserved2);
    for (BSTR b : {rec.Name, rec.Version, rec.ReleaseDate, rec.Description, rec.PackageFile,
                   rec.Reserved1, rec.Reserved2})
        SysFreeString(b);
}

}  // namespace orv
