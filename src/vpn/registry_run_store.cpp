// Reading, writing and removing the record's registry value.
#include "vpn/registry_run_store.hpp"

#include <windows.h>
#include <sddl.h>

#include <utility>

#include "common/handle.hpp"

namespace orvanta {

namespace {

constexpr wchar_t run_key[] = L"SYSTEM\\CurrentControlSet\\Services\\OrvantaVpnHelper\\Run";
constexpr wchar_t record_value[] = L"OpenVpn";
constexpr wchar_t log_value[] = L"Log";
constexpr wchar_t exit_event_value[] = L"ExitEvent";
constexpr wchar_t last_exit_value[] = L"LastExit";
// Protected, so that the key does not inherit the read access for Users that the service's key hands
// down: the record names a process and a handle to its job. Full control for SYSTEM and Administrators,
// nothing for anyone else.
constexpr wchar_t run_key_security[] = L"D:P(A;;KA;;;SY)(A;;KA;;;BA)";

Result<UniqueRegistryKey> create_run_key() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(run_key_security, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return std::unexpected(Error::os(GetLastError()));
  }
  const UniqueLocalMemory owned(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  HKEY key = nullptr;
  const LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, run_key, 0, nullptr, REG_OPTION_VOLATILE,
                                         KEY_SET_VALUE | WRITE_DAC, &attributes, &key, nullptr);
  if (status != ERROR_SUCCESS) {
    return std::unexpected(Error::os(static_cast<std::uint32_t>(status)));
  }
  UniqueRegistryKey created(key);
  // Set on every write: a key that was already there keeps the descriptor it was made with, whoever
  // made it, and Wine 8 gives even a new key its default one, in which Users may read.
  const LSTATUS secured = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
  if (secured != ERROR_SUCCESS) {
    return std::unexpected(Error::os(static_cast<std::uint32_t>(secured)));
  }
  return created;
}

// One REG_SZ value of the key; nothing when neither key nor value is there.
Result<std::optional<std::u16string>> read_value(const wchar_t* name) {
  // Read in two steps; a value written between them by another process is no concern, since only
  // this service writes it and only one call runs at a time.
  DWORD bytes = 0;
  LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, run_key, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes);
  if (status == ERROR_FILE_NOT_FOUND) {
    return std::nullopt;
  }
  if (status != ERROR_SUCCESS) {
    return std::unexpected(Error::os(static_cast<std::uint32_t>(status)));
  }
  std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  status = RegGetValueW(HKEY_LOCAL_MACHINE, run_key, name, RRF_RT_REG_SZ, nullptr, text.data(), &bytes);
  if (status != ERROR_SUCCESS) {
    return std::unexpected(Error::os(static_cast<std::uint32_t>(status)));
  }
  // The size counts the terminating NUL that RegGetValueW guarantees.
  text.resize(bytes / sizeof(wchar_t) > 0 ? bytes / sizeof(wchar_t) - 1 : 0);
  return std::u16string(text.begin(), text.end());
}

LSTATUS write_value(HKEY key, const wchar_t* name, const std::u16string& text) {
  const std::wstring wide(text.begin(), text.end());
  const auto bytes = static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()), bytes);
}

// Success also when there was no such value, or no key.
LSTATUS delete_value(const wchar_t* name) {
  const LSTATUS status = RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, run_key, name);
  return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : status;
}

}  // namespace

Result<std::optional<std::u16string>> RegistryRunStore::load() { return read_value(record_value); }

Result<RunExtras> RegistryRunStore::load_extras() {
  RunExtras extras;
  for (auto [name, value] :
       {std::pair{log_value, &extras.log}, std::pair{exit_event_value, &extras.exit_event}}) {
    Result<std::optional<std::u16string>> read = read_value(name);
    if (!read) {
      return std::unexpected(read.error());
    }
    *value = std::move(*read);
  }
  return extras;
}

Result<void> RegistryRunStore::save(const std::u16string& text, const RunExtras& extras) {
  auto key = create_run_key();
  if (!key) {
    return std::unexpected(key.error());
  }
  for (auto [name, value] :
       {std::pair{log_value, &extras.log}, std::pair{exit_event_value, &extras.exit_event}}) {
    const LSTATUS status = *value ? write_value(key->get(), name, **value) : delete_value(name);
    if (status != ERROR_SUCCESS) {
      return std::unexpected(Error::os(static_cast<std::uint32_t>(status)));
    }
  }
  if (const LSTATUS status = write_value(key->get(), record_value, text); status != ERROR_SUCCESS) {
    return std::unexpected(Error::os(static_cast<std::uint32_t>(status)));
  }
  return {};
}

Result<void> RegistryRunStore::erase() {
  for (const wchar_t* name : {record_value, log_value, exit_event_value}) {
    if (const LSTATUS status = delete_value(name); status != ERROR_SUCCESS) {
      return std::unexpected(Error::os(static_cast<std::uint32_t>(status)));
    }
  }
  return {};
}

Result<std::optional<std::u16string>> RegistryRunStore::load_last_exit() {
  return read_value(last_exit_value);
}

Result<void> RegistryRunStore::save_last_exit(const std::u16string& text) {
  auto key = create_run_key();
  if (!key) {
    return std::unexpected(key.error());
  }
  if (const LSTATUS status = write_value(key->get(), last_exit_value, text); status != ERROR_SUCCESS) {
    return std::unexpected(Error::os(static_cast<std::uint32_t>(status)));
  }
  return {};
}

}  // namespace orvanta
