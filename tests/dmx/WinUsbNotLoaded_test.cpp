// Without a loadable winusb.dll (the test runs with winusb disabled): devices are still made,
// every open gives "not found" without touching the path, and nothing calls into WinUSB.
#include <gtest/gtest.h>

#include "support/Win32Text.h"
#include "tests/dmx/UsbTestSupport.h"

namespace {

TEST(WinUsbNotLoadedTest, EveryOperationFailsCleanly) {
  ASSERT_EQ(w32::loadLibrary("winusb.dll"), nullptr) << "run with winusb=d";

  CEnv* env = CEnv::create();
  ASSERT_NE(env, nullptr);
  {
    // A device another process holds: touching its path would give "access denied".
    simreg::ScopedDevice held(usbtest::deviceSpec("USB\\VID_1234&PID_5678\\7301",
                                                  simreg::Placeholder::HeldByOther));
    ASSERT_TRUE(held.ok());

    usbtest::Rig rig(env->dispatcher());
    EXPECT_FALSE(rig.device.isLibraryLoaded());
    EXPECT_EQ(gWinUsbApi.Initialize, nullptr);
    EXPECT_EQ(rig.device.open(held.path().c_str()), CUsbDevice::kNotFound);
    EXPECT_FALSE(rig.device.isOpen());

    uint8_t address = 0, copy = 0;
    EXPECT_FALSE(rig.device.findPipe(3, CUsbDevice::kIn, 0, &address, &copy));
    uint32_t release = 0;
    EXPECT_EQ(rig.device.getRelease(&release), 1u);
    rig.device.abortPipe(0x81);
    uint8_t in[64];
    rig.read(0, 0x81, in, sizeof in);
    ASSERT_EQ(rig.recorder.count(), 1u);
    EXPECT_EQ(rig.recorder.calls()[0].error, CUsbTransfer::kFailed);
  }
  delete env;
}

}  // namespace
