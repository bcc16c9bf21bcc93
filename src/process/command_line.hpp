// The command lines handed to CreateProcessW: one for ordinary programs, one for batch scripts.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace orvanta {

// The command line of an ordinary program, without its terminating NUL. The program text is the
// caller's, not the resolved path, so the child sees argv[0] as it was asked for.
[[nodiscard]] Result<std::u16string> build_command_line(std::string_view program,
                                                        std::span<const std::string> arguments);

// The command line that makes cmd.exe run a batch script with the given arguments, without its
// terminating NUL. `script` is the resolved path of the script.
[[nodiscard]] Result<std::u16string> build_batch_command_line(std::u16string_view script,
                                                              std::span<const std::string> arguments);

}  // namespace orvanta
