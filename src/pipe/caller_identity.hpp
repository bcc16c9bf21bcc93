// Who is calling on the pipe, as far as a request's fate goes: decided from the caller's token.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/error.hpp"
#include "pipe/pipe_admission.hpp"
#include "policy/client_token.hpp"

namespace orvanta::pipe {

struct Caller {
  CallerStanding standing = CallerStanding::Unidentified;
  std::u16string account;  // the token user's SID string, for events; empty when unidentified
};

// The standing of a token's holder; the token needs TOKEN_QUERY (and TOKEN_DUPLICATE when primary).
//   1. An impersonation token below identification level, or the anonymous account's, is unidentified.
//   2. SYSTEM, else Administrators, else any of `client_groups`, else other; each asked with
//      CheckTokenMembership, which counts only enabled entries: a deny-only Administrators, as in a
//      filtered UAC token, makes its holder no administrator.
[[nodiscard]] Result<Caller> identify_caller(HANDLE token, const std::vector<policy::Sid>& client_groups);

// The standing of a pipe's client, once its request has been read (the system lets a server
// impersonate only after reading from the pipe):
//   1. ImpersonateNamedPipeClient; a failure is an error, and the caller refuses the request: it never
//      goes on to decide with the service's own token;
//   2. OpenThreadToken as self, so that the service's own rights open it; a client that opened the pipe
//      anonymously leaves no token to open and is unidentified;
//   3. RevertToSelf, whatever step 2 gave; if that fails, the thread would go on as the client, so the
//      process ends instead;
//   4. identify_caller on the token.
[[nodiscard]] Result<Caller> identify_pipe_client(HANDLE pipe, const std::vector<policy::Sid>& client_groups);

}  // namespace orvanta::pipe
