// The winusb.dll variants that lack one entry point, loaded the way a test of the
// product's "entry point missing" handling loads them: by full path first, after which
// the product's LoadLibraryW(L"winusb.dll") finds that same module.
#include <gtest/gtest.h>

#include <string>

#include "sim/SimControlApi.h"

namespace {

const char* const kEntryPoints[] = {"WinUsb_Initialize",    "WinUsb_Free",     "WinUsb_GetDescriptor",
                                    "WinUsb_QueryPipe",     "WinUsb_SetPipePolicy", "WinUsb_ReadPipe",
                                    "WinUsb_WritePipe",     "WinUsb_ControlTransfer", "WinUsb_AbortPipe"};

std::wstring besideTheProgram(const wchar_t* relative) {
  wchar_t self[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, n);
  return path.substr(0, path.rfind(L'\\') + 1) + relative;
}

void expectOnlyMissing(const wchar_t* relative, const std::string& missing) {
  SCOPED_TRACE(missing);
  HMODULE variant = LoadLibraryW(besideTheProgram(relative).c_str());
  ASSERT_NE(variant, nullptr);
  HMODULE byName = LoadLibraryW(L"winusb.dll");
  EXPECT_EQ(byName, variant);
  for (const char* name : kEntryPoints)
    EXPECT_EQ(GetProcAddress(variant, name) == nullptr, missing == name) << name;
  SimControlApi sim;
  EXPECT_TRUE(sim.bind(variant));
  if (byName) FreeLibrary(byName);
  FreeLibrary(variant);
  EXPECT_EQ(GetModuleHandleW(L"winusb.dll"), nullptr);
}

}  // namespace

TEST(SimVariants, EachVariantLacksExactlyItsEntryPoint) {
  // Before any variant: nothing of ours is loaded in this process.
  ASSERT_EQ(GetModuleHandleW(L"winusb.dll"), nullptr);
  expectOnlyMissing(L"winusb_noabort\\winusb.dll", "WinUsb_AbortPipe");
  expectOnlyMissing(L"winusb_noread\\winusb.dll", "WinUsb_ReadPipe");
  expectOnlyMissing(L"winusb_nocontrol\\winusb.dll", "WinUsb_ControlTransfer");
  expectOnlyMissing(L"winusb.dll", "");
}
