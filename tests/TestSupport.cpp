#include "TestSupport.h"

#include <iconv.h>

#include <cstdlib>

#include "VersionFingerprint.h"

namespace test {

std::string BytesWithSum(uint32_t sum) {
  std::string bytes;
  uint32_t left = sum;
  while (left > 0xFFFF) {
    bytes += "\xFF\xFF";
    left -= 0xFFFF;
  }
  bytes += static_cast<char>(left & 0xFF);
  bytes += static_cast<char>(left >> 8);
  return bytes;
}

uint32_t SumOfFile(const std::string& windowsPath) {
  FILE* stream = OsFileOpen(windowsPath.c_str(), "rb");
  if (stream == nullptr) {
    abort();
  }
  uint32_t sum = ComputeWordSum(stream);
  OsFileClose(stream);
  return sum;
}

uint64_t ReferenceTotal(const std::string& bytes) {
  uint64_t total = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    uint64_t byte = static_cast<unsigned char>(bytes[i]);
    total += (i % 2 == 0) ? byte : byte * 256;
  }
  return total;
}

uint32_t ReferenceSum(const std::string& bytes) {
  return static_cast<uint32_t>(ReferenceTotal(bytes) & 0xFFFFFFFFu);
}

std::string Cp932(const std::string& utf8) {
  iconv_t converter = iconv_open("CP932", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    abort();
  }
  std::string in = utf8;
  std::string out(in.size() * 2 + 1, '\0');
  char* inPtr = in.data();
  size_t inLeft = in.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  if (iconv(converter, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
    abort();
  }
  iconv_close(converter);
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace test
