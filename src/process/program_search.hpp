// From the program text of a launch to the path of the executable that CreateProcessW is given.
#pragma once

#include <string>
#include <string_view>

#include "common/error.hpp"
#include "process/command.hpp"
#include "process/system_queries.hpp"

namespace orvanta {

// The form of a path handed to the system: absolute, and verbatim where it would be too long for
// the legacy limits. Lengths in the rules count the terminating NUL, which the result leaves out.
[[nodiscard]] Result<std::u16string> to_user_path(std::u16string_view path, SystemQueries& system);

// The application path for a program text (UTF-8), searched for when it is a bare name.
[[nodiscard]] Result<std::u16string> resolve_program(std::string_view program, SystemQueries& system,
                                                     ProgramSearch search = ProgramSearch::Standard);

// Whether the application path names a .bat or .cmd script, as the system will see the name.
[[nodiscard]] Result<bool> is_batch_file(std::u16string_view application, SystemQueries& system);

}  // namespace orvanta
