// The Win32 text wrappers, run in both forms (wide and ANSI) in every build: the ANSI form
// must pass text that the code page represents and refuse text that it does not.
#include "support/Win32Text.h"
#include "support/Win32TextForms.h"
#include "tests/support/AnsiCodePageDouble.h"

#include <gtest/gtest.h>

#include <string>

namespace {

template <class Form>
class Win32TextTest : public testing::Test {
 protected:
  static constexpr bool kAnsi = std::is_same_v<Form, w32::TextForm<true>>;
  // U+00E9 is in code page 1252; U+4E2D is not.
  static constexpr const char* kRepresentable = "caf\xc3\xa9";
  static constexpr const char* kForeign = "\xe4\xb8\xad";
};

using Forms = testing::Types<w32::TextForm<false>, w32::TextForm<true>>;
TYPED_TEST_SUITE(Win32TextTest, Forms);

std::string scratchName(const char* stem) {
  return std::string(stem) + "-" + std::to_string(GetCurrentProcessId());
}

TYPED_TEST(Win32TextTest, FilesWithNonAsciiNames) {
  const std::string path = scratchName("win32text") + this->kRepresentable + ".tmp";
  HANDLE file = TypeParam::createFile(path.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  CloseHandle(file);
  // The file has the intended UTF-16 name, whichever form made it.
  const std::wstring wide = std::wstring(path.begin(), path.end() - 9) + L"caf\u00e9.tmp";
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(wide.c_str()));
  EXPECT_TRUE(DeleteFileW(wide.c_str()));

  const std::string foreign = scratchName("win32text") + this->kForeign + ".tmp";
  file = TypeParam::createFile(foreign.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS, 0);
  if (this->kAnsi) {
    EXPECT_EQ(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((scratchName("win32text") + "?.tmp").c_str()));
  } else {
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
    EXPECT_TRUE(DeleteFileW((std::wstring(foreign.begin(), foreign.end() - 7) + L"\u4e2d.tmp").c_str()));
  }
}

TYPED_TEST(Win32TextTest, Modules) {
  EXPECT_EQ(GetModuleHandleW(nullptr), TypeParam::getModuleHandle(nullptr));
  EXPECT_EQ(GetModuleHandleW(L"kernel32.dll"), TypeParam::getModuleHandle("kernel32.dll"));
  HMODULE library = TypeParam::loadLibrary("version.dll");
  ASSERT_NE(nullptr, library);
  FreeLibrary(library);
  EXPECT_EQ(nullptr, TypeParam::loadLibrary("missing-library.dll"));
  EXPECT_EQ(nullptr, TypeParam::loadLibrary((std::string(this->kForeign) + ".dll").c_str()));
}

TYPED_TEST(Win32TextTest, RegistryTextBothWays) {
  const std::string path = "Software\\prismlux-tests\\" + scratchName("win32text") + this->kRepresentable;
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, TypeParam::regCreateKey(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS, &key));
  EXPECT_EQ(ERROR_SUCCESS, TypeParam::regSetString(key, "Name\xc3\xa9", "v\xc3\xa9rt"));
  LString value;
  ASSERT_EQ(ERROR_SUCCESS, TypeParam::regQueryString(key, "Name\xc3\xa9", value));
  EXPECT_STREQ("v\xc3\xa9rt", value.text());
  // Read back through the other form, the stored text is the same.
  LString other;
  ASSERT_EQ(ERROR_SUCCESS, w32::TextForm<!TestFixture::kAnsi>::regQueryString(key, "Name\xc3\xa9", other));
  EXPECT_STREQ("v\xc3\xa9rt", other.text());

  const LONG foreign = TypeParam::regSetString(key, this->kForeign, "x");
  LString missing = LString::fromUtf8("keep");
  const LONG foreignRead = TypeParam::regQueryString(key, this->kForeign, missing);
  if (this->kAnsi) {
    EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, foreign);
    EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, foreignRead);
    EXPECT_STREQ("keep", missing.text());
  } else {
    EXPECT_EQ(ERROR_SUCCESS, foreign);
    EXPECT_EQ(ERROR_SUCCESS, foreignRead);
  }
  RegCloseKey(key);
  EXPECT_EQ(ERROR_SUCCESS, TypeParam::regDeleteTree(HKEY_CURRENT_USER, path.c_str()));
  EXPECT_NE(ERROR_SUCCESS, TypeParam::regOpenKey(HKEY_CURRENT_USER, path.c_str(), KEY_READ, &key));
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\prismlux-tests");
}

// Another program may shorten a value between the size query and the data query.
TYPED_TEST(Win32TextTest, ValueThatShrinksBetweenTheQueriesIsReadAtItsNewSize) {
  const std::string path = "Software\\prismlux-tests\\" + scratchName("win32text-gap");
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, TypeParam::regCreateKey(HKEY_CURRENT_USER, path.c_str(), KEY_ALL_ACCESS, &key));
  ASSERT_EQ(ERROR_SUCCESS, TypeParam::regSetString(key, "Serial", "A-LONG-SERIAL-0001"));
  w32::setRegQueryGapHook([](HKEY gapKey, const char* name) { w32::regSetString(gapKey, name, "AB"); });
  LString value;
  const LONG stringRead = TypeParam::regQueryString(key, "Serial", value);
  LHeapBuffer data;
  DWORD type = 0;
  const LONG rawRead = TypeParam::regQueryValue(key, "Serial", data, &type);
  w32::setRegQueryGapHook(nullptr);

  ASSERT_EQ(ERROR_SUCCESS, stringRead);
  EXPECT_STREQ("AB", value.text());
  EXPECT_EQ(3u, value.length());  // "AB" and the stored terminator, nothing after it
  ASSERT_EQ(ERROR_SUCCESS, rawRead);
  EXPECT_EQ(3u * (this->kAnsi ? 1u : 2u), data.count());
  RegCloseKey(key);
  EXPECT_EQ(ERROR_SUCCESS, TypeParam::regDeleteTree(HKEY_CURRENT_USER, path.c_str()));
  RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\prismlux-tests");
}

struct Seen {
  UINT message = 0;
  WPARAM wParam = 0;
};

template <class Form>
LRESULT CALLBACK recordingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_USER + 7) {
    auto* seen = reinterpret_cast<Seen*>(Form::getWindowLongPtr(window, GWLP_USERDATA));
    seen->message = message;
    seen->wParam = wParam;
    return 1;
  }
  return Form::defWindowProc(window, message, wParam, lParam);
}

TYPED_TEST(Win32TextTest, MessageOnlyWindowRoundTrip) {
  const std::string className = scratchName("prismlux-test-window");
  HINSTANCE instance = GetModuleHandleW(nullptr);
  ASSERT_NE(0, TypeParam::registerClass(className.c_str(), recordingProcedure<TypeParam>, instance));
  HWND window = TypeParam::createWindowEx(0, className.c_str(), className.c_str(), 0, 0, 0, 0, 0,
                                          HWND_MESSAGE, nullptr, instance, nullptr);
  ASSERT_NE(nullptr, window);
  Seen seen;
  TypeParam::setWindowLongPtr(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&seen));
  ASSERT_TRUE(TypeParam::postMessage(window, WM_USER + 7, 42, 0));
  MSG message;
  while (TypeParam::peekMessage(&message, nullptr, 0, 0, PM_REMOVE)) TypeParam::dispatchMessage(&message);
  EXPECT_EQ(static_cast<UINT>(WM_USER + 7), seen.message);
  EXPECT_EQ(42u, seen.wParam);
  DestroyWindow(window);
  EXPECT_TRUE(TypeParam::unregisterClass(className.c_str(), instance));

  if (this->kAnsi) {
    EXPECT_EQ(0, TypeParam::registerClass(this->kForeign, recordingProcedure<TypeParam>, instance));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
  }
}

// A system whose ANSI code page is UTF-8 takes every text in the ANSI calls.
TEST(Win32TextAnsiForm, CallsWorkWhenTheAnsiCodePageIsUtf8) {
  using Ansi = w32::TextForm<true>;
  testtext::ScopedAnsiCodePage utf8CodePage(CP_UTF8);
  HMODULE library = Ansi::loadLibrary("version.dll");
  EXPECT_NE(nullptr, library) << GetLastError();
  if (library != nullptr) FreeLibrary(library);

  const std::string className = scratchName("prismlux-utf8-acp");
  HINSTANCE instance = GetModuleHandleW(nullptr);
  EXPECT_NE(0, Ansi::registerClass(className.c_str(), DefWindowProcA, instance)) << GetLastError();
  EXPECT_TRUE(Ansi::unregisterClass(className.c_str(), instance));
}

TYPED_TEST(Win32TextTest, DeviceSetsOfAnUnusedClassAreEmpty) {
  const GUID unused = {0x5e1c0a77, 0x1b2d, 0x4c3e, {0x9f, 0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76}};
  HDEVINFO set = TypeParam::setupDiGetClassDevs(&unused, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(INVALID_HANDLE_VALUE, set);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &unused, 0, &data));
  LHeapBuffer detail;
  EXPECT_FALSE(TypeParam::setupDiGetDeviceInterfaceDetail(set, &data, detail, nullptr));
  EXPECT_TRUE(TypeParam::deviceInterfacePath(detail).isEmpty());
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace
