// The system's message for an error code, looked up with FormatMessageW.
#include <windows.h>

#include "common/error.hpp"
#include "common/utf16.hpp"

namespace orvanta {

SystemMessage system_message(std::uint32_t code) {
  // Codes with the NT facility bit (0x10000000) set are NTSTATUS values carried as Win32 codes; their
  // texts live in the message table of NTDLL rather than in the system's own.
  constexpr std::uint32_t ntstatus_bit = 0x10000000;
  DWORD source = FORMAT_MESSAGE_FROM_SYSTEM;
  HMODULE module = nullptr;
  DWORD lookup_code = code;
  if ((code & ntstatus_bit) != 0) {
    module = GetModuleHandleW(L"NTDLL.DLL");
    if (module != nullptr) {
      lookup_code = code & ~ntstatus_bit;
      source = FORMAT_MESSAGE_FROM_HMODULE;
    }
  }
  const DWORD flags = source | FORMAT_MESSAGE_IGNORE_INSERTS;
  wchar_t buffer[2048];
  const DWORD length = FormatMessageW(flags, module, lookup_code, 0, buffer, 2048, nullptr);
  if (length == 0) {
    return {SystemMessage::Outcome::LookupFailed, {}, GetLastError()};
  }
  auto utf8 = utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(buffer), length));
  if (!utf8) {
    return {SystemMessage::Outcome::InvalidUtf16, {}, 0};
  }
  return {SystemMessage::Outcome::Found, std::move(*utf8), 0};
}

}  // namespace orvanta
