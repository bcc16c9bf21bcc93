// Deciding who a caller is from its token, and taking a pipe client's token.
#include "pipe/caller_identity.hpp"

#include <sddl.h>

#include <array>
#include <cstdlib>

#include "common/handle.hpp"
#include "common/utf16.hpp"

namespace orvanta::pipe {

namespace {

Error last_error() { return Error::os(GetLastError()); }

template <class Information>
Result<Information> token_information(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  Information value{};
  DWORD size = 0;
  if (!GetTokenInformation(token, kind, &value, sizeof value, &size)) {
    return std::unexpected(last_error());
  }
  return value;
}

// The token's user as a SID string, or nothing for the anonymous account.
Result<std::optional<std::u16string>> named_user(HANDLE token) {
  std::array<std::byte, sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE> buffer{};
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) {
    return std::unexpected(last_error());
  }
  const PSID user = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
  if (IsWellKnownSid(user, WinAnonymousSid)) {
    return std::nullopt;
  }
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(user, &text)) {
    return std::unexpected(last_error());
  }
  const UniqueLocalMemory held(text);
  return from_wide(text);
}

Result<bool> is_member(HANDLE token, PSID group) {
  BOOL member = FALSE;
  if (!CheckTokenMembership(token, group, &member)) {
    return std::unexpected(last_error());
  }
  return member != FALSE;
}

}  // namespace

Result<Caller> identify_caller(HANDLE token, const std::vector<policy::Sid>& client_groups) {
  const auto type = token_information<TOKEN_TYPE>(token, TokenType);
  if (!type) {
    return std::unexpected(type.error());
  }
  // CheckTokenMembership takes impersonation tokens only; a primary token identifies its holder
  // fully, and a copy at identification level says the same.
  UniqueHandle copy;
  if (*type == TokenPrimary) {
    HANDLE duplicate = nullptr;
    if (!DuplicateTokenEx(token, TOKEN_QUERY, nullptr, SecurityIdentification, TokenImpersonation,
                          &duplicate)) {
      return std::unexpected(last_error());
    }
    copy.reset(duplicate);
    token = copy.get();
  } else {
    const auto level = token_information<SECURITY_IMPERSONATION_LEVEL>(token, TokenImpersonationLevel);
    if (!level) {
      return std::unexpected(level.error());
    }
    if (*level < SecurityIdentification) {
      return Caller{};
    }
  }
  auto account = named_user(token);
  if (!account) {
    return std::unexpected(account.error());
  }
  if (!*account) {
    return Caller{};
  }

  struct Rank {
    WELL_KNOWN_SID_TYPE sid;
    CallerStanding standing;
  };
  for (const Rank rank : {Rank{WinLocalSystemSid, CallerStanding::System},
                          Rank{WinBuiltinAdministratorsSid, CallerStanding::Administrator}}) {
    auto sid = policy::Sid::well_known(rank.sid);
    auto member = sid ? is_member(token, sid->get()) : std::unexpected(sid.error());
    if (!member) {
      return std::unexpected(member.error());
    }
    if (*member) {
      return Caller{rank.standing, std::move(**account)};
    }
  }
  for (const policy::Sid& group : client_groups) {
    auto member = is_member(token, group.get());
    if (!member) {
      return std::unexpected(member.error());
    }
    if (*member) {
      return Caller{CallerStanding::ClientGroupMember, std::move(**account)};
    }
  }
  return Caller{CallerStanding::Other, std::move(**account)};
}

Result<Caller> identify_pipe_client(HANDLE pipe, const std::vector<policy::Sid>& client_groups) {
  if (!ImpersonateNamedPipeClient(pipe)) {
    return std::unexpected(last_error());
  }
  HANDLE opened = nullptr;
  const BOOL got_token = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &opened);
  const DWORD open_error = got_token ? ERROR_SUCCESS : GetLastError();
  if (!RevertToSelf()) {
    // Going on would serve this and every later request on the thread as the client.
    std::abort();
  }
  const UniqueHandle token(opened);
  if (!got_token) {
    if (open_error == ERROR_CANT_OPEN_ANONYMOUS) {
      return Caller{};
    }
    return std::unexpected(Error::os(open_error));
  }
  return identify_caller(token.get(), client_groups);
}

}  // namespace orvanta::pipe
