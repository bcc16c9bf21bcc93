// Path comparisons on text alone, as an administrator's path lists are applied to request paths.
#pragma once

#include <string>
#include <string_view>

namespace orvanta::policy {

// What a request's path is on its text as sent, before anything is asked of the system.
enum class PathText {
  Drive,            // C:\vpn\x.ovpn, C:/vpn/x.ovpn: checked as its full path
  VerbatimDrive,    // \\?\C:\vpn\x.ovpn: checked as C:\vpn\x.ovpn if that is already its own full path
  BareName,         // openvpn: found by the program search
  NetworkOrDevice,  // \\server\share\x, \\.\pipe\x, \\?\UNC\..., \\?\GLOBALROOT\..., \??\...
  Relative,         // a.ovpn, C:x.ovpn, \x
  NotPlain,         // empty, a NUL, a stream (C:\vpn\x.ovpn:s)
};

// The text rule for a path a client sends while a path value is set:
//   1. Empty, or with a NUL: NotPlain.
//   2. With `bare_name_allowed` (the program), a text without \, / or : is a BareName.
//   3. A drive letter, : and a separator begin a Drive path; after \\?\ they begin a VerbatimDrive one.
//      Any further : names a stream: NotPlain.
//   4. Two separators, or \??\, begin a NetworkOrDevice path.
//   5. Everything else is Relative: to the current folder, drive, or folder on a drive.
[[nodiscard]] PathText classify_path_text(std::u16string_view text, bool bare_name_allowed);

// The part of a Drive or VerbatimDrive text that is checked: without the verbatim prefix.
[[nodiscard]] std::u16string_view without_verbatim_prefix(std::u16string_view text);

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
