// The pipe's DACL entries from the client policy.
#include "pipe/pipe_access.hpp"

namespace orvanta::pipe {

std::vector<PipeAccessEntry> pipe_access_entries(const PipeAudience& audience) {
  using enum PipeAccessEntry::Kind;
  std::vector<PipeAccessEntry> entries = {
      {Deny, std::u16string(network_logon_sid), pipe_full_control},
      {Allow, std::u16string(local_system_sid), pipe_full_control},
      {Allow, std::u16string(administrators_sid), pipe_full_control},
  };
  if (!audience.policy_usable) {
    return entries;
  }
  if (audience.client_groups.empty()) {
    entries.push_back({Allow, std::u16string(authenticated_users_sid), pipe_client_access});
  }
  for (const std::u16string& group : audience.client_groups) {
    entries.push_back({Allow, group, pipe_client_access});
  }
  return entries;
}

}  // namespace orvanta::pipe
