// Building the pipe's security descriptor, and reading one back.
#include "pipe/pipe_security.hpp"

#include <aclapi.h>
#include <sddl.h>

#include "common/handle.hpp"
#include "common/utf16.hpp"

namespace orvanta::pipe {

namespace {

Error last_error() { return Error::os(GetLastError()); }

// The rights in the platform-free table are the system's own.
static_assert(pipe_full_control == FILE_ALL_ACCESS);
static_assert(pipe_client_access == ((FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~FILE_CREATE_PIPE_INSTANCE));
static_assert(create_pipe_instance_right == FILE_CREATE_PIPE_INSTANCE);

}  // namespace

Result<PipeSecurity> PipeSecurity::make(const std::vector<PipeAccessEntry>& entries) {
  std::vector<policy::Sid> trustees;
  DWORD acl_size = sizeof(ACL);
  for (const PipeAccessEntry& entry : entries) {
    auto sid = policy::Sid::parse(entry.trustee);
    if (!sid) {
      return std::unexpected(sid.error());
    }
    // An allowed and a denied entry have the same layout: a header, the mask, then the SID in place
    // of the last member.
    acl_size += static_cast<DWORD>(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) + GetLengthSid(sid->get());
    trustees.push_back(std::move(*sid));
  }
  auto owner = policy::Sid::parse(administrators_sid);
  if (!owner) {
    return std::unexpected(owner.error());
  }

  PipeSecurity security;
  security.owner_ = std::make_unique<policy::Sid>(std::move(*owner));
  security.acl_ = std::make_unique<std::byte[]>(acl_size);
  security.descriptor_ = std::make_unique<SECURITY_DESCRIPTOR>();
  const auto acl = reinterpret_cast<PACL>(security.acl_.get());
  if (!InitializeAcl(acl, acl_size, ACL_REVISION)) {
    return std::unexpected(last_error());
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const PipeAccessEntry& entry = entries[i];
    const BOOL added = entry.kind == PipeAccessEntry::Kind::Deny
                           ? AddAccessDeniedAceEx(acl, ACL_REVISION, 0, entry.access, trustees[i].get())
                           : AddAccessAllowedAceEx(acl, ACL_REVISION, 0, entry.access, trustees[i].get());
    if (!added) {
      return std::unexpected(last_error());
    }
  }
  SECURITY_DESCRIPTOR* descriptor = security.descriptor_.get();
  if (!InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorOwner(descriptor, security.owner_->get(), FALSE) ||
      !SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE) ||
      !SetSecurityDescriptorControl(descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return std::unexpected(last_error());
  }
  return security;
}

Result<std::u16string> handle_security_sddl(HANDLE object) {
  constexpr SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  PSECURITY_DESCRIPTOR security = nullptr;
  const DWORD status =
      GetSecurityInfo(object, SE_KERNEL_OBJECT, parts, nullptr, nullptr, nullptr, nullptr, &security);
  if (status != ERROR_SUCCESS) {
    return std::unexpected(Error::os(status));
  }
  const UniqueLocalMemory held_security(security);
  LPWSTR text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(security, SDDL_REVISION_1, parts, &text,
                                                            nullptr)) {
    return std::unexpected(last_error());
  }
  const UniqueLocalMemory held_text(text);
  return from_wide(text);
}

}  // namespace orvanta::pipe
