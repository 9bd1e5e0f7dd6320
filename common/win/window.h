// Binds a C++ object to its window or dialog, once for every window class of the project: the
// static procedure stores `this` when the window is created (WM_NCCREATE, from the creation
// parameter) or the dialog starts (WM_INITDIALOG, from its parameter), forwards every later
// message to the object's HandleMessage, and forgets the object at WM_NCDESTROY.
//
//   class Form : public orv::win::DialogBase<Form> {
//       friend DialogBase;
//       INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
//   };
//   CreateDialogParamA(instance, template, owner, Form::DialogProc,
//   reinterpret_cast<LPARAM>(&form));
#pragma once

#include <windows.h>

namespace orv::win {

template <class T>
class DialogBase {
   public:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        T* self = nullptr;
        if (message == WM_INITDIALOG) {
            self = reinterpret_cast<T*>(lParam);
            if (self) static_cast<DialogBase*>(self)->window_ = window;
            SetWindowLongPtrW(window, DWLP_USER, lParam);
        } else {
            self = reinterpret_cast<T*>(GetWindowLongPtrW(window, DWLP_USER));
        }
        if (!self) return FALSE;  // messages before WM_INITDIALOG
        const INT_PTR result = self->HandleMessage(message, wParam, lParam);
        if (message == WM_NCDESTROY) {
            SetWindowLongPtrW(window, DWLP_USER, 0);
            static_cast<DialogBase*>(self)->window_ = nullptr;
        }
        return result;
    }

    HWND Handle() const { return window_; }

   protected:
    HWND window_ = nullptr;
};

template <class T>
class WindowBase {
   public:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        T* self = nullptr;
        if (message == WM_NCCREATE) {
            // lpCreateParams stands at the same place in the ANSI and the wide record.
            self = static_cast<T*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
            if (self) static_cast<WindowBase*>(self)->window_ = window;
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        } else {
            self = reinterpret_cast<T*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        }
        if (!self) {  // messages before WM_NCCREATE, or a window created without an object
            return IsWindowUnicode(window) ? DefWindowProcW(window, message, wParam, lParam)
                                           : DefWindowProcA(window, message, wParam, lParam);
        }
        const LRESULT result = self->HandleMessage(message, wParam, lParam);
        if (message == WM_NCDESTROY) {
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            static_cast<WindowBase*>(self)->window_ = nullptr;
        }
        return result;
    }

    HWND Handle() const { return window_; }

   protected:
    HWND window_ = nullptr;
};

}  // namespace orv::win
