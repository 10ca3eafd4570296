// Both forms of the Win32 text wrappers, side by side: TextForm<false> calls the wide
// (...W) functions, TextForm<true> the ANSI (...A) ones. The functions of Win32Text.h use
// the form of the build (variant::kAnsiWin32Text); tests use this header to run the other
// form as well. Each member behaves as the Win32Text.h function of the same name.
#pragma once

#include "support/LHeapBuffer.h"
#include "support/LString.h"
#include "support/Windows.h"

#include <setupapi.h>

namespace w32 {

template <bool kAnsi>
struct TextForm {
  static HANDLE createFile(const char* path, DWORD access, DWORD share, DWORD creation, DWORD flags);
  static HMODULE getModuleHandle(const char* name);
  static HMODULE loadLibrary(const char* name);

  static LONG regOpenKey(HKEY parent, const char* subkey, REGSAM access, HKEY* out);
  static LONG regCreateKey(HKEY parent, const char* subkey, REGSAM access, HKEY* out);
  static LONG regQueryValue(HKEY key, const char* valueName, LHeapBuffer& data, DWORD* type);
  static LONG regQueryString(HKEY key, const char* valueName, LString& out);
  static LONG regSetValue(HKEY key, const char* valueName, DWORD type, const void* data, DWORD size);
  static LONG regSetString(HKEY key, const char* valueName, const char* text);
  static LONG regDeleteTree(HKEY parent, const char* subkey);

  static ATOM registerClass(const char* className, WNDPROC procedure, HINSTANCE instance);
  static BOOL unregisterClass(const char* className, HINSTANCE instance);
  static HWND createWindowEx(DWORD exStyle, const char* className, const char* windowName,
                             DWORD style, int x, int y, int width, int height, HWND parent,
                             HMENU menu, HINSTANCE instance, void* param);
  static LRESULT defWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static BOOL postMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LONG_PTR getWindowLongPtr(HWND window, int index);
  static LONG_PTR setWindowLongPtr(HWND window, int index, LONG_PTR value);
  static BOOL peekMessage(MSG* message, HWND window, UINT first, UINT last, UINT remove);
  static LRESULT dispatchMessage(const MSG* message);

  static HDEVINFO setupDiGetClassDevs(const GUID* classGuid, const char* enumerator, HWND parent,
                                      DWORD flags);
  static bool setupDiGetDeviceInterfaceDetail(HDEVINFO infoSet,
                                              SP_DEVICE_INTERFACE_DATA* interfaceData,
                                              LHeapBuffer& detail, SP_DEVINFO_DATA* devInfo);
  static LString deviceInterfacePath(const LHeapBuffer& detail);
  static bool setupDiGetDeviceInstanceId(HDEVINFO infoSet, SP_DEVINFO_DATA* devInfo, LString& id);
};

// Called by regQueryValue (either form) after it has learnt the value's size and before it
// reads the data, with the key and the value name; null (the default) calls nothing.
// Tests use it to change the value in that gap, as another program may. Set it only while
// no other thread reads the registry through these wrappers.
using RegQueryGapHook = void (*)(HKEY key, const char* valueName);
void setRegQueryGapHook(RegQueryGapHook hook);

extern template struct TextForm<false>;
extern template struct TextForm<true>;

}  // namespace w32
