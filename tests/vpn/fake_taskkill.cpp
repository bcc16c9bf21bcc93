// Stand-in for the system's taskkill in the vpn tests. It ends nothing, like a taskkill that fails or
// lacks /T, so only the job object can end a stopped tree. Each run appends one line to taskkill.log
// next to this program:
//   <its command line, UTF-8> TAB <image path of the process that the /PID id names now> TAB <handles>
// where <handles> is the number of handles to that process open besides this program's own (the id
// stays bound to a process only while such a handle exists), or "!open N" / "!image N" in place of the
// last two when that process could not be opened or asked.
// While a file taskkill.hold exists next to it, it waits before it exits (60 s at most: longer than any stop
// may take).
#include <windows.h>
#include <shellapi.h>
#include <winternl.h>

#include <cwchar>
#include <string>
#include <string_view>

#include "common/handle.hpp"
#include "support/text.hpp"
#include "support/this_process.hpp"

namespace {

std::wstring what_the_id_names(const wchar_t* digits) {
  const DWORD pid = std::wcstoul(digits, nullptr, 10);
  const orvanta::UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) {
    return L"!open " + std::to_wstring(GetLastError());
  }
  std::wstring image(32768, L'\0');
  DWORD size = static_cast<DWORD>(image.size());
  if (!QueryFullProcessImageNameW(process.get(), 0, image.data(), &size)) {
    return L"!image " + std::to_wstring(GetLastError());
  }
  image.resize(size);
  PUBLIC_OBJECT_BASIC_INFORMATION basic{};
  if (NtQueryObject(process.get(), ObjectBasicInformation, &basic, sizeof basic, nullptr) != 0) {
    return image + L"\t!count";
  }
  return image + L"\t" + std::to_wstring(basic.HandleCount - 1);
}

}  // namespace

int main() {
  const wchar_t* command_line = GetCommandLineW();
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(command_line, &argc);
  std::wstring named = L"!no /PID";
  for (int i = 1; argv != nullptr && i + 1 < argc; ++i) {
    if (std::wcscmp(argv[i], L"/PID") == 0) {
      named = what_the_id_names(argv[i + 1]);
    }
  }
  LocalFree(argv);

  const std::wstring directory = orvanta::test::program_path().parent_path();
  const std::string line = orvanta::test::utf8(command_line) + "\t" + orvanta::test::utf8(named) + "\n";
  const orvanta::UniqueFile log(CreateFileW((directory + L"\\taskkill.log").c_str(), FILE_APPEND_DATA,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (log) {
    WriteFile(log.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }

  const std::wstring hold = directory + L"\\taskkill.hold";
  for (int waited = 0; waited < 60000 && GetFileAttributesW(hold.c_str()) != INVALID_FILE_ATTRIBUTES;
       waited += 10) {
    Sleep(10);
  }
  return 1;
}
