// Helpers shared by the native tests.
#pragma once

#include <cstdint>
#include <string>

#include "FakePlatform.h"

namespace test {

// Bytes whose word sum is exactly `sum`, built from whole 0xFFFF words.
std::string BytesWithSum(uint32_t sum);

// The program's fingerprint of a file kept by the stand-in.
uint32_t SumOfFile(const std::string& windowsPath);

// The exact word total in 64 bits, as an independent reference, and its low 32 bits.
uint64_t ReferenceTotal(const std::string& bytes);
uint32_t ReferenceSum(const std::string& bytes);

// The table text in UTF-8, encoded to code page 932 by the C library's iconv.
std::string Cp932(const std::string& utf8);

}  // namespace test
