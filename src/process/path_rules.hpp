// Plain text rules about Windows paths that program search and batch detection rest on.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta {

// "\\?\": the system takes the rest of the path as it is, without normalising it.
[[nodiscard]] bool has_verbatim_prefix(std::u16string_view path);
// "\\?\" or the native "\??\".
[[nodiscard]] bool has_any_verbatim_prefix(std::u16string_view path);

// Both / and \ separate path components (a verbatim path takes only \; see names_a_file).
[[nodiscard]] constexpr bool is_path_separator(char16_t unit) { return unit == u'\\' || unit == u'/'; }
[[nodiscard]] bool contains_separator(std::u16string_view text);
[[nodiscard]] bool names_a_file(std::u16string_view program);
[[nodiscard]] bool ends_with_ascii_nocase(std::u16string_view text, std::u16string_view suffix);
[[nodiscard]] bool has_batch_extension(std::u16string_view path);

[[nodiscard]] std::vector<std::u16string> split_path_variable(std::u16string_view value);
[[nodiscard]] std::optional<std::u16string> parent_directory(std::u16string_view path);
[[nodiscard]] std::u16string join_path(std::u16string_view directory, std::u16string_view name);

}  // namespace orvanta
