// The few Winsock error codes that the platform-free reading and writing code has to tell apart.
#pragma once

#include <cstdint>

namespace orvanta {

inline constexpr std::uint32_t wsa_interrupted = 10004;  // WSAEINTR: repeat the call
inline constexpr std::uint32_t wsa_shutdown = 10058;     // WSAESHUTDOWN: the stream has ended
inline constexpr std::uint32_t wsa_timed_out = 10060;    // WSAETIMEDOUT: the read time-out ran out

}  // namespace orvanta
