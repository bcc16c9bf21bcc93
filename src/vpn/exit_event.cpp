// Naming, making and opening again the event that asks OpenVPN to end by itself.
#include "vpn/exit_event.hpp"

#include <bcrypt.h>
#include <sddl.h>

#include <array>
#include <cstdint>

#include "common/utf16.hpp"

namespace orvanta {

namespace {

// Protected, so that nothing is inherited from the namespace's default: EVENT_ALL_ACCESS (0x1F0003)
// for SYSTEM and Administrators, nothing for anyone else.
constexpr wchar_t exit_event_security[] = L"D:P(A;;0x1f0003;;;SY)(A;;0x1f0003;;;BA)";

}  // namespace

Result<std::u16string> random_exit_event_name() {
  std::array<std::uint8_t, 16> random{};
  const NTSTATUS status = BCryptGenRandom(nullptr, random.data(), static_cast<ULONG>(random.size()),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (!BCRYPT_SUCCESS(status)) {
    // An NTSTATUS, flagged as one so that its text is looked up among NTDLL's messages.
    return std::unexpected(Error::os(static_cast<std::uint32_t>(status) | 0x10000000u));
  }
  static constexpr char16_t hex_digits[] = u"0123456789abcdef";
  std::u16string name = u"Global\\OrvantaVpnHelper-exit-";
  for (const std::uint8_t byte : random) {
    name.push_back(hex_digits[byte >> 4]);
    name.push_back(hex_digits[byte & 0x0F]);
  }
  return name;
}

Result<ExitEvent> create_exit_event(const ExitEventNamer& namer) {
  Result<std::u16string> name = namer ? namer() : random_exit_event_name();
  if (!name) {
    return std::unexpected(name.error());
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(exit_event_security, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return std::unexpected(Error::os(GetLastError()));
  }
  const UniqueLocalMemory owned(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  UniqueHandle event(CreateEventW(&attributes, TRUE, FALSE, to_wide(*name).c_str()));
  const DWORD error = GetLastError();
  if (!event) {
    return std::unexpected(Error::os(error));
  }
  if (error == ERROR_ALREADY_EXISTS) {
    return std::unexpected(Error::fixed("the exit event already exists"));
  }
  return ExitEvent{std::move(event), std::move(*name)};
}

UniqueHandle open_exit_event(const std::u16string& name) {
  return UniqueHandle(OpenEventW(EVENT_MODIFY_STATE, FALSE, to_wide(name).c_str()));
}

}  // namespace orvanta
