#include "support/Crc16.h"

#include <array>

namespace {

using Table = std::array<uint16_t, 256>;

constexpr Table buildTable() {
  Table table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = i << 8;
    for (int bit = 0; bit < 8; ++bit) {
      crc <<= 1;
      if (crc & 0x10000) crc ^= 0x11021;
    }
    table[i] = static_cast<uint16_t>(crc);
  }
  return table;
}

// Computed by the compiler: the table exists before any thread can ask for it.
constexpr Table kTable = buildTable();

}  // namespace

void crc16Start(uint16_t& state) noexcept { state = 0; }

void crc16Add(uint16_t& state, const void* bytes, uint32_t count) noexcept {
  const uint8_t* p = static_cast<const uint8_t*>(bytes);
  for (uint32_t i = 0; i < count; ++i) {
    state = static_cast<uint16_t>((state << 8) ^ kTable[((state >> 8) ^ p[i]) & 0xFF]);
  }
}

uint16_t crc16(const void* bytes, uint32_t count) noexcept {
  uint16_t state = 0;
  crc16Start(state);
  crc16Add(state, bytes, count);
  return state;
}
