// Prints the version record of each file named on the command line, as Windows reads it:
//   file_version PATH...   ->   one line per file: FILEVERSION PRODUCTVERSION "FileVersion" "ProductVersion"
// for example `1.0.0.0 1.0.0.0 1.0.0 1.0.0`: the fixed numbers, then the strings of the first
// language the record lists. Exit status 1 when a file has no version record.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/utf16.hpp"

namespace {

std::string narrow(const wchar_t* text) {
  return orvanta::utf16_to_utf8(orvanta::from_wide(text)).value_or("?");
}

std::string dotted(DWORD high, DWORD low) {
  return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." +
         std::to_string(HIWORD(low)) + "." + std::to_string(LOWORD(low));
}

// A value of the record's StringFileInfo block, in the record's first language; "-" when missing.
std::string string_value(const std::vector<BYTE>& record, const wchar_t* name) {
  struct Translation {
    WORD language;
    WORD code_page;
  };
  Translation* translations = nullptr;
  UINT size = 0;
  if (!VerQueryValueW(record.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations),
                      &size) ||
      size < sizeof(Translation)) {
    return "-";
  }
  wchar_t path[128];
  swprintf(path, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translations[0].language, translations[0].code_page,
           name);
  wchar_t* value = nullptr;
  if (!VerQueryValueW(record.data(), path, reinterpret_cast<void**>(&value), &size) || size == 0) return "-";
  return narrow(value);
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc < 2) {
    std::fputs("usage: file_version PATH...\n", stderr);
    return 2;
  }
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(argv[i], &ignored);
    std::vector<BYTE> record(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixed_size = 0;
    if (size == 0 || !GetFileVersionInfoW(argv[i], 0, size, record.data()) ||
        !VerQueryValueW(record.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size) ||
        fixed_size < sizeof(VS_FIXEDFILEINFO)) {
      std::fprintf(stderr, "file_version: %s has no version record\n", narrow(argv[i]).c_str());
      status = 1;
      continue;
    }
    std::printf("%s %s %s %s\n", dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS).c_str(),
                dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS).c_str(),
                string_value(record, L"FileVersion").c_str(),
                string_value(record, L"ProductVersion").c_str());
  }
  LocalFree(argv);
  return status;
}
