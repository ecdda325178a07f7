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

// A box as the message table describes it, typed independently of the program.
struct ExpectedBox {
  const char* name;
  const char* utf8;
  uint32_t kind;
};

extern const ExpectedBox kNotInstalled;
extern const ExpectedBox kExeReadFailed;
extern const ExpectedBox kScriptsReadFailed;
extern const ExpectedBox kConfirmUpdate;
extern const ExpectedBox kScriptsWriteFailed;
extern const ExpectedBox kExeWriteFailed;
extern const ExpectedBox kUpdateDone;
extern const ExpectedBox kAlreadyUpdated;
extern const ExpectedBox kUnrecognisedVersion;
extern const ExpectedBox kUpdaterDamaged;

// Checks one shown box: its bytes, kind and caption, and that it has no owner.
void ExpectShown(const fake::Box& box, const ExpectedBox& expected);

// The table's name of a shown box ("MsgUpdateDone"), or "" when it is none of them.
std::string NameOf(const fake::Box& box);

// The images the program carries, as strings.
std::string NewExe();
std::string NewScripts();

}  // namespace test
