#include "framework/LMessageWindow.h"

#include "support/Win32Text.h"

// The linker's symbol for the start of the image this code is linked into: the DLL when
// the framework is inside a DLL, the executable otherwise.
extern "C" IMAGE_DOS_HEADER __ImageBase;

HINSTANCE LMessageWindow::ownModule() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

LMessageWindow::~LMessageWindow() { destroy(); }

bool LMessageWindow::create(const char* name, void* user, Callback callback, bool messageOnly) {
  if (window_ != nullptr) return false;
  user_ = user;
  callback_ = callback;
  className_ = name;
  HINSTANCE module = ownModule();
  // Fails when the class exists already (another window of ours has it); that is fine.
  w32::registerClass(className_, &LMessageWindow::windowProcedure, module);
  window_ = w32::createWindowEx(0, className_, className_, 0, 0, 0, 0, 0,
                                messageOnly ? HWND_MESSAGE : nullptr, nullptr, module, nullptr);
  if (window_ == nullptr) {
    w32::unregisterClass(className_, module);
    return false;
  }
  w32::setWindowLongPtr(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  return true;
}

void LMessageWindow::destroy() {
  if (window_ == nullptr) return;
  HWND window = window_;
  window_ = nullptr;
  w32::setWindowLongPtr(window, GWLP_USERDATA, 0);
  DestroyWindow(window);
  // Refused while other windows of the class exist; the last one takes the class along.
  w32::unregisterClass(className_, ownModule());
}

LRESULT CALLBACK LMessageWindow::windowProcedure(HWND window, UINT message, WPARAM wParam,
                                                 LPARAM lParam) {
  auto* record = reinterpret_cast<LMessageWindow*>(w32::getWindowLongPtr(window, GWLP_USERDATA));
  if (record != nullptr && record->callback_ != nullptr) {
    // The callback may destroy the record: nothing of it is touched afterwards.
    LRESULT result = 0;
    if (record->callback_(record->user_, message, wParam, lParam, &result)) return result;
  }
  return w32::defWindowProc(window, message, wParam, lParam);
}
