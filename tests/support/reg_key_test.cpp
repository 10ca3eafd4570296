// LRegKey against the registry of the Wine prefix, in a scratch key under HKCU.
#include "support/LRegKey.h"
#include "support/Text.h"
#include "support/Win32Text.h"
#include "support/Win32TextForms.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class LRegKeyTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = "Software\\prismlux-tests\\reg-key-" + std::to_string(GetCurrentProcessId());
    LRegKey key(HKEY_CURRENT_USER, path_.c_str(), LRegKey::kCreateForFullAccess);
    ASSERT_TRUE(key.isOpen());
    ASSERT_EQ(ERROR_SUCCESS, w32::regSetString(key.handle(), "Serial", "AB12"));
    const DWORD number = 0x12345678;
    ASSERT_EQ(ERROR_SUCCESS, w32::regSetValue(key.handle(), "Number", REG_DWORD, &number, sizeof number));
  }
  void TearDown() override {
    w32::regDeleteTree(HKEY_CURRENT_USER, path_.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\prismlux-tests");  // only once it is empty
  }

  HKEY openRaw() {
    HKEY raw = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, w32::regOpenKey(HKEY_CURRENT_USER, path_.c_str(), KEY_QUERY_VALUE, &raw));
    return raw;
  }

  std::string path_;
};

TEST_F(LRegKeyTest, ReadsStringsAndRawValues) {
  LRegKey key(HKEY_CURRENT_USER, path_.c_str(), LRegKey::kOpenForReading);
  ASSERT_TRUE(key.isOpen());
  EXPECT_FALSE(key.isBorrowed());

  LString serial;
  ASSERT_TRUE(key.readString("Serial", serial));
  EXPECT_STREQ("AB12", serial.text());
  EXPECT_TRUE(textEqual("AB12", serial.text()));
  EXPECT_EQ(5u, serial.length());  // the stored terminator comes along and ends the text

  LString unchanged = LString::fromUtf8("keep");
  EXPECT_FALSE(key.readString("Missing", unchanged));
  EXPECT_STREQ("keep", unchanged.text());

  LHeapBuffer data;
  uint32_t type = 0;
  ASSERT_TRUE(key.readValue("Number", data, type));
  EXPECT_EQ(static_cast<uint32_t>(REG_DWORD), type);
  ASSERT_EQ(4u, data.count());
  EXPECT_EQ(0x12345678u, *reinterpret_cast<const DWORD*>(data.data()));
}

TEST_F(LRegKeyTest, TheTypeIsStoredEvenWhenTheDataReadFails) {
  LRegKey key(HKEY_CURRENT_USER, path_.c_str(), LRegKey::kCreateForFullAccess);
  ASSERT_TRUE(key.isOpen());
  // The value grows after its size was learnt: the data query finds the buffer too small.
  w32::setRegQueryGapHook([](HKEY gapKey, const char* name) {
    w32::regSetString(gapKey, name, "a serial number much longer than before");
  });
  LHeapBuffer data;
  uint32_t type = 77;
  const bool read = key.readValue("Serial", data, type);
  w32::setRegQueryGapHook(nullptr);
  EXPECT_FALSE(read);
  EXPECT_EQ(static_cast<uint32_t>(REG_SZ), type);
}

TEST_F(LRegKeyTest, KeysThatDoNotOpenAnswerFalse) {
  LRegKey missing(HKEY_CURRENT_USER, (path_ + "\\nothing").c_str(), LRegKey::kOpenForReading);
  EXPECT_FALSE(missing.isOpen());
  LRegKey badMode(HKEY_CURRENT_USER, path_.c_str(), 2);
  EXPECT_FALSE(badMode.isOpen());

  LString out = LString::fromUtf8("keep");
  LHeapBuffer data;
  uint32_t type = 7;
  EXPECT_FALSE(missing.readString("Serial", out));
  EXPECT_FALSE(badMode.readValue("Number", data, type));
  EXPECT_STREQ("keep", out.text());
  EXPECT_EQ(7u, type);
  // An open key without the value: the size was never learnt, so neither was the type.
  LRegKey open(HKEY_CURRENT_USER, path_.c_str(), LRegKey::kOpenForReading);
  ASSERT_TRUE(open.isOpen());
  EXPECT_FALSE(open.readValue("NoSuchValue", data, type));
  EXPECT_EQ(7u, type);
  missing.close();  // harmless without a key
}

TEST_F(LRegKeyTest, NullNameTakesTheParentEmptyNameBorrowsIt) {
  HKEY owned = openRaw();
  {
    LRegKey key(owned, nullptr, LRegKey::kOpenForReading);
    EXPECT_EQ(owned, key.handle());
    EXPECT_FALSE(key.isBorrowed());
  }
  DWORD size = 0;
  EXPECT_NE(ERROR_SUCCESS, RegQueryValueExW(owned, L"Serial", nullptr, nullptr, nullptr, &size));

  HKEY lent = openRaw();
  {
    LRegKey key(lent, "", LRegKey::kOpenForReading);
    EXPECT_TRUE(key.isBorrowed());
    LString serial;
    EXPECT_TRUE(key.readString("Serial", serial));
  }
  EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(lent, L"Serial", nullptr, nullptr, nullptr, &size));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(lent));
}

}  // namespace
