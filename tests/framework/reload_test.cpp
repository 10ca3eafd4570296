// The framework inside a DLL that is loaded, used, unloaded and loaded again, while the
// test executable keeps an environment of its own: the "CEnv" class of each image must
// lead to that image's own window procedure, and none may outlive its image.
#include "framework/CEnv.h"
#include "framework/LAsyncEvent.h"
#include "support/Variant.h"
#include "support/Win32Text.h"

#include "FrameworkTesting.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

struct Probe {
  HMODULE module = nullptr;
  int (*createEnv)() = nullptr;
  void (*destroyEnv)() = nullptr;
  int (*eventRoundTrip)() = nullptr;
  HWND (*window)() = nullptr;

  bool load() {
    module = w32::loadLibrary("framework_reload_probe.dll");
    if (module == nullptr) return false;
    createEnv = reinterpret_cast<int (*)()>(GetProcAddress(module, "probeCreateEnv"));
    destroyEnv = reinterpret_cast<void (*)()>(GetProcAddress(module, "probeDestroyEnv"));
    eventRoundTrip = reinterpret_cast<int (*)()>(GetProcAddress(module, "probeEventRoundTrip"));
    window = reinterpret_cast<HWND (*)()>(GetProcAddress(module, "probeWindow"));
    return createEnv && destroyEnv && eventRoundTrip && window;
  }
};

bool insideImage(const void* address, HMODULE module) {
  auto* base = reinterpret_cast<const uint8_t*>(module);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  auto* p = static_cast<const uint8_t*>(address);
  return p >= base && p < base + nt->OptionalHeader.SizeOfImage;
}

// Asked in the character set the class was registered in: asked in the other one, the
// system hands out a conversion stub instead of the procedure itself.
bool classRegisteredUnder(HMODULE module, WNDPROC* procedure = nullptr) {
  WNDPROC found = nullptr;
  if constexpr (variant::kAnsiWin32Text) {
    WNDCLASSEXA info{};
    info.cbSize = sizeof(info);
    if (!GetClassInfoExA(module, "CEnv", &info)) return false;
    found = info.lpfnWndProc;
  } else {
    WNDCLASSEXW info{};
    info.cbSize = sizeof(info);
    if (!GetClassInfoExW(module, L"CEnv", &info)) return false;
    found = info.lpfnWndProc;
  }
  if (procedure != nullptr) *procedure = found;
  return true;
}

TEST(ReloadTest, FrameworkInADllSurvivesUnloadAndReloadBesideTheHostsOwn) {
  testing_support::Watchdog watchdog(30000, "FrameworkInADllSurvivesUnloadAndReload");
  // The executable's own environment stays up the whole time.
  std::unique_ptr<CEnv> hostEnv(CEnv::create());
  ASSERT_NE(hostEnv, nullptr);
  HMODULE host = w32::getModuleHandle(nullptr);
  EXPECT_TRUE(classRegisteredUnder(host));

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    Probe probe;
    ASSERT_TRUE(probe.load());
    ASSERT_EQ(probe.createEnv(), 1);
    WNDPROC procedure = nullptr;
    ASSERT_TRUE(classRegisteredUnder(probe.module, &procedure));
    EXPECT_TRUE(insideImage(reinterpret_cast<const void*>(procedure), probe.module));
    EXPECT_NE(probe.window(), hostEnv->window());
    EXPECT_EQ(probe.eventRoundTrip(), 1);

    probe.destroyEnv();
    EXPECT_FALSE(classRegisteredUnder(probe.module));
    HMODULE unloaded = probe.module;
    ASSERT_TRUE(FreeLibrary(probe.module));
    EXPECT_EQ(w32::getModuleHandle("framework_reload_probe.dll"), nullptr);
    EXPECT_FALSE(classRegisteredUnder(unloaded));
  }

  // The executable's environment was untouched by all of it.
  testing_support::Recorder owner;
  LAsyncEvent event(&owner, hostEnv->dispatcher());
  hostEnv->dispatcher()->lock();
  event.set();
  hostEnv->dispatcher()->unlockAndWake();
  EXPECT_TRUE(testing_support::pumpUntil([&] { return owner.count(LAsyncEvent_Note) == 1; }, 5000));
  EXPECT_TRUE(classRegisteredUnder(host));
}

}  // namespace
