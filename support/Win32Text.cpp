#include "support/Win32Text.h"

#include "support/LAnsiArg.h"
#include "support/LWideArg.h"
#include "support/LWideCharArray.h"
#include "support/TextConversion.h"
#include "support/Variant.h"
#include "support/Win32TextForms.h"

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <type_traits>

namespace w32 {
namespace {

// Program text in the platform form of the call. get() gives the converted text; orNull()
// keeps a null input null, for the calls where null means "none".
template <bool kAnsi>
class TextArg;

template <>
class TextArg<false> {
 public:
  explicit TextArg(const char* utf8) : arg_(utf8), isNull_(utf8 == nullptr) {}
  bool ok() const { return true; }
  uint32_t error() const { return 0; }
  const wchar_t* get() const { return arg_.text(); }
  const wchar_t* orNull() const { return isNull_ ? nullptr : arg_.text(); }
  uint32_t length() const { return arg_.length(); }

 private:
  LWideArg arg_;
  bool isNull_;
};

template <>
class TextArg<true> {
 public:
  explicit TextArg(const char* utf8) : arg_(utf8), isNull_(utf8 == nullptr) {}
  bool ok() const { return arg_.ok(); }
  uint32_t error() const { return arg_.error(); }
  const char* get() const { return arg_.text(); }
  const char* orNull() const { return isNull_ ? nullptr : arg_.text(); }
  uint32_t length() const { return arg_.length(); }

 private:
  LAnsiArg arg_;
  bool isNull_;
};

RegQueryGapHook regQueryGapHook = nullptr;

// A call whose text cannot be given to the platform fails without being made.
template <class Result>
Result refuse(uint32_t error, Result result) {
  SetLastError(error);
  return result;
}

// Counted text in the platform form (UTF-16 units or ANSI bytes) as UTF-8; empty when the
// conversion fails.
template <bool kAnsi>
LString platformText(const void* text, uint32_t bytes) {
  LHeapBuffer utf8;
  uint32_t error;
  if constexpr (kAnsi) {
    error = ansiToUtf8(static_cast<const char*>(text), bytes, utf8);
  } else {
    error = wideToUtf8(static_cast<const wchar_t*>(text), bytes / 2, utf8);
  }
  if (error != 0) return LString();
  return LString::make(reinterpret_cast<const char*>(utf8.data()), utf8.count());
}

}  // namespace

// --- Files and modules ---------------------------------------------------------------

template <bool A>
HANDLE TextForm<A>::createFile(const char* path, DWORD access, DWORD share, DWORD creation,
                               DWORD flags) {
  TextArg<A> name(path);
  if (!name.ok()) return refuse(name.error(), INVALID_HANDLE_VALUE);
  if constexpr (A) {
    return CreateFileA(name.get(), access, share, nullptr, creation, flags, nullptr);
  } else {
    return CreateFileW(name.get(), access, share, nullptr, creation, flags, nullptr);
  }
}

template <bool A>
HMODULE TextForm<A>::getModuleHandle(const char* moduleName) {
  TextArg<A> name(moduleName);
  if (!name.ok()) return refuse(name.error(), HMODULE{});
  if constexpr (A) return GetModuleHandleA(name.orNull());
  else return GetModuleHandleW(name.orNull());
}

template <bool A>
HMODULE TextForm<A>::loadLibrary(const char* libraryName) {
  TextArg<A> name(libraryName);
  if (!name.ok()) return refuse(name.error(), HMODULE{});
  if constexpr (A) return LoadLibraryA(name.get());
  else return LoadLibraryW(name.get());
}

// --- Registry ------------------------------------------------------------------------

template <bool A>
LONG TextForm<A>::regOpenKey(HKEY parent, const char* subkey, REGSAM access, HKEY* out) {
  TextArg<A> name(subkey);
  if (!name.ok()) return static_cast<LONG>(name.error());
  if constexpr (A) return RegOpenKeyExA(parent, name.get(), 0, access, out);
  else return RegOpenKeyExW(parent, name.get(), 0, access, out);
}

template <bool A>
LONG TextForm<A>::regCreateKey(HKEY parent, const char* subkey, REGSAM access, HKEY* out) {
  TextArg<A> name(subkey);
  if (!name.ok()) return static_cast<LONG>(name.error());
  if constexpr (A) {
    return RegCreateKeyExA(parent, name.get(), 0, nullptr, 0, access, nullptr, out, nullptr);
  } else {
    return RegCreateKeyExW(parent, name.get(), 0, nullptr, 0, access, nullptr, out, nullptr);
  }
}

template <bool A>
LONG TextForm<A>::regQueryValue(HKEY key, const char* valueName, LHeapBuffer& data, DWORD* type) {
  TextArg<A> name(valueName);
  if (!name.ok()) return static_cast<LONG>(name.error());
  auto query = [&](DWORD* valueType, BYTE* bytes, DWORD* size) -> LONG {
    if constexpr (A) return RegQueryValueExA(key, name.orNull(), nullptr, valueType, bytes, size);
    else return RegQueryValueExW(key, name.orNull(), nullptr, valueType, bytes, size);
  };
  DWORD valueType = 0;
  DWORD size = 0;
  LONG result = query(&valueType, nullptr, &size);
  if (result != ERROR_SUCCESS) return result;
  if (!data.resize(size, false)) return ERROR_NOT_ENOUGH_MEMORY;
  if (type != nullptr) *type = valueType;
  if (regQueryGapHook != nullptr) regQueryGapHook(key, valueName);
  result = query(nullptr, data.data(), &size);
  if (result != ERROR_SUCCESS) return result;
  // The value may have shrunk since the size was learnt: the bytes past what the second
  // query wrote were never written.
  if (size < data.count() && !data.resize(size, true)) return ERROR_NOT_ENOUGH_MEMORY;
  return ERROR_SUCCESS;
}

template <bool A>
LONG TextForm<A>::regQueryString(HKEY key, const char* valueName, LString& out) {
  LHeapBuffer data;
  const LONG result = regQueryValue(key, valueName, data, nullptr);
  if (result != ERROR_SUCCESS) return result;
  // Every stored unit is converted, the stored terminator too: it ends the text for the
  // text functions while staying inside the length.
  out = platformText<A>(data.data(), data.count());
  return ERROR_SUCCESS;
}

template <bool A>
LONG TextForm<A>::regSetValue(HKEY key, const char* valueName, DWORD type, const void* data,
                              DWORD size) {
  TextArg<A> name(valueName);
  if (!name.ok()) return static_cast<LONG>(name.error());
  const BYTE* bytes = static_cast<const BYTE*>(data);
  if constexpr (A) return RegSetValueExA(key, name.orNull(), 0, type, bytes, size);
  else return RegSetValueExW(key, name.orNull(), 0, type, bytes, size);
}

template <bool A>
LONG TextForm<A>::regSetString(HKEY key, const char* valueName, const char* text) {
  TextArg<A> value(text);
  if (!value.ok()) return static_cast<LONG>(value.error());
  const DWORD size = (value.length() + 1) * sizeof(*value.get());
  return regSetValue(key, valueName, REG_SZ, value.get(), size);
}

template <bool A>
LONG TextForm<A>::regDeleteTree(HKEY parent, const char* subkey) {
  TextArg<A> name(subkey);
  if (!name.ok()) return static_cast<LONG>(name.error());
  if constexpr (A) return RegDeleteTreeA(parent, name.get());
  else return RegDeleteTreeW(parent, name.get());
}

// --- Windows and messages ------------------------------------------------------------

template <bool A>
ATOM TextForm<A>::registerClass(const char* className, WNDPROC procedure, HINSTANCE instance) {
  TextArg<A> name(className);
  if (!name.ok()) return refuse(name.error(), ATOM{0});
  if constexpr (A) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = name.get();
    return RegisterClassA(&windowClass);
  } else {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = name.get();
    return RegisterClassW(&windowClass);
  }
}

template <bool A>
BOOL TextForm<A>::unregisterClass(const char* className, HINSTANCE instance) {
  TextArg<A> name(className);
  if (!name.ok()) return refuse(name.error(), BOOL{FALSE});
  if constexpr (A) return UnregisterClassA(name.get(), instance);
  else return UnregisterClassW(name.get(), instance);
}

template <bool A>
HWND TextForm<A>::createWindowEx(DWORD exStyle, const char* className, const char* windowName,
                                 DWORD style, int x, int y, int width, int height, HWND parent,
                                 HMENU menu, HINSTANCE instance, void* param) {
  TextArg<A> classText(className);
  TextArg<A> title(windowName);
  if (!classText.ok()) return refuse(classText.error(), HWND{});
  if (!title.ok()) return refuse(title.error(), HWND{});
  if constexpr (A) {
    return CreateWindowExA(exStyle, classText.get(), title.orNull(), style, x, y, width, height,
                           parent, menu, instance, param);
  } else {
    return CreateWindowExW(exStyle, classText.get(), title.orNull(), style, x, y, width, height,
                           parent, menu, instance, param);
  }
}

template <bool A>
LRESULT TextForm<A>::defWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if constexpr (A) return DefWindowProcA(window, message, wParam, lParam);
  else return DefWindowProcW(window, message, wParam, lParam);
}

template <bool A>
BOOL TextForm<A>::postMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if constexpr (A) return PostMessageA(window, message, wParam, lParam);
  else return PostMessageW(window, message, wParam, lParam);
}

template <bool A>
LONG_PTR TextForm<A>::getWindowLongPtr(HWND window, int index) {
  if constexpr (A) return GetWindowLongPtrA(window, index);
  else return GetWindowLongPtrW(window, index);
}

template <bool A>
LONG_PTR TextForm<A>::setWindowLongPtr(HWND window, int index, LONG_PTR value) {
  // In 32-bit headers the ...LongPtr names are the LONG functions.
  if constexpr (A) return SetWindowLongPtrA(window, index, value);
  else return SetWindowLongPtrW(window, index, value);
}

template <bool A>
BOOL TextForm<A>::peekMessage(MSG* message, HWND window, UINT first, UINT last, UINT remove) {
  if constexpr (A) return PeekMessageA(message, window, first, last, remove);
  else return PeekMessageW(message, window, first, last, remove);
}

template <bool A>
LRESULT TextForm<A>::dispatchMessage(const MSG* message) {
  if constexpr (A) return DispatchMessageA(message);
  else return DispatchMessageW(message);
}

// --- Device enumeration --------------------------------------------------------------

namespace {
template <bool A>
using DetailData =
    std::conditional_t<A, SP_DEVICE_INTERFACE_DETAIL_DATA_A, SP_DEVICE_INTERFACE_DETAIL_DATA_W>;
}  // namespace

template <bool A>
HDEVINFO TextForm<A>::setupDiGetClassDevs(const GUID* classGuid, const char* enumerator,
                                          HWND parent, DWORD flags) {
  TextArg<A> name(enumerator);
  if (!name.ok()) return refuse(name.error(), HDEVINFO{INVALID_HANDLE_VALUE});
  if constexpr (A) return SetupDiGetClassDevsA(classGuid, name.orNull(), parent, flags);
  else return SetupDiGetClassDevsW(classGuid, name.orNull(), parent, flags);
}

template <bool A>
bool TextForm<A>::setupDiGetDeviceInterfaceDetail(HDEVINFO infoSet,
                                                  SP_DEVICE_INTERFACE_DATA* interfaceData,
                                                  LHeapBuffer& detail, SP_DEVINFO_DATA* devInfo) {
  auto query = [&](DetailData<A>* record, DWORD size, DWORD* required, SP_DEVINFO_DATA* info) {
    if constexpr (A) {
      return SetupDiGetDeviceInterfaceDetailA(infoSet, interfaceData, record, size, required, info);
    } else {
      return SetupDiGetDeviceInterfaceDetailW(infoSet, interfaceData, record, size, required, info);
    }
  };
  DWORD required = 0;
  query(nullptr, 0, &required, nullptr);
  if (required < sizeof(DetailData<A>)) return false;
  if (!detail.resize(required, false)) return false;
  auto* record = reinterpret_cast<DetailData<A>*>(detail.data());
  record->cbSize = sizeof(DetailData<A>);
  if (devInfo != nullptr) devInfo->cbSize = sizeof(SP_DEVINFO_DATA);
  return query(record, detail.count(), nullptr, devInfo) != FALSE;
}

template <bool A>
LString TextForm<A>::deviceInterfacePath(const LHeapBuffer& detail) {
  constexpr size_t kPathOffset = offsetof(DetailData<A>, DevicePath);
  if (detail.count() <= kPathOffset) return LString();
  const auto* record = reinterpret_cast<const DetailData<A>*>(detail.data());
  const size_t room = (detail.count() - kPathOffset) / sizeof(record->DevicePath[0]);
  size_t units = 0;
  while (units < room && record->DevicePath[units] != 0) ++units;
  return platformText<A>(record->DevicePath,
                         static_cast<uint32_t>(units * sizeof(record->DevicePath[0])));
}

template <bool A>
bool TextForm<A>::setupDiGetDeviceInstanceId(HDEVINFO infoSet, SP_DEVINFO_DATA* devInfo,
                                             LString& id) {
  DWORD required = 0;
  if constexpr (A) {
    SetupDiGetDeviceInstanceIdA(infoSet, devInfo, nullptr, 0, &required);
    LHeapBuffer buffer;
    if (required == 0 || !buffer.resize(required, false)) return false;
    char* text = reinterpret_cast<char*>(buffer.data());
    if (!SetupDiGetDeviceInstanceIdA(infoSet, devInfo, text, required, nullptr)) return false;
    id = platformText<A>(text, static_cast<uint32_t>(strnlen(text, required)));
  } else {
    SetupDiGetDeviceInstanceIdW(infoSet, devInfo, nullptr, 0, &required);
    LWideCharArray buffer(required);
    if (buffer.count() == 0) return false;
    if (!SetupDiGetDeviceInstanceIdW(infoSet, devInfo, buffer.data(), required, nullptr)) return false;
    id = platformText<A>(buffer.data(),
                         static_cast<uint32_t>(wcsnlen(buffer.data(), required) * sizeof(wchar_t)));
  }
  return true;
}

void setRegQueryGapHook(RegQueryGapHook hook) { regQueryGapHook = hook; }

template struct TextForm<false>;
template struct TextForm<true>;

// --- The form of this build ----------------------------------------------------------

using Form = TextForm<variant::kAnsiWin32Text>;

HANDLE createFile(const char* path, DWORD access, DWORD share, DWORD creation, DWORD flags) {
  return Form::createFile(path, access, share, creation, flags);
}
HMODULE getModuleHandle(const char* name) { return Form::getModuleHandle(name); }
HMODULE loadLibrary(const char* name) { return Form::loadLibrary(name); }

LONG regOpenKey(HKEY parent, const char* subkey, REGSAM access, HKEY* out) {
  return Form::regOpenKey(parent, subkey, access, out);
}
LONG regCreateKey(HKEY parent, const char* subkey, REGSAM access, HKEY* out) {
  return Form::regCreateKey(parent, subkey, access, out);
}
LONG regQueryValue(HKEY key, const char* valueName, LHeapBuffer& data, DWORD* type) {
  return Form::regQueryValue(key, valueName, data, type);
}
LONG regQueryString(HKEY key, const char* valueName, LString& out) {
  return Form::regQueryString(key, valueName, out);
}
LONG regSetValue(HKEY key, const char* valueName, DWORD type, const void* data, DWORD size) {
  return Form::regSetValue(key, valueName, type, data, size);
}
LONG regSetString(HKEY key, const char* valueName, const char* text) {
  return Form::regSetString(key, valueName, text);
}
LONG regDeleteTree(HKEY parent, const char* subkey) { return Form::regDeleteTree(parent, subkey); }

ATOM registerClass(const char* className, WNDPROC procedure, HINSTANCE instance) {
  return Form::registerClass(className, procedure, instance);
}
BOOL unregisterClass(const char* className, HINSTANCE instance) {
  return Form::unregisterClass(className, instance);
}
HWND createWindowEx(DWORD exStyle, const char* className, const char* windowName, DWORD style,
                    int x, int y, int width, int height, HWND parent, HMENU menu,
                    HINSTANCE instance, void* param) {
  return Form::createWindowEx(exStyle, className, windowName, style, x, y, width, height, parent,
                              menu, instance, param);
}
LRESULT defWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return Form::defWindowProc(window, message, wParam, lParam);
}
BOOL postMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return Form::postMessage(window, message, wParam, lParam);
}
LONG_PTR getWindowLongPtr(HWND window, int index) { return Form::getWindowLongPtr(window, index); }
LONG_PTR setWindowLongPtr(HWND window, int index, LONG_PTR value) {
  return Form::setWindowLongPtr(window, index, value);
}
BOOL peekMessage(MSG* message, HWND window, UINT first, UINT last, UINT remove) {
  return Form::peekMessage(message, window, first, last, remove);
}
LRESULT dispatchMessage(const MSG* message) { return Form::dispatchMessage(message); }

HDEVINFO setupDiGetClassDevs(const GUID* classGuid, const char* enumerator, HWND parent,
                             DWORD flags) {
  return Form::setupDiGetClassDevs(classGuid, enumerator, parent, flags);
}
bool setupDiGetDeviceInterfaceDetail(HDEVINFO infoSet, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                     LHeapBuffer& detail, SP_DEVINFO_DATA* devInfo) {
  return Form::setupDiGetDeviceInterfaceDetail(infoSet, interfaceData, detail, devInfo);
}
LString deviceInterfacePath(const LHeapBuffer& detail) { return Form::deviceInterfacePath(detail); }
bool setupDiGetDeviceInstanceId(HDEVINFO infoSet, SP_DEVINFO_DATA* devInfo, LString& id) {
  return Form::setupDiGetDeviceInstanceId(infoSet, devInfo, id);
}
HKEY setupDiOpenDeviceInterfaceRegKey(HDEVINFO infoSet, SP_DEVICE_INTERFACE_DATA* interfaceData,
                                      REGSAM access) {
  return SetupDiOpenDeviceInterfaceRegKey(infoSet, interfaceData, 0, access);
}

}  // namespace w32
