// The client token as text: how it is written, and how a request's copy is compared with it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvanta::policy {

inline constexpr std::size_t token_bytes = 32;

// Where the service writes the token: token\client.token in the service's own folder, where only
// administrators can make anything. The client, installed beside the service, looks for it there.
inline constexpr std::string_view token_folder_name = "token";
inline constexpr std::string_view token_file_name = "client.token";

// 64 lower-case hex digits.
[[nodiscard]] std::string token_text(const std::array<std::uint8_t, token_bytes>& bytes);

// Whether the two texts are equal, taking the same time whatever their contents, so that how long a
// refusal takes tells nothing of how much of a guess was right. (Their lengths are not secret: every
// token has 64 digits.)
[[nodiscard]] bool same_token(std::string_view given, std::string_view expected);

}  // namespace orvanta::policy
