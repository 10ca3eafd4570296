// CRC-16 with polynomial 0x1021, initial value 0, no reflection, no final xor (the check
// value of "123456789" is 0x31C3). The lookup table is built once during static
// initialisation, so any thread may use these functions at any time.
#pragma once

#include <cstdint>

void crc16Start(uint16_t& state) noexcept;
void crc16Add(uint16_t& state, const void* bytes, uint32_t count) noexcept;
// Start + add in one call.
uint16_t crc16(const void* bytes, uint32_t count) noexcept;
