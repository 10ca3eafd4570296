// The device walk over simulated interfaces registered in the prefix's SetupAPI database:
// order of the two classes, serial numbers from each source, and the end of a walk.
#include "tests/common/RegisteredDevices.h"
#include "dmx/CDmxDeviceList.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dmx/DmxSerialNumber.h"
#include "sim/SimDeviceRegistry.h"
#include "support/Variant.h"

namespace {

using simreg::InterfaceClass;

struct Listed {
  int32_t classIndex;
  std::string path;
  std::string serial;
};

std::string str(const LString& s) { return std::string(s.text(), s.length()); }

std::vector<Listed> walk() {
  std::vector<Listed> listed;
  CDmxDeviceList list;
  while (list.next()) {
    const CDmxDevicePath path = list.devicePath();
    listed.push_back({path.classIndex, str(path.path), str(list.serialNumber())});
  }
  return listed;
}

std::string checksumOf(const std::string& path) {
  return str(checksumSerialNumber(LString::make(path.data(), static_cast<uint32_t>(path.size()))));
}

class CDmxDeviceListTest : public ::testing::Test {
 protected:
  const simreg::ScopedDevice& add(const std::string& instanceId, InterfaceClass cls,
                                  const char* serial = nullptr) {
    return devices_.add(instanceId, cls, serial);
  }

  void SetUp() override { ASSERT_TRUE(walk().empty()) << "devices left in the prefix"; }

  testdevices::RegisteredDevices devices_;
};

TEST_F(CDmxDeviceListTest, NothingPresentEndsAtOnceAndEndWithoutNextIsClean) {
  EXPECT_TRUE(walk().empty());
  { CDmxDeviceList neverWalked; }
  // A walk ended without next leaves nothing behind that disturbs the next one.
  const auto& device = add("USB\\VID_1234&PID_5678\\1234", InterfaceClass::Primary);
  { CDmxDeviceList neverWalked; }
  const auto listed = walk();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].path, device.path());
}

TEST_F(CDmxDeviceListTest, AllOfTheFirstClassComeBeforeAllOfTheSecond) {
  // Registered interleaved on purpose.
  const auto& s1 = add("USB\\VID_1234&PID_0002\\S1", InterfaceClass::Secondary, "SER1");
  const auto& p1 = add("USB\\VID_1234&PID_0001\\1111", InterfaceClass::Primary);
  const auto& s2 = add("USB\\VID_1234&PID_0002\\S2", InterfaceClass::Secondary, "SER2");
  const auto& p2 = add("USB\\VID_1234&PID_0001\\2222", InterfaceClass::Primary);

  const auto listed = walk();
  // [first class x2, second class x2]
  ASSERT_EQ(listed.size(), 4u);
  EXPECT_EQ(listed[0].classIndex, 0);
  EXPECT_EQ(listed[1].classIndex, 0);
  EXPECT_EQ(listed[2].classIndex, 1);
  EXPECT_EQ(listed[3].classIndex, 1);
  const std::vector<std::string> firstPaths = {listed[0].path, listed[1].path};
  EXPECT_TRUE((firstPaths == std::vector<std::string>{p1.path(), p2.path()} ||
               firstPaths == std::vector<std::string>{p2.path(), p1.path()}));
  const std::vector<std::string> secondPaths = {listed[2].path, listed[3].path};
  EXPECT_TRUE((secondPaths == std::vector<std::string>{s1.path(), s2.path()} ||
               secondPaths == std::vector<std::string>{s2.path(), s1.path()}));
}

TEST_F(CDmxDeviceListTest, TwoOfTheSecondClassOnlyGiveTwoThenFalse) {
  add("USB\\VID_1234&PID_0002\\S1", InterfaceClass::Secondary, "SER1");
  add("USB\\VID_1234&PID_0002\\S2", InterfaceClass::Secondary, "SER2");

  CDmxDeviceList list;
  EXPECT_EQ(list.currentClass(), 0);
  ASSERT_TRUE(list.next());
  EXPECT_EQ(list.currentClass(), 1);
  ASSERT_TRUE(list.next());
  EXPECT_FALSE(list.next());
  EXPECT_FALSE(list.next());  // the first class is not walked again
  EXPECT_EQ(list.currentClass(), 1);
}

TEST_F(CDmxDeviceListTest, FirstClassSerialComesFromTheInstanceIdOrTheChecksum) {
  const auto& four = add("USB\\VID_1234&PID_0001\\1234", InterfaceClass::Primary);
  const auto& letter = add("USB\\VID_1234&PID_0001\\12A4", InterfaceClass::Primary);
  const auto& five = add("USB\\VID_1234&PID_0001\\12345", InterfaceClass::Primary);
  const auto& zero = add("USB\\VID_1234&PID_0001\\0123", InterfaceClass::Primary);
  // A registry value is not read for the first class.
  const auto& ignored = add("USB\\VID_1234&PID_0001\\ABCD", InterfaceClass::Primary, "REG1");

  const auto listed = walk();
  ASSERT_EQ(listed.size(), 5u);
  for (const Listed& device : listed) {
    SCOPED_TRACE(device.path);
    EXPECT_EQ(device.classIndex, 0);
    if (device.path == four.path()) {
      EXPECT_EQ(device.serial, "1234");
    } else if (device.path == letter.path() || device.path == five.path() ||
               device.path == ignored.path()) {
      EXPECT_EQ(device.serial, checksumOf(device.path));
      EXPECT_EQ(device.serial.size(), 8u);
    } else if (device.path == zero.path()) {
      if constexpr (variant::kInstanceSerialMustBe1000To9999) {
        EXPECT_EQ(device.serial, checksumOf(device.path));
      } else {
        EXPECT_EQ(device.serial, "0123");
      }
    } else {
      ADD_FAILURE() << "unexpected device";
    }
  }
}

TEST_F(CDmxDeviceListTest, SecondClassSerialComesFromTheRegistryOrTheChecksum) {
  const auto& named = add("USB\\VID_1234&PID_0002\\5678", InterfaceClass::Secondary, "AB12");
  const auto& unnamed = add("USB\\VID_1234&PID_0002\\9876", InterfaceClass::Secondary);
  const auto& blank = add("USB\\VID_1234&PID_0002\\5555", InterfaceClass::Secondary, "");

  const auto listed = walk();
  ASSERT_EQ(listed.size(), 3u);
  for (const Listed& device : listed) {
    SCOPED_TRACE(device.path);
    EXPECT_EQ(device.classIndex, 1);
    if (device.path == named.path()) {
      EXPECT_EQ(device.serial, "AB12");
    } else {
      // Neither the instance id's digits nor an empty value are used for the second class.
      EXPECT_TRUE(device.path == unnamed.path() || device.path == blank.path());
      EXPECT_EQ(device.serial, checksumOf(device.path));
    }
  }
}

TEST_F(CDmxDeviceListTest, AnInterfaceThatIsNotPresentIsNotListed) {
  simreg::DeviceSpec spec;
  spec.instanceId = "USB\\VID_1234&PID_0001\\4321";
  spec.present = false;
  simreg::ScopedDevice absent(spec);
  ASSERT_TRUE(absent.ok());
  EXPECT_TRUE(walk().empty());
}

}  // namespace
