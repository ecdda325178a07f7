// Build-time helper for the release images, run on the build machine.
//
//   standin-exe OUT SIZE TOTAL SEED VERSION
//                                     an "MZ" image of SIZE bytes whose exact word
//                                     total is TOTAL (fingerprint: TOTAL mod 2^32),
//                                     with a PE header and a version resource of
//                                     file version VERSION (a.b.c.d)
//   standin-scripts OUT SIZE SEED     an opaque script archive of SIZE bytes
//   embed EXE SCRIPTS OUT.s FORMAT    checks the release files and writes the
//                                     assembly that links them in as ExeImage,
//                                     ExeImageSize, ScriptsImage, ScriptsImageSize,
//                                     with their checksums ExeImageChecksum and
//                                     ScriptsImageChecksum (FORMAT: pe32 or elf)
//
// Stand-ins let the program be built and tested without the real release files;
// the same arguments always give the same bytes.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

#include "../VersionFingerprint.h"

namespace {

int Usage();

bool ParseUnsigned(const char* text, uint64_t* value) {
  char* end = nullptr;
  *value = strtoull(text, &end, 0);
  return end != text && *end == 0;
}

// xorshift32: deterministic filler that does not compress to nothing.
uint32_t NextRandom(uint32_t* state) {
  uint32_t x = *state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  return *state = x;
}

void FillRandom(std::vector<unsigned char>& bytes, size_t from, uint32_t seed) {
  uint32_t state = seed ? seed : 0x9E3779B9u;
  for (size_t i = from; i < bytes.size(); ++i) {
    bytes[i] = static_cast<unsigned char>(NextRandom(&state) >> 24);
  }
}

bool WriteFile(const char* path, const std::vector<unsigned char>& bytes) {
  FILE* file = fopen(path, "wb");
  if (file == nullptr) {
    fprintf(stderr, "cannot create %s\n", path);
    return false;
  }
  bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  written = fclose(file) == 0 && written;
  if (!written) {
    fprintf(stderr, "cannot write %s\n", path);
  }
  return written;
}

uint64_t WordValue(const std::vector<unsigned char>& bytes, size_t word) {
  const size_t low = 2 * word;
  return bytes[low] + (low + 1 < bytes.size() ? uint64_t{bytes[low + 1]} << 8 : 0);
}

void SetWord(std::vector<unsigned char>& bytes, size_t word, uint64_t value) {
  const size_t low = 2 * word;
  bytes[low] = static_cast<unsigned char>(value & 0xFF);
  if (low + 1 < bytes.size()) {
    bytes[low + 1] = static_cast<unsigned char>(value >> 8);
  }
}

void Put16(std::vector<unsigned char>& bytes, size_t at, uint32_t value) {
  bytes[at] = static_cast<unsigned char>(value & 0xFF);
  bytes[at + 1] = static_cast<unsigned char>(value >> 8);
}

void Put32(std::vector<unsigned char>& bytes, size_t at, uint32_t value) {
  Put16(bytes, at, value & 0xFFFF);
  Put16(bytes, at + 2, value >> 16);
}

// The stand-in's fixed start: a PE header with one section, .rsrc, that holds a
// version resource (type 16, name 1, language 1033) of the given file version,
// as a release's executable carries one, so that the release command's check of
// the releases' order has something to read. Nothing here is ever run.
constexpr size_t kPeHeader = 0x40;
constexpr size_t kOptionalHeader = kPeHeader + 24;
constexpr size_t kOptionalHeaderSize = 224;  // PE32, 16 data directories
constexpr size_t kSectionTable = kOptionalHeader + kOptionalHeaderSize;
constexpr size_t kResourceDirectory = kOptionalHeader + 96 + size_t{2} * 8;  // third entry
constexpr size_t kResources = 0x200;  // file offset; at RVA 0x1000
constexpr uint32_t kResourcesRva = 0x1000;
constexpr size_t kVersionInfo = 0x58;  // within the resources
constexpr size_t kVersionInfoSize = 40 + 52;
constexpr size_t kStandinFixedBytes = 0x300;
static_assert(kResources + kVersionInfo + kVersionInfoSize <= kStandinFixedBytes,
              "the version resource lies within the fixed start");

void PutStandinHeader(std::vector<unsigned char>& bytes, const uint16_t (&version)[4]) {
  static const char kStub[] = "MZ ZEMLO stand-in release image; not a real program.";
  memcpy(bytes.data(), kStub, sizeof kStub);
  Put32(bytes, 0x3C, kPeHeader);
  memcpy(&bytes[kPeHeader], "PE\0\0", 4);
  Put16(bytes, kPeHeader + 4, 0x14C);  // i386
  Put16(bytes, kPeHeader + 6, 1);      // one section
  Put16(bytes, kPeHeader + 20, kOptionalHeaderSize);
  Put16(bytes, kPeHeader + 22, 0x0102);  // an executable for 32-bit machines
  Put16(bytes, kOptionalHeader, 0x10B);  // PE32
  Put32(bytes, kOptionalHeader + 28, 0x400000);
  Put32(bytes, kOptionalHeader + 32, 0x1000);  // section alignment
  Put32(bytes, kOptionalHeader + 36, 0x200);   // file alignment
  Put32(bytes, kOptionalHeader + 56, kResourcesRva + 0x1000);
  Put32(bytes, kOptionalHeader + 60, kResources);
  Put16(bytes, kOptionalHeader + 68, 2);  // a GUI program
  Put32(bytes, kOptionalHeader + 92, 16);
  Put32(bytes, kResourceDirectory, kResourcesRva);
  Put32(bytes, kResourceDirectory + 4, kStandinFixedBytes - kResources);
  memcpy(&bytes[kSectionTable], ".rsrc", 5);
  Put32(bytes, kSectionTable + 8, kStandinFixedBytes - kResources);
  Put32(bytes, kSectionTable + 12, kResourcesRva);
  Put32(bytes, kSectionTable + 16, kStandinFixedBytes - kResources);
  Put32(bytes, kSectionTable + 20, kResources);
  Put32(bytes, kSectionTable + 36, 0x40000040);  // initialised, readable data
  // Three directories of one entry each, each 16 bytes and an 8-byte entry.
  const size_t root = kResources;
  const uint32_t kDirectory = 0x80000000u;
  Put16(bytes, root + 14, 1);
  Put32(bytes, root + 16, 16);  // RT_VERSION
  Put32(bytes, root + 20, kDirectory | 0x18);
  Put16(bytes, root + 0x18 + 14, 1);
  Put32(bytes, root + 0x18 + 16, 1);
  Put32(bytes, root + 0x18 + 20, kDirectory | 0x30);
  Put16(bytes, root + 0x30 + 14, 1);
  Put32(bytes, root + 0x30 + 16, 1033);
  Put32(bytes, root + 0x30 + 20, 0x48);  // a data entry
  Put32(bytes, root + 0x48, kResourcesRva + kVersionInfo);
  Put32(bytes, root + 0x48 + 4, kVersionInfoSize);
  // VS_VERSIONINFO with its VS_FIXEDFILEINFO and no children.
  const size_t info = root + kVersionInfo;
  Put16(bytes, info, kVersionInfoSize);
  Put16(bytes, info + 2, 52);
  const char kKey[] = "VS_VERSION_INFO";
  for (size_t i = 0; i < sizeof kKey; ++i) {
    Put16(bytes, info + 6 + 2 * i, static_cast<unsigned char>(kKey[i]));
  }
  const size_t fixed = info + 40;
  Put32(bytes, fixed, 0xFEEF04BDu);
  Put32(bytes, fixed + 4, 0x00010000);
  for (const size_t at : {fixed + 8, fixed + 16}) {  // the file version, then the product version
    Put32(bytes, at, static_cast<uint32_t>(version[0]) << 16 | version[1]);
    Put32(bytes, at + 4, static_cast<uint32_t>(version[2]) << 16 | version[3]);
  }
  Put32(bytes, fixed + 24, 0x3F);
  Put32(bytes, fixed + 32, 0x40004);  // VOS_NT_WINDOWS32
  Put32(bytes, fixed + 36, 1);        // VFT_APP
}

bool ParseVersion(const char* text, uint16_t (&version)[4]) {
  const char* part = text;
  for (int i = 0; i < 4; ++i) {
    char* end = nullptr;
    const unsigned long number = strtoul(part, &end, 10);
    if (end == part || number > 0xFFFF || *end != (i < 3 ? '.' : 0)) {
      return false;
    }
    version[i] = static_cast<uint16_t>(number);
    part = end + 1;
  }
  return true;
}

int StandinExe(const char* out, uint64_t size, uint64_t total, uint64_t seed,
               const uint16_t (&version)[4]) {
  constexpr size_t kFixedBytes = kStandinFixedBytes;  // the header is never adjusted
  if (size < kFixedBytes + 2) {
    fprintf(stderr, "standin-exe: size too small\n");
    return 1;
  }
  std::vector<unsigned char> bytes(size, 0);
  PutStandinHeader(bytes, version);
  FillRandom(bytes, kFixedBytes, static_cast<uint32_t>(seed));

  const size_t words = (size + 1) / 2;
  uint64_t sum = 0;
  for (size_t w = 0; w < words; ++w) {
    sum += WordValue(bytes, w);
  }
  // Walk back from the end, moving each word towards the total until it is met.
  for (size_t w = words; w-- > kFixedBytes / 2 && sum != total;) {
    const uint64_t limit = (2 * w + 1 < size) ? 0xFFFF : 0xFF;
    const uint64_t old = WordValue(bytes, w);
    const uint64_t now = sum > total ? (sum - total >= old ? 0 : old - (sum - total))
                                     : (total - sum >= limit - old ? limit : old + (total - sum));
    SetWord(bytes, w, now);
    sum = sum - old + now;
  }
  if (sum != total) {
    fprintf(stderr, "standin-exe: total 0x%" PRIX64 " cannot be reached in %" PRIu64 " bytes\n",
            total, size);
    return 1;
  }
  if (!WriteFile(out, bytes)) {
    return 1;
  }
  // Check the result with the program's own fingerprint.
  FILE* written = OsFileOpen(out, "rb");
  const uint32_t fingerprint = written ? ComputeWordSum(written) : 0;
  if (written) {
    OsFileClose(written);
  }
  if (fingerprint != static_cast<uint32_t>(total)) {
    fprintf(stderr, "standin-exe: %s has fingerprint 0x%08" PRIX32 ", not 0x%08" PRIX32 "\n", out,
            fingerprint, static_cast<uint32_t>(total));
    return 1;
  }
  return 0;
}

int StandinScripts(const char* out, uint64_t size, uint64_t seed) {
  static const char kHeader[] = "ZMDATA stand-in script archive";
  std::vector<unsigned char> bytes(size, 0);
  memcpy(bytes.data(), kHeader, size < sizeof kHeader ? size : sizeof kHeader);
  FillRandom(bytes, size < sizeof kHeader ? size : sizeof kHeader, static_cast<uint32_t>(seed));
  return WriteFile(out, bytes) ? 0 : 1;
}

constexpr uint64_t kLargestImage = 0x7FFFFFFF;  // lengths are signed 32-bit

// The size of a release file, or false with a message when it cannot be an image.
bool ImageSize(const char* path, uint64_t* size) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr || fseeko(file, 0, SEEK_END) != 0) {
    fprintf(stderr, "embed: cannot read %s\n", path);
    if (file) {
      fclose(file);
    }
    return false;
  }
  *size = static_cast<uint64_t>(ftello(file));
  fclose(file);
  if (*size > kLargestImage) {
    fprintf(stderr, "embed: %s has %" PRIu64 " bytes; an image holds at most %" PRIu64 "\n", path,
            *size, kLargestImage);
    return false;
  }
  return true;
}

// zlib's CRC-32 of a whole file, as the program computes it of the image.
bool FileChecksum(const char* path, uint32_t* checksum) {
  FILE* file = OsFileOpen(path, "rb");
  if (file == nullptr) {
    fprintf(stderr, "embed: cannot read %s\n", path);
    return false;
  }
  std::vector<unsigned char> block(size_t{64} * 1024);
  uLong crc = crc32(0, Z_NULL, 0);
  size_t count = 0;
  while ((count = OsFileRead(block.data(), block.size(), file)) > 0) {
    crc = crc32(crc, block.data(), static_cast<uInt>(count));
  }
  const bool failed = OsFileReadFailed(file) != 0;
  OsFileClose(file);
  if (failed) {
    fprintf(stderr, "embed: cannot read %s\n", path);
    return false;
  }
  *checksum = static_cast<uint32_t>(crc);
  return true;
}

// Checks that the executable is the release this updater installs.
bool CheckExecutable(const char* path) {
  FILE* file = OsFileOpen(path, "rb");
  if (file == nullptr) {
    fprintf(stderr, "embed: cannot read %s\n", path);
    return false;
  }
  char magic[2] = {};
  OsFileRead(magic, sizeof magic, file);
  if (fseek(file, 0, SEEK_SET) != 0) {
    fprintf(stderr, "embed: cannot read %s\n", path);
    OsFileClose(file);
    return false;
  }
  const uint32_t sum = ComputeWordSum(file);
  OsFileClose(file);
  if (magic[0] != 'M' || magic[1] != 'Z') {
    fprintf(stderr, "embed: %s is not a Windows executable (it does not start with \"MZ\")\n",
            path);
    return false;
  }
  if (sum != kSumCurrent) {
    fprintf(stderr,
            "embed: the word sum of %s is 0x%08" PRIX32 ", but kSumCurrent is 0x%08" PRIX32
            ".\nThe build was configured for another file: run its configure step again.\n",
            path, sum, kSumCurrent);
    return false;
  }
  printf("Embedding %s: word sum 0x%08" PRIX32 " (kSumCurrent)\n", path, sum);
  return true;
}

void Append(std::string& text, std::initializer_list<std::string_view> parts) {
  for (const std::string_view part : parts) {
    text += part;
  }
}

// A path as an assembler string.
std::string Quoted(const char* path) {
  std::string quoted = "\"";
  for (const char* c = path; *c; ++c) {
    if (*c == '\\' || *c == '"') {
      quoted += '\\';
    }
    quoted += *c;
  }
  return quoted + "\"";
}

int Embed(const char* exe, const char* scripts, const char* out, const char* format) {
  const bool pe32 = strcmp(format, "pe32") == 0;
  if (!pe32 && strcmp(format, "elf") != 0) {
    return Usage();
  }
  uint64_t exeSize = 0;
  uint64_t scriptsSize = 0;
  uint32_t exeChecksum = 0;
  uint32_t scriptsChecksum = 0;
  if (!ImageSize(exe, &exeSize) || !ImageSize(scripts, &scriptsSize) || !CheckExecutable(exe) ||
      !FileChecksum(exe, &exeChecksum) || !FileChecksum(scripts, &scriptsChecksum)) {
    remove(out);
    return 1;
  }
  // 32-bit Windows prefixes C names with an underscore.
  const char* prefix = pe32 ? "_" : "";
  std::string text =
      "# Generated by zemlo-release-tool: the release images, linked in unchanged.\n";
  text += pe32 ? "\t.section .rdata,\"dr\"\n" : "\t.section .rodata\n";
  const struct {
    const char* name;
    const char* path;
    uint32_t checksum;
  } images[] = {{"ExeImage", exe, exeChecksum}, {"ScriptsImage", scripts, scriptsChecksum}};
  for (const auto& image : images) {
    const std::string name = std::string(prefix) + image.name;
    char checksum[16];
    snprintf(checksum, sizeof checksum, "0x%08" PRIX32, image.checksum);
    Append(text, {"\t.globl ", name, "\n\t.balign 16\n", name, ":\n"});
    Append(text, {"\t.incbin ", Quoted(image.path), "\n", name, "End:\n"});
    Append(text, {"\t.globl ", name, "Size\n\t.balign 4\n", name, "Size:\n"});
    Append(text, {"\t.long ", name, "End - ", name, "\n"});
    Append(text, {"\t.globl ", name, "Checksum\n\t.balign 4\n", name, "Checksum:\n"});
    Append(text, {"\t.long ", checksum, "\n"});
  }
  if (!pe32) {
    text += "\t.section .note.GNU-stack,\"\",@progbits\n";
  }
  const std::string temporary = std::string(out) + ".tmp";
  const std::vector<unsigned char> bytes(text.begin(), text.end());
  if (!WriteFile(temporary.c_str(), bytes) || rename(temporary.c_str(), out) != 0) {
    remove(temporary.c_str());
    return 1;
  }
  printf("Embedding %s: %" PRIu64 " bytes, CRC-32 0x%08" PRIX32 "; %s: %" PRIu64
         " bytes, CRC-32 0x%08" PRIX32 "\n",
         exe, exeSize, exeChecksum, scripts, scriptsSize, scriptsChecksum);
  return 0;
}

int Usage() {
  fprintf(stderr,
          "usage: zemlo-release-tool standin-exe OUT SIZE TOTAL SEED VERSION\n"
          "       zemlo-release-tool standin-scripts OUT SIZE SEED\n"
          "       zemlo-release-tool embed EXE SCRIPTS OUT.s pe32|elf\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t a = 0;
  uint64_t b = 0;
  uint64_t c = 0;
  uint16_t version[4] = {};
  if (argc == 7 && strcmp(argv[1], "standin-exe") == 0 && ParseUnsigned(argv[3], &a) &&
      ParseUnsigned(argv[4], &b) && ParseUnsigned(argv[5], &c) && ParseVersion(argv[6], version)) {
    return StandinExe(argv[2], a, b, c, version);
  }
  if (argc == 5 && strcmp(argv[1], "standin-scripts") == 0 && ParseUnsigned(argv[3], &a) &&
      ParseUnsigned(argv[4], &b)) {
    return StandinScripts(argv[2], a, b);
  }
  if (argc == 6 && strcmp(argv[1], "embed") == 0) {
    return Embed(argv[2], argv[3], argv[4], argv[5]);
  }
  return Usage();
}
