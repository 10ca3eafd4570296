// The rules that turn what a device offers into a serial number, and the rule by which
// the name given to the open selects a serial number. Pure functions; any thread.
#pragma once

#include <cstdint>

#include "support/LString.h"

// Whether the last component of a first-class device's instance id is its serial number:
// exactly 4 bytes, all taken by the number-token scanner. In the 32-bit build the
// component must also read as a number from 1000 to 9999 ("0123", "-123", "12.5" and
// ".123" are refused there, "1000" and "9999" taken).
bool isInstanceSerialNumber(const LString& component);

// Puts "0" characters in front of `digits` until it has 8 bytes ("4660" -> "00004660");
// longer texts are returned unchanged.
LString padSerialNumber(const LString& digits);

// The serial number of last resort: the CRC-16 of the path's UTF-8 bytes, in decimal,
// padded to 8 digits.
LString checksumSerialNumber(const LString& devicePath);

// How a non-empty `name` selects a device with this serial number. Exact: byte for byte
// and case-sensitive. ByValue: not exact, but the name is made only of decimal digits and
// the serial number too, with the same value once leading zeros are set aside ("4660"
// selects "00004660"), because a box argument typed as digits reaches the object as a
// number whose printed form has lost its zeros. Digit strings are compared as text, so any
// length works. An exact match is preferred to one by value (see the port's open).
enum class SerialMatch { None, ByValue, Exact };
SerialMatch matchSerialNumber(const char* name, const LString& serialNumber);
