// The fixed texts a launch can end in; a client sees them after "Failed to start OpenVPN: ".
#pragma once

namespace orvanta::launch_error {

inline constexpr char no_file_name[] = "program path has no file name";
inline constexpr char quote_in_program[] = "program path contains a quote";
inline constexpr char nul_in_data[] = "nul byte found in provided data";
inline constexpr char nul_in_path[] = "strings passed to WinAPI cannot contain NULs";
inline constexpr char program_not_found[] = "program not found";
inline constexpr char bad_batch_argument[] = "batch file arguments are invalid";
inline constexpr char bad_batch_script[] = "Windows file names may not contain `\"` or end with `\\`";

}  // namespace orvanta::launch_error
