// The client token: who may read it, where it is written, and how it goes again.
#pragma once

#include <windows.h>

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/handle.hpp"

namespace orvanta::policy {

// A security identifier owned by this process.
class Sid {
 public:
  // A well-known one, such as WinLocalSystemSid.
  [[nodiscard]] static Result<Sid> well_known(WELL_KNOWN_SID_TYPE type);
  // From its string form, S-1-5-32-556.
  [[nodiscard]] static Result<Sid> parse(std::u16string_view text);
  // The system's calls take a SID to read through a non-const pointer.
  [[nodiscard]] PSID get() const { return const_cast<std::byte*>(bytes_.data()); }

 private:
  explicit Sid(std::vector<std::byte> bytes) : bytes_(std::move(bytes)) {}
  std::vector<std::byte> bytes_;
};

// The ClientGroups entries as SIDs, each of a shape that names a real group (client_group_refusal);
// why not, when they are not all fine.
[[nodiscard]] std::expected<std::vector<Sid>, std::string> client_group_sids(
    const std::vector<std::u16string>& groups);

// A security descriptor made from SIDs, never by pasting text into SDDL: a protected DACL (nothing
// inherited) that gives SYSTEM and Administrators full control and `readers` read access.
class PrivateSecurity {
 public:
  // `inherited_by_contents`: the entries also apply to what is created inside (for a folder).
  [[nodiscard]] static Result<PrivateSecurity> make(const std::vector<Sid>& readers,
                                                    bool inherited_by_contents);
  PrivateSecurity(PrivateSecurity&&) noexcept = default;
  PrivateSecurity& operator=(PrivateSecurity&&) noexcept = default;

  [[nodiscard]] PSECURITY_DESCRIPTOR descriptor() { return &descriptor_; }
  [[nodiscard]] PACL dacl() { return reinterpret_cast<PACL>(acl_.get()); }
  // The DACL in SDDL, as the system writes it: D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;NO)
  [[nodiscard]] Result<std::u16string> dacl_sddl();

 private:
  PrivateSecurity() = default;
  SECURITY_DESCRIPTOR descriptor_{};
  std::unique_ptr<std::byte[]> acl_;  // the descriptor points into it; it moves along, unchanged
};

// The token file, token\client.token in the service's folder (or in another folder, for tests), with a
// fresh token from the system's cryptographic generator: 64 lower-case hex digits.
//   1. The service's folder must be a real folder (no reparse point) owned by SYSTEM, Administrators
//      or the account the service runs as: a folder anybody else could make things in is never used.
//   2. token is made, or taken as it is only if it is a real folder with such an owner, and gets a
//      protected DACL: SYSTEM and Administrators full control, the client groups read.
//   3. A file already there is retired (retire_by_name), so that a reader holding it open no longer
//      holds its name; the new one is created only if nothing is there by then.
//   4. Its DACL is the private one, with read access for the client groups.
//   5. A file that cannot even be opened for DELETE (a reader holds it without delete sharing) is kept:
//      its token is read and used for this run, and the private DACL is applied to it again, so that
//      only the current client groups may open it anew (kept() says why).
// The file is retired again when the owner goes.
class ClientTokenFile {
 public:
  // `service_folder`: the folder of the running executable when empty.
  [[nodiscard]] static Result<ClientTokenFile> issue(const std::vector<Sid>& readers,
                                                     const std::u16string& service_folder = {});
  ClientTokenFile(ClientTokenFile&& other) noexcept;
  ClientTokenFile& operator=(ClientTokenFile&&) = delete;
  ClientTokenFile(const ClientTokenFile&) = delete;
  ~ClientTokenFile();

  [[nodiscard]] const std::string& token() const { return token_; }
  [[nodiscard]] const std::u16string& path() const { return path_; }
  // Why the token of a file already there was kept rather than replaced; nothing for a fresh token.
  [[nodiscard]] const std::optional<Error>& kept() const { return kept_; }

 private:
  ClientTokenFile(std::string token, std::u16string path, std::optional<Error> kept = std::nullopt)
      : token_(std::move(token)), path_(std::move(path)), kept_(std::move(kept)) {}
  std::string token_;
  std::u16string path_;  // empty once moved from
  std::optional<Error> kept_;
};

// Takes away the file of that name, or what stands there under it, without following a link: opened
// for DELETE on the name itself, renamed to a random name in the same folder, and deleted. Whoever
// still holds it open (sharing delete) then holds a file without the name, which is free at once.
// Nothing is done when nothing is there; the open's error when it cannot be opened for DELETE.
[[nodiscard]] Result<void> retire_by_name(const std::u16string& path);

}  // namespace orvanta::policy
