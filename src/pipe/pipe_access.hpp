// Who may open the service's named pipe: the entries of its DACL, decided from the client policy alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvanta::pipe {

// Full control, for the service's own accounts (FILE_ALL_ACCESS, "FA" in SDDL).
inline constexpr std::uint32_t pipe_full_control = 0x001F01FF;
// What a client may do: read and write data, attributes and extended attributes, read the security,
// and wait on its handle. On a pipe FILE_APPEND_DATA is FILE_CREATE_PIPE_INSTANCE, which would let the
// holder add an instance of its own under the name and answer clients in the service's place; so this
// is read and write without that bit, where GENERIC_WRITE ("FW") would carry it.
inline constexpr std::uint32_t pipe_client_access = 0x0012019B;
inline constexpr std::uint32_t create_pipe_instance_right = 0x00000004;

// The accounts the entries name, as SID strings.
inline constexpr std::u16string_view network_logon_sid = u"S-1-5-2";         // "NU"
inline constexpr std::u16string_view local_system_sid = u"S-1-5-18";         // "SY"
inline constexpr std::u16string_view administrators_sid = u"S-1-5-32-544";   // "BA", also the owner
inline constexpr std::u16string_view authenticated_users_sid = u"S-1-5-11";  // "AU"

struct PipeAccessEntry {
  enum class Kind { Deny, Allow };
  Kind kind;
  std::u16string trustee;  // a SID string
  std::uint32_t access;
  friend bool operator==(const PipeAccessEntry&, const PipeAccessEntry&) = default;
};

// What the client policy says about who talks to the service.
struct PipeAudience {
  // False when the client policy cannot be applied: then only SYSTEM and Administrators are served, on
  // the pipe, so that an administrator can still disconnect.
  bool policy_usable = true;
  // ClientGroups as SID strings, as the policy accepted them; empty when it is not set.
  std::vector<std::u16string> client_groups;
};

// The entries of the pipe's protected DACL, in order:
//   1. network logons are denied everything, whatever groups they are in;
//   2. SYSTEM and Administrators get full control;
//   3. with a usable policy, client access for each ClientGroups SID, or for Authenticated Users when
//      none is set; with an unusable one, nobody else.
//   no policy              -> D:P(D;;FA;;;NU)(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019b;;;AU)
//   ClientGroups NO        -> D:P(D;;FA;;;NU)(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019b;;;NO)
//   unusable client policy -> D:P(D;;FA;;;NU)(A;;FA;;;SY)(A;;FA;;;BA)
[[nodiscard]] std::vector<PipeAccessEntry> pipe_access_entries(const PipeAudience& audience);

}  // namespace orvanta::pipe
