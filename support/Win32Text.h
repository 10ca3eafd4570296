// The one wrapper layer for Win32 calls that take or return text. Every function takes
// UTF-8 and gives UTF-8 (LString). The x86-64 build calls the wide (...W) forms through
// LWideArg; the x86 build calls the ANSI (...A) forms through LAnsiArg
// (variant::kAnsiWin32Text). In the ANSI forms, text the ANSI code page cannot represent
// makes the call fail cleanly (the platform is not called; the error is
// ERROR_NO_UNICODE_TRANSLATION, set with SetLastError where the call reports through
// GetLastError), and ANSI results are converted to UTF-8 at once.
//
// Apart from text, each wrapper passes its arguments through unchanged and returns what
// the platform call returns. Null text pointers mean "no text" where the platform call
// accepts null (module name, enumerator, window name, value name); elsewhere null counts
// as the empty text. Any thread, as the wrapped call allows.
#pragma once

#include "support/LHeapBuffer.h"
#include "support/LString.h"
#include "support/Windows.h"

#include <setupapi.h>

#include <cstdint>

namespace w32 {

// --- Files and modules ---------------------------------------------------------------
// CreateFile with no security attributes and no template; INVALID_HANDLE_VALUE on failure.
HANDLE createFile(const char* path, DWORD access, DWORD share, DWORD creation, DWORD flags);
// GetModuleHandle; null name = the process's executable.
HMODULE getModuleHandle(const char* name);
HMODULE loadLibrary(const char* name);

// --- Registry (results are Win32 error codes) ---------------------------------------
LONG regOpenKey(HKEY parent, const char* subkey, REGSAM access, HKEY* out);
// RegCreateKeyEx with no class, options 0, no security attributes, no disposition.
LONG regCreateKey(HKEY parent, const char* subkey, REGSAM access, HKEY* out);
// RegQueryValueEx twice: the size, then the data into `data`, whose count is then the size
// the second query reports (the value may have shrunk in between). The type (`type` may be
// null) is stored once the first query has succeeded and the buffer has grown, before the
// second query, so it is set even when that one fails. On failure `data` is left as it
// was or holds a partial block.
LONG regQueryValue(HKEY key, const char* valueName, LHeapBuffer& data, DWORD* type);
// A value read as text (UTF-16 for W, ANSI for A; the type is not checked), converted to
// UTF-8. The text ends at the first stored terminator. On failure `out` is unchanged.
LONG regQueryString(HKEY key, const char* valueName, LString& out);
// RegSetValueEx with raw bytes (text in `data` is passed as it is).
LONG regSetValue(HKEY key, const char* valueName, DWORD type, const void* data, DWORD size);
// A REG_SZ value from UTF-8 text.
LONG regSetString(HKEY key, const char* valueName, const char* text);
// RegDeleteTree: the subkey and everything below it.
LONG regDeleteTree(HKEY parent, const char* subkey);

// --- Windows and messages ------------------------------------------------------------
// RegisterClass with style 0, the given procedure and instance, no extra bytes, icon,
// cursor, brush or menu.
ATOM registerClass(const char* className, WNDPROC procedure, HINSTANCE instance);
BOOL unregisterClass(const char* className, HINSTANCE instance);
HWND createWindowEx(DWORD exStyle, const char* className, const char* windowName, DWORD style,
                    int x, int y, int width, int height, HWND parent, HMENU menu,
                    HINSTANCE instance, void* param);
LRESULT defWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
BOOL postMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LONG_PTR getWindowLongPtr(HWND window, int index);
LONG_PTR setWindowLongPtr(HWND window, int index, LONG_PTR value);
BOOL peekMessage(MSG* message, HWND window, UINT first, UINT last, UINT remove);
LRESULT dispatchMessage(const MSG* message);

// --- Device enumeration --------------------------------------------------------------
// SetupDiGetClassDevs; enumerator may be null. INVALID_HANDLE_VALUE on failure.
HDEVINFO setupDiGetClassDevs(const GUID* classGuid, const char* enumerator, HWND parent,
                             DWORD flags);
// The detail record of one interface into `detail`: learns the size, grows the buffer,
// sets cbSize to the fixed size of the detail structure of the form in use, and fetches
// it (filling `devInfo` when not null; its cbSize is set here). False on any failure.
bool setupDiGetDeviceInterfaceDetail(HDEVINFO infoSet, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                     LHeapBuffer& detail, SP_DEVINFO_DATA* devInfo);
// The DevicePath of a detail record filled above, as UTF-8; empty when `detail` is empty.
LString deviceInterfacePath(const LHeapBuffer& detail);
// The device instance id (size first, then the text), as UTF-8. False (and `id` left
// unchanged) on any failure.
bool setupDiGetDeviceInstanceId(HDEVINFO infoSet, SP_DEVINFO_DATA* devInfo, LString& id);
// SetupDiOpenDeviceInterfaceRegKey (reserved 0); INVALID_HANDLE_VALUE on failure. It has
// no text, but sits here beside the other enumeration calls.
HKEY setupDiOpenDeviceInterfaceRegKey(HDEVINFO infoSet, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                      REGSAM access);

}  // namespace w32
