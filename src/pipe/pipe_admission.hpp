// What a pipe caller's standing means for its request, under the client policy.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace orvanta::pipe {

enum class CallerStanding {
  Unidentified,  // an anonymous token, or one below identification level: it says nothing of anyone
  Other,
  ClientGroupMember,
  Administrator,
  System,
};

// A pipe client as the system vouches for it, once its line has been read.
struct PipeCaller {
  CallerStanding standing = CallerStanding::Unidentified;
  std::u16string account;                   // the token user's SID string; empty when unidentified
  std::optional<std::uint32_t> process_id;  // a hint for events, never a ground for a decision
};

enum class PipeAdmission {
  Served,      // as without a policy
  NeedsToken,  // the request must carry the client token, as over the port
  Refused,     // the client policy cannot be applied; the refusal is the port's
};

// The standing, as the system vouches for it, stands in for the token the port needs:
//   1. a client policy that cannot be applied serves SYSTEM and Administrators alone, so that an
//      administrator can still disconnect; everyone else is refused, as on the port;
//   2. with a token required, SYSTEM, Administrators and ClientGroups members need none; anyone else
//      must carry it;
//   3. otherwise every caller is served.
//   Administrator, unusable policy   -> Served
//   Unidentified, token required     -> NeedsToken
[[nodiscard]] PipeAdmission pipe_admission(CallerStanding standing, bool policy_usable, bool token_required);

}  // namespace orvanta::pipe
