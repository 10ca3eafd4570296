// A winusb.dll that loads but lacks WinUsb_ReadPipe: the device must fail the reads cleanly
// and keep everything else working. The process loads that library first, so the device's
// own load by name takes the same module.
#include <gtest/gtest.h>

#include "support/Win32Text.h"
#include "tests/dmx/UsbTestSupport.h"

namespace {

TEST(WinUsbMissingEntryTest, OperationsWhoseEntryPointIsMissingFailCleanly) {
  HMODULE module = w32::loadLibrary(PRISMLUX_WINUSB_NOREAD);
  ASSERT_NE(module, nullptr) << PRISMLUX_WINUSB_NOREAD;
  SimControlApi sim;
  ASSERT_TRUE(sim.bind(module));
  ASSERT_EQ(GetProcAddress(module, "WinUsb_ReadPipe"), nullptr);
  sim.reset();

  CEnv* env = CEnv::create();
  ASSERT_NE(env, nullptr);
  {
    simreg::ScopedDevice registered(usbtest::deviceSpec("USB\\VID_1234&PID_5678\\7201"));
    ASSERT_TRUE(registered.ok());
    const char* path = registered.path().c_str();

    usbtest::Rig rig(env->dispatcher());
    ASSERT_TRUE(rig.device.isLibraryLoaded());
    EXPECT_EQ(gWinUsbApi.ReadPipe, nullptr);
    EXPECT_NE(gWinUsbApi.WritePipe, nullptr);
    ASSERT_EQ(rig.device.open(path), CUsbDevice::kOpened);
    uint8_t address = 0, copy = 0;
    EXPECT_TRUE(rig.device.findPipe(3, CUsbDevice::kIn, 0, &address, &copy));

    uint8_t in[64];
    rig.read(0, address, in, sizeof in);
    ASSERT_EQ(rig.recorder.count(), 1u);  // at once, without a call into the library
    EXPECT_EQ(rig.recorder.calls()[0].error, CUsbTransfer::kFailed);
    EXPECT_EQ(rig.recorder.calls()[0].length, 0u);

    ASSERT_TRUE(rig.device.findPipe(3, CUsbDevice::kOut, 0, &address, &copy));
    uint8_t out[] = {0x00, 0x01, 0x05};
    rig.write(1, address, out, sizeof out);
    ASSERT_TRUE(rig.recorder.waitFor(2));
    EXPECT_EQ(rig.recorder.calls()[1].error, CUsbTransfer::kDone);
    EXPECT_EQ(rig.recorder.calls()[1].length, sizeof out);
  }
  delete env;
  FreeLibrary(module);
}

}  // namespace
