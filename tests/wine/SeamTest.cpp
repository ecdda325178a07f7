// The Windows seam's own rules, checked where a whole run of the updater cannot
// see them: how a registry value is handed on in UTF-8 (the result, the count,
// every byte, and nothing written past the bytes offered), which form a path
// takes on its way to the wide functions, and the branches for systems that Wine
// never is: the library lock without SetDefaultDllDirectories, the entry check
// without GetFileInformationByHandleEx, and a token with file virtualization on
// (whose switch the scenario reads in the relay trace).
// Run under Wine by the scenarios; prints each failure and a summary, and exits
// with 1 when anything failed.
//
//   ZEMLOSeamTest.exe [LIBRARY...]   every check; each LIBRARY, planted beside the
//                                    program, is loaded by name after the lock
//                                    (a planted one ends the process at once)
//   ZEMLOSeamTest.exe load LIBRARY   only loads LIBRARY by name (the control)
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "Platform.h"
#include "PlatformWinInternal.h"

namespace {

int checks = 0;
int failures = 0;

void Check(bool ok, const std::string& what) {
  ++checks;
  if (!ok && ++failures <= 20) {
    std::printf("FAILED %s\n", what.c_str());
  }
}

// ---- Registry values ---------------------------------------------------------------

const wchar_t kTestKey[] = L"ZEMLOSeamTest";  // under HKEY_CLASSES_ROOT, this test's own
constexpr uint32_t kOfferedAtMost = 1000;     // what the seam takes from any caller
constexpr size_t kCanary = 64;
constexpr unsigned char kCanaryByte = 0xA5;

// The value as stored: its exact bytes, a terminator among them or not.
typedef std::string Stored;

void AppendUnit(Stored* stored, uint32_t unit) {
  stored->push_back(static_cast<char>(unit & 0xFF));
  stored->push_back(static_cast<char>(unit >> 8));
}

void AppendCodePoint(Stored* stored, uint32_t c) {
  if (c < 0x10000) {
    AppendUnit(stored, c);
  } else {
    AppendUnit(stored, 0xD800 + ((c - 0x10000) >> 10));
    AppendUnit(stored, 0xDC00 + ((c - 0x10000) & 0x3FF));
  }
}

void AppendUtf8(std::string* out, uint32_t c) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

struct Expected {
  long result;
  std::string bytes;  // on success
};

// What the seam must answer for a stored string when offered `offered` bytes,
// worked out here by hand, without the system's conversions.
Expected Reference(const Stored& stored, uint32_t offered) {
  if (stored.size() > 2 * static_cast<size_t>(offered)) {
    return {ERROR_MORE_DATA, ""};  // not even the UTF-16 form fits
  }
  if (stored.size() % 2 != 0) {
    return {ERROR_INVALID_DATA, ""};
  }
  std::string utf8;
  size_t units = stored.size() / 2;
  auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(stored[2 * i])) |
           static_cast<uint32_t>(static_cast<unsigned char>(stored[2 * i + 1])) << 8;
  };
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 &&
        unit(i + 1) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return {ERROR_INVALID_DATA, ""};  // a lone surrogate
    }
    AppendUtf8(&utf8, c);
  }
  if (utf8.size() > offered) {
    return {ERROR_MORE_DATA, ""};
  }
  return {ERROR_SUCCESS, utf8};
}

bool Store(HKEY key, const Stored& stored) {
  // Units that are not 0 after the value: Wine adds a terminator that it finds
  // right behind the bytes, and the value must be stored exactly as given.
  std::string guarded = stored + std::string(4, 'A');
  return RegSetValueExW(key, L"", 0, REG_SZ, reinterpret_cast<const BYTE*>(guarded.data()),
                        static_cast<DWORD>(stored.size())) == ERROR_SUCCESS;
}

int calls = 0;

// One query through the seam, offering `offered` bytes of a buffer followed by
// canary bytes, against the reference.
void QueryOnce(OsRegKey key, const Stored& stored, uint32_t offered, const std::string& what) {
  unsigned char data[kOfferedAtMost + kCanary];
  memset(data, kCanaryByte, sizeof data);
  uint32_t type = 0;
  uint32_t count = offered;
  long result = OsRegQueryValueEx(key, "", &type, data, &count);
  ++calls;
  Expected expected = Reference(stored, offered);
  std::string at = what + ", " + std::to_string(offered) + " bytes offered";
  Check(result == expected.result,
        at + ": result " + std::to_string(result) + ", wanted " + std::to_string(expected.result));
  Check(type == kRegSz, at + ": type " + std::to_string(type));
  if (result == kErrorSuccess && expected.result == kErrorSuccess) {
    Check(count == expected.bytes.size(), at + ": count " + std::to_string(count) + ", wanted " +
                                              std::to_string(expected.bytes.size()));
    Check(memcmp(data, expected.bytes.data(), expected.bytes.size()) == 0, at + ": other bytes");
  }
  size_t changed = 0;
  for (size_t i = offered; i < sizeof data; ++i) {
    changed += data[i] != kCanaryByte ? 1 : 0;
  }
  Check(changed == 0, at + ": " + std::to_string(changed) + " bytes written past them");
}

// Deterministic, so that a failure repeats.
uint32_t Random(uint32_t* state) {
  *state = *state * 1664525u + 1013904223u;
  return *state >> 8;
}

// A string mixing characters of one, two, three and four UTF-8 bytes, some of
// them with lone surrogates, an odd byte count or no terminator, of about
// `utf8Bytes` bytes in UTF-8.
Stored RandomValue(uint32_t* state, size_t utf8Bytes) {
  Stored stored;
  bool lone = Random(state) % 4 == 0;
  size_t length = 0;
  while (length < utf8Bytes) {
    uint32_t kind = Random(state) % 10;
    if (kind < 4) {
      AppendCodePoint(&stored, 0x20 + Random(state) % 0x5F);
      length += 1;
    } else if (kind < 6) {
      AppendCodePoint(&stored, 0x80 + Random(state) % 0x780);
      length += 2;
    } else if (kind < 8) {
      uint32_t c = 0x800 + Random(state) % 0xF800;
      AppendCodePoint(&stored, c >= 0xD800 && c <= 0xDFFF ? c - 0x1000 : c);
      length += 3;
    } else if (kind < 9 || !lone) {
      AppendCodePoint(&stored, 0x10000 + Random(state) % 0x100000);
      length += 4;
    } else {
      AppendUnit(&stored, 0xD800 + Random(state) % 0x800);  // high or low, alone
      length += 3;
    }
  }
  if (Random(state) % 2 == 0) {
    AppendUnit(&stored, 0);
  }
  if (Random(state) % 16 == 0 && !stored.empty()) {
    stored.pop_back();
  }
  return stored;
}

Stored Ascii(size_t count, bool terminated) {
  Stored stored;
  for (size_t i = 0; i < count; ++i) {
    AppendUnit(&stored, 'a' + i % 26);
  }
  if (terminated) {
    AppendUnit(&stored, 0);
  }
  return stored;
}

// `count` UTF-8 bytes of あ (three each), then ASCII up to exactly `count`.
Stored Japanese(size_t count, bool terminated) {
  Stored stored;
  for (size_t i = 0; i + 3 <= count; i += 3) {
    AppendUnit(&stored, 0x3042);
  }
  for (size_t i = count / 3 * 3; i < count; ++i) {
    AppendUnit(&stored, 'x');
  }
  if (terminated) {
    AppendUnit(&stored, 0);
  }
  return stored;
}

void CheckRegistry() {
  HKEY key = nullptr;
  OsRegKey read = nullptr;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, kTestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS ||
      OsRegOpenClassesKey("ZEMLOSeamTest", 0, kKeyRead, &read) != kErrorSuccess) {
    Check(false, "the test key cannot be made and opened");
    return;
  }
  // The values at the edges of the 1000 bytes, each queried with every count
  // that may be offered.
  const struct {
    const char* what;
    Stored stored;
  } edges[] = {
      {"empty", Ascii(0, false)},
      {"a terminator alone", Ascii(0, true)},
      {"ASCII, 999 and a terminator", Ascii(999, true)},
      {"ASCII, 999 without", Ascii(999, false)},
      {"ASCII, 1000 without", Ascii(1000, false)},
      {"ASCII, 1000 and a terminator", Ascii(1000, true)},
      {"Japanese, 999 bytes and a terminator", Japanese(999, true)},
      {"Japanese, 1000 bytes without", Japanese(1000, false)},
      {"Japanese, 1001 bytes without", Japanese(1001, false)},
      {"Japanese, 1002 bytes without", Japanese(1002, false)},
  };
  int edgeRows = 0;
  for (const auto& edge : edges) {
    if (!Store(key, edge.stored)) {
      Check(false, std::string(edge.what) + ": cannot be stored");
      continue;
    }
    ++edgeRows;
    for (uint32_t offered = 0; offered <= kOfferedAtMost; ++offered) {
      QueryOnce(read, edge.stored, offered, edge.what);
    }
  }
  constexpr int kRandomValues = 400;
  uint32_t state = 20080125;
  int randomRows = 0;
  for (int n = 0; n < kRandomValues; ++n) {
    Stored stored = RandomValue(&state, Random(&state) % 1100);
    if (!Store(key, stored)) {
      Check(false, "random value " + std::to_string(n) + ": cannot be stored");
      continue;
    }
    ++randomRows;
    Expected whole = Reference(stored, kOfferedAtMost);
    uint32_t needed = static_cast<uint32_t>(whole.bytes.size());
    const uint32_t offers[] = {0, 1, 2, 3, needed - 1, needed, needed + 1, needed + 2, 999, 1000};
    for (uint32_t offered : offers) {
      if (offered <= kOfferedAtMost) {
        QueryOnce(read, stored, offered, "random value " + std::to_string(n));
      }
    }
    QueryOnce(read, stored, Random(&state) % (kOfferedAtMost + 1),
              "random value " + std::to_string(n));
  }
  OsRegCloseKey(read);
  RegCloseKey(key);
  RegDeleteKeyW(HKEY_CLASSES_ROOT, kTestKey);
  std::printf(
      "registry: %d values at the edges (every count offered, 0 to 1000) and %d seeded "
      "random ones, %d queries\n",
      edgeRows, randomRows, calls);
}

// ---- Path forms --------------------------------------------------------------------

std::string Repeat(const char* piece, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) {
    out += piece;
  }
  return out;
}

std::wstring Wide(const std::string& utf8) {
  wchar_t wide[4 * kWidePathCapacity];
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide, 4 * kWidePathCapacity);
  return wide;
}

void CheckPaths() {
  SetCurrentDirectoryW(L"C:\\");
  // Folder names of 9 characters and a backslash: "C:\" and 24 of them are 243 units.
  const std::string folders = "C:\\" + Repeat("folder-9\\", 24);  // 219 units
  const std::string at247 = folders + Repeat("x", 28);            // 247 units
  const std::string at248 = folders + Repeat("x", 29);
  const std::string japanese247 = "C:\\" + Repeat("\xE3\x81\x82", 244);  // 247 units, 735 bytes
  const std::string unc = "\\\\server\\share\\" + Repeat("folder-9\\", 26) + "ZEMLO.exe";
  const struct {
    const char* what;
    std::string path;
    std::wstring wanted;  // empty: the path does not fit
  } rows[] = {
      {"247 units", at247, Wide(at247)},
      {"248 units", at248, L"\\\\?\\" + Wide(at248)},
      {"247 units, 735 bytes", japanese247, Wide(japanese247)},
      {"248 Japanese units", japanese247 + "x", L"\\\\?\\" + Wide(japanese247 + "x")},
      {"a short relative path", "ZEMLO\\ZEMLO.exe", L"ZEMLO\\ZEMLO.exe"},
      {"a short one with forward slashes", "C:/Tools/ZEMLO.exe", L"C:/Tools/ZEMLO.exe"},
      {"forward slashes", "C:/" + Repeat("folder-9/", 28),
       L"\\\\?\\C:\\" + Wide(Repeat("folder-9\\", 28))},
      {"relative parts", "C:\\skipped\\..\\" + Repeat("folder-9\\", 26) + ".\\ZEMLO.exe",
       L"\\\\?\\C:\\" + Wide(Repeat("folder-9\\", 26) + "ZEMLO.exe")},
      {"relative to the current folder", Repeat("folder-9\\", 28),
       L"\\\\?\\C:\\" + Wide(Repeat("folder-9\\", 28))},
      {"a share", unc, L"\\\\?\\UNC\\" + Wide(unc.substr(2))},
      {"already \\\\?\\", "\\\\?\\" + at248, L"\\\\?\\" + Wide(at248)},
      {"a device path", "\\\\.\\" + at248.substr(3), L"\\\\.\\" + Wide(at248.substr(3))},
      {"too long for the buffer", "C:\\" + Repeat("x", kWidePathCapacity), L""},
  };
  for (const auto& row : rows) {
    wchar_t wide[kWidePathCapacity];
    bool widened = WidenPath(row.path.c_str(), wide);
    Check(widened == !row.wanted.empty(),
          std::string(row.what) + ": widened " + (widened ? "" : "not ") + "as wanted");
    if (widened && !row.wanted.empty()) {
      Check(row.wanted == wide, std::string(row.what) + ": another form");
    }
  }
  std::printf("paths: %d forms\n", static_cast<int>(sizeof rows / sizeof rows[0]));
}

// ---- Systems without the newer functions -------------------------------------------

SystemProcedure (*const kFindInLoadedLibrary)(const wchar_t*, const char*) = LookUpSystemFunction;
const char* missingFunction = "";  // what the lookup answers null for
int missingAsked = 0;

SystemProcedure LookUpAsOnAnOlderSystem(const wchar_t* library, const char* name) {
  if (std::strcmp(name, missingFunction) == 0) {
    ++missingAsked;
    return nullptr;
  }
  return kFindInLoadedLibrary(library, name);
}

// The lock as Windows XP, Vista and a Windows 7 without its update run it: no
// default directories, so each library of the list is loaded by full path, and a
// later load by name must find that one and not the library planted beside this
// program under its name (which would end the process at once).
void CheckLockWithoutDefaultDirectories(int count, char** libraries) {
  missingFunction = "SetDefaultDllDirectories";
  LookUpSystemFunction = LookUpAsOnAnOlderSystem;
  LockLibrarySearch();
  LookUpSystemFunction = kFindInLoadedLibrary;
  Check(missingAsked == 1, "the lock did not look for SetDefaultDllDirectories");
  wchar_t system[MAX_PATH];
  const UINT systemLength = GetSystemDirectoryW(system, MAX_PATH);
  int loaded = 0;
  for (int i = 0; i < count; ++i) {
    const std::wstring name = Wide(libraries[i]);
    if (GetFileAttributesW((std::wstring(system) + L"\\" + name).c_str()) ==
        INVALID_FILE_ATTRIBUTES) {
      continue;  // this system lacks it: the lock skips it, and so does the check
    }
    HMODULE module = LoadLibraryW(name.c_str());
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    Check(module != nullptr && _wcsnicmp(path, system, systemLength) == 0 &&
              path[systemLength] == L'\\',
          std::string(libraries[i]) + ": loaded by name from another folder than the system's");
    ++loaded;
  }
  std::printf(
      "library lock without default directories: %d of %d planted names loaded by "
      "name, each from the system folder\n",
      loaded, count);
}

// The entry check as Windows XP runs it, which has no query for a file's name and
// no links to files: the file opens as itself. With the query, the same.
void CheckEntryWithoutNameQuery() {
  const char path[] = "C:\\zemlo-seam-entry.bin";
  const char bytes[] = "the entry itself";
  FILE* out = std::fopen(path, "wb");
  Check(out != nullptr && std::fwrite(bytes, 1, sizeof bytes, out) == sizeof bytes &&
            std::fclose(out) == 0,
        "the entry check's file cannot be written");
  for (bool query : {false, true}) {
    missingFunction = query ? "" : "GetFileInformationByHandleEx";
    missingAsked = 0;
    LookUpSystemFunction = LookUpAsOnAnOlderSystem;
    FILE* stream = nullptr;
    const long result = OsFileOpenEntry(path, kFileShareRead, &stream);
    LookUpSystemFunction = kFindInLoadedLibrary;
    const std::string what = query ? "with the name query" : "without the name query";
    Check(query || missingAsked == 1, what + ": the query was not looked for");
    char read[sizeof bytes] = {};
    Check(result == kErrorSuccess && stream != nullptr &&
              OsFileRead(read, sizeof read, stream) == sizeof bytes &&
              std::memcmp(read, bytes, sizeof bytes) == 0,
          what + ": the file did not open as itself (" + std::to_string(result) + ")");
    if (stream != nullptr) {
      OsFileClose(stream);
    }
  }
  DeleteFileA(path);
}

unsigned long tokenAnswer = 0;
int tokenQueryResult = 0;

int QueryAnswering(void* /*token*/, unsigned long* enabled) {
  *enabled = tokenAnswer;
  return tokenQueryResult;
}

// Virtualization as an unelevated process on Vista and later has it, then as it
// is off, then as Windows XP answers (no such class). Only the first is switched
// off: the scenario finds exactly one SetTokenInformation call in the relay trace.
void CheckVirtualizationSwitch() {
  int (*const query)(void*, unsigned long*) = QueryTokenVirtualization;
  const struct {
    int result;
    unsigned long enabled;
  } rows[] = {{1, 1}, {1, 0}, {0, 1}};
  for (const auto& row : rows) {
    tokenQueryResult = row.result;
    tokenAnswer = row.enabled;
    QueryTokenVirtualization = QueryAnswering;
    TurnOffFileVirtualization();
    QueryTokenVirtualization = query;
  }
  std::printf("virtualization switch: on, off and no such class, in that order\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "load") == 0) {
    return LoadLibraryA(argv[2]) != nullptr ? 0 : 1;
  }
  CheckLockWithoutDefaultDirectories(argc - 1, argv + 1);  // first, as in the program
  CheckRegistry();
  CheckPaths();
  CheckEntryWithoutNameQuery();
  CheckVirtualizationSwitch();
  std::printf("seam: %d checks, %d failed\n", checks, failures);
  return failures == 0 ? 0 : 1;
}
