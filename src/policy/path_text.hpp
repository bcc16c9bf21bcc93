// Path comparisons on text alone, as an administrator's path lists are applied to request paths.
#pragma once

#include <string>
#include <string_view>

namespace orvanta::policy {

// Whether a full path names something on the network or a device rather than a file on a local
// drive. Only a drive path, written plainly or behind the verbatim prefix, is local:
//   C:\vpn\x.ovpn, \\?\C:\vpn\x.ovpn -> no
//   \\server\share\x, \\?\UNC\server\share\x, \\.\pipe\x, \\.\con, \\?\GLOBALROOT\x, \??\C:\x -> yes
[[nodiscard]] bool is_network_or_device(std::u16string_view full_path);

// The form in which two full or final paths are compared: without the verbatim prefix in front of a
// drive path, and without separators at the end.  \\?\C:\cfg\ -> C:\cfg
[[nodiscard]] std::u16string comparable_path(std::u16string_view path);

// Whether the two comparable paths name the same file, letters compared without regard to ASCII case
// (a non-ASCII letter must match as written, which can only refuse, never allow too much).
[[nodiscard]] bool same_path(std::u16string_view a, std::u16string_view b);

// Whether `path` lies in `folder` at any depth below it, both comparable paths; with
// `folder_itself`, also when it is that folder.
//   C:\cfg\a\x.ovpn in C:\CFG -> yes;  C:\cfg-evil\x.ovpn in C:\cfg -> no;  C:\cfg in C:\cfg -> folder_itself
[[nodiscard]] bool is_within(std::u16string_view path, std::u16string_view folder,
                             bool folder_itself = false);

}  // namespace orvanta::policy
