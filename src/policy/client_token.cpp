// Issuing the client token into an administrators' folder, and taking it away.
#include "policy/client_token.hpp"

#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>

#include <array>
#include <cstring>
#include <utility>

#include "common/utf16.hpp"
#include "policy/client_groups.hpp"
#include "policy/token_text.hpp"
#include "process/path_rules.hpp"
#include "process/windows_system_queries.hpp"

namespace orvanta::policy {

namespace {

Error last_error() { return Error::os(GetLastError()); }

// bcrypt is loaded when a token is written, not each time the service starts: a service that writes
// none never pays for it (under Wine it brings the TLS library, a large part of an idle service's
// resident memory). Only the system folder is searched, so that no file beside the executable can
// stand in for it.
template <typename Function>
Result<Function*> system_function(const wchar_t* library, const char* name) {
  const HMODULE module = LoadLibraryExW(library, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  const FARPROC found = module == nullptr ? nullptr : GetProcAddress(module, name);
  if (found == nullptr) {
    return std::unexpected(last_error());
  }
  // The module stays loaded for the rest of the run, as an import would.
  return reinterpret_cast<Function*>(reinterpret_cast<void*>(found));
}

// Owned by SYSTEM, by Administrators, or by the account this process runs as (SYSTEM for the
// service; under a test, whoever runs it).
Result<bool> owned_by_administrators(HANDLE folder) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR security = nullptr;
  const DWORD status = GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                       nullptr, nullptr, &security);
  if (status != ERROR_SUCCESS) {
    return std::unexpected(Error::os(status));
  }
  const UniqueLocalMemory held(security);
  if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
    return true;
  }
  UniqueHandle token;
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
    return std::unexpected(last_error());
  }
  token.reset(raw);
  std::array<std::byte, sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE> user{};
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenUser, user.data(), static_cast<DWORD>(user.size()), &size)) {
    return std::unexpected(last_error());
  }
  return EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid) != FALSE;
}

// The folder opened on its name, so that a link there is looked at, not followed; only a real folder
// owned by SYSTEM, Administrators or this account will do.
Result<UniqueFile> open_plain_folder(const std::u16string& path, DWORD access) {
  UniqueFile folder(CreateFileW(
      to_wide(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folder) {
    return std::unexpected(last_error());
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(folder.get(), &information)) {
    return std::unexpected(last_error());
  }
  const std::string shown = utf16_to_utf8(path).value_or("the folder");
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return std::unexpected(Error::fixed(shown + " is not a plain folder"));
  }
  auto owned = owned_by_administrators(folder.get());
  if (!owned) {
    return std::unexpected(owned.error());
  }
  if (!*owned) {
    return std::unexpected(Error::fixed(shown + " is not owned by SYSTEM or Administrators"));
  }
  return folder;
}

// Makes the folder, or takes the one there, and gives it the private DACL.
Result<void> prepare_private_folder(const std::u16string& path, PrivateSecurity& security) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, security.descriptor(), FALSE};
  if (!CreateDirectoryW(to_wide(path).c_str(), &attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
    return std::unexpected(last_error());
  }
  const auto folder = open_plain_folder(path, READ_CONTROL | WRITE_DAC);
  if (!folder) {
    return std::unexpected(folder.error());
  }
  const DWORD status = SetSecurityInfo(folder->get(), SE_FILE_OBJECT,
                                       DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, security.dacl(), nullptr);
  if (status != ERROR_SUCCESS) {
    return std::unexpected(Error::os(status));
  }
  return {};
}

Result<std::string> fresh_token() {
  const auto generate_random = system_function<decltype(BCryptGenRandom)>(L"bcrypt.dll", "BCryptGenRandom");
  if (!generate_random) {
    return std::unexpected(generate_random.error());
  }
  std::array<std::uint8_t, token_bytes> bytes{};
  const NTSTATUS status = (*generate_random)(nullptr, bytes.data(), static_cast<ULONG>(bytes.size()),
                                             BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status != 0) {
    // NTSTATUS codes read as Win32 codes with the NT facility bit.
    return std::unexpected(Error::os(static_cast<std::uint32_t>(status) | 0x10000000));
  }
  return token_text(bytes);
}

}  // namespace

Result<Sid> Sid::well_known(WELL_KNOWN_SID_TYPE type) {
  std::vector<std::byte> bytes(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(bytes.size());
  if (!CreateWellKnownSid(type, nullptr, bytes.data(), &size)) {
    return std::unexpected(last_error());
  }
  bytes.resize(size);
  return Sid(std::move(bytes));
}

Result<Sid> Sid::parse(std::u16string_view text) {
  PSID converted = nullptr;
  if (!ConvertStringSidToSidW(to_wide(text).c_str(), &converted)) {
    return std::unexpected(last_error());
  }
  const UniqueLocalMemory held(converted);
  const DWORD size = GetLengthSid(converted);
  std::vector<std::byte> bytes(size);
  std::memcpy(bytes.data(), converted, size);
  return Sid(std::move(bytes));
}

std::expected<std::vector<Sid>, std::string> client_group_sids(const std::vector<std::u16string>& groups) {
  std::vector<Sid> sids;
  for (const std::u16string& group : groups) {
    const std::string shown = utf16_to_utf8(group).value_or("?");
    if (const auto refusal = client_group_refusal(group)) {
      return std::unexpected("ClientGroups holds " + shown + ", " + *refusal);
    }
    auto sid = Sid::parse(group);
    if (!sid) {
      return std::unexpected("ClientGroups holds " + shown + ", which is not a SID");
    }
    sids.push_back(std::move(*sid));
  }
  return sids;
}

Result<PrivateSecurity> PrivateSecurity::make(const std::vector<Sid>& readers, bool inherited_by_contents) {
  auto system = Sid::well_known(WinLocalSystemSid);
  auto administrators = Sid::well_known(WinBuiltinAdministratorsSid);
  if (!system || !administrators) {
    return std::unexpected(!system ? system.error() : administrators.error());
  }
  struct Grant {
    PSID sid;
    DWORD access;
  };
  std::vector<Grant> grants = {{system->get(), FILE_ALL_ACCESS}, {administrators->get(), FILE_ALL_ACCESS}};
  for (const Sid& reader : readers) {
    grants.push_back({reader.get(), FILE_GENERIC_READ});
  }
  DWORD acl_size = sizeof(ACL);
  for (const Grant& grant : grants) {
    acl_size += static_cast<DWORD>(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) + GetLengthSid(grant.sid);
  }
  PrivateSecurity security;
  security.acl_ = std::make_unique<std::byte[]>(acl_size);
  if (!InitializeAcl(security.dacl(), acl_size, ACL_REVISION)) {
    return std::unexpected(last_error());
  }
  const DWORD inheritance = inherited_by_contents ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0;
  for (const Grant& grant : grants) {
    if (!AddAccessAllowedAceEx(security.dacl(), ACL_REVISION, inheritance, grant.access, grant.sid)) {
      return std::unexpected(last_error());
    }
  }
  if (!InitializeSecurityDescriptor(&security.descriptor_, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&security.descriptor_, TRUE, security.dacl(), FALSE) ||
      !SetSecurityDescriptorControl(&security.descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return std::unexpected(last_error());
  }
  return security;
}

Result<std::u16string> PrivateSecurity::dacl_sddl() {
  LPWSTR text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor(), SDDL_REVISION_1,
                                                            DACL_SECURITY_INFORMATION, &text, nullptr)) {
    return std::unexpected(last_error());
  }
  const UniqueLocalMemory held(text);
  return from_wide(text);
}

Result<void> retire_by_name(const std::u16string& path) {
  const UniqueFile file(CreateFileW(
      to_wide(path).c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) {
      return {};
    }
    return std::unexpected(last_error());
  }
  // A file deleted under its own name keeps that name for as long as anyone holds it open, and the
  // next token could not be written there: it leaves the name first. Should the rename fail, the
  // delete still goes ahead.
  if (const auto random = fresh_token()) {
    const std::wstring retired = to_wide(
        join_path(parent_directory(path).value_or(u""), u"retired-" + utf8_to_utf16(random->substr(0, 16))));
    std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFO) + retired.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(retired.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, retired.data(), rename->FileNameLength);
    (void)SetFileInformationByHandle(file.get(), FileRenameInfo, rename, static_cast<DWORD>(buffer.size()));
  }
  FILE_DISPOSITION_INFO disposition{TRUE};
  if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition)) {
    return std::unexpected(last_error());
  }
  return {};
}

namespace {

// The token of a file that a reader holds open without delete sharing, read sharing read as that
// reader does. The private DACL goes on it again through the same handle: an open for WRITE_DAC is not
// held back by the reader's sharing, and whoever is no longer a client group member cannot open the
// file anew (what an open handle may read, no DACL takes away).
Result<std::string> keep_held_token(const std::u16string& path, PrivateSecurity& security) {
  const UniqueFile file(CreateFileW(to_wide(path).c_str(), GENERIC_READ | WRITE_DAC, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    return std::unexpected(last_error());
  }
  BY_HANDLE_FILE_INFORMATION information{};
  if (!GetFileInformationByHandle(file.get(), &information)) {
    return std::unexpected(last_error());
  }
  if ((information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
    return std::unexpected(Error::fixed("the token file held open is not a plain file"));
  }
  std::array<char, token_bytes * 2 + 1> text{};
  DWORD read = 0;
  if (!ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) {
    return std::unexpected(last_error());
  }
  const std::string token(text.data(), read);
  if (token.size() != token_bytes * 2 || token.find_first_not_of("0123456789abcdef") != std::string::npos) {
    return std::unexpected(Error::fixed("the token file held open holds no token"));
  }
  const DWORD status = SetSecurityInfo(file.get(), SE_FILE_OBJECT,
                                       DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, security.dacl(), nullptr);
  if (status != ERROR_SUCCESS) {
    return std::unexpected(Error::os(status));
  }
  return token;
}

}  // namespace

Result<ClientTokenFile> ClientTokenFile::issue(const std::vector<Sid>& readers,
                                               const std::u16string& service_folder) {
  std::u16string parent = service_folder;
  if (parent.empty()) {
    auto executable = WindowsSystemQueries().own_executable();
    if (!executable) {
      return std::unexpected(executable.error());
    }
    parent = parent_directory(*executable).value_or(u"");
  }
  // Only administrators can make anything in the service's folder, unless it is not theirs.
  if (auto checked = open_plain_folder(parent, READ_CONTROL); !checked) {
    return std::unexpected(checked.error());
  }
  auto folder_security = PrivateSecurity::make(readers, true);
  auto file_security = PrivateSecurity::make(readers, false);
  if (!folder_security || !file_security) {
    return std::unexpected(!folder_security ? folder_security.error() : file_security.error());
  }
  const std::u16string folder = join_path(parent, utf8_to_utf16(token_folder_name));
  if (auto prepared = prepare_private_folder(folder, *folder_security); !prepared) {
    return std::unexpected(prepared.error());
  }
  const std::u16string path = join_path(folder, utf8_to_utf16(token_file_name));
  if (auto retired = retire_by_name(path); !retired) {
    auto kept = keep_held_token(path, *file_security);
    if (!kept) {
      return std::unexpected(kept.error());
    }
    return ClientTokenFile(std::move(*kept), path, retired.error());
  }
  auto token = fresh_token();
  if (!token) {
    return std::unexpected(token.error());
  }
  SECURITY_ATTRIBUTES attributes{sizeof attributes, file_security->descriptor(), FALSE};
  Error write_error = Error::os(0);
  {
    // CREATE_NEW: whatever stands under the name by now, a link included, is left alone and fails this.
    const UniqueFile file(CreateFileW(to_wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &attributes,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
    if (!file) {
      return std::unexpected(last_error());
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), token->data(), static_cast<DWORD>(token->size()), &written, nullptr)) {
      write_error = last_error();
    } else if (written != token->size()) {
      write_error = Error::fixed("failed to write whole buffer");
    }
  }
  if (write_error != Error::os(0)) {
    (void)retire_by_name(path);  // a token file that is not whole helps nobody
    return std::unexpected(write_error);
  }
  return ClientTokenFile(std::move(*token), path);
}

ClientTokenFile::ClientTokenFile(ClientTokenFile&& other) noexcept
    : token_(std::move(other.token_)),
      path_(std::exchange(other.path_, std::u16string())),
      kept_(std::move(other.kept_)) {}

ClientTokenFile::~ClientTokenFile() {
  if (!path_.empty()) {
    // At a stop, nothing is left to tell of a failure. It never waits: a file held open without delete
    // sharing simply stays, and the next start keeps its token.
    (void)retire_by_name(path_);
  }
}

}  // namespace orvanta::policy
