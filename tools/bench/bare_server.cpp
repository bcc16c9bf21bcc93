// bench_bare_server PORT: the yardstick for the request server. A blocking accept, one thread per
// connection (with the same stack reservation), read to the first line feed, one fixed reply, close.
// Nothing else: no read handle, no time-out, no parsing, no state.
#include <winsock2.h>
#include <windows.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "end_of_input.hpp"

namespace {

constexpr char reply[] = "{\"ok\":true,\"message\":\"stopped\",\"pid\":null}\n";

DWORD WINAPI serve(LPVOID parameter) {
  const SOCKET connection = reinterpret_cast<SOCKET>(parameter);
  char buffer[8192];
  for (;;) {
    const int n = recv(connection, buffer, sizeof(buffer), 0);
    if (n <= 0 || std::memchr(buffer, '\n', static_cast<std::size_t>(n)) != nullptr) {
      break;
    }
  }
  send(connection, reply, static_cast<int>(sizeof(reply) - 1), 0);
  closesocket(connection);
  return 0;
}

DWORD WINAPI accept_connections(LPVOID parameter) {
  const SOCKET listener = reinterpret_cast<SOCKET>(parameter);
  for (;;) {
    const SOCKET connection = accept(listener, nullptr, nullptr);
    if (connection == INVALID_SOCKET) {
      continue;
    }
    const HANDLE thread = CreateThread(nullptr, 2 * 1024 * 1024, serve, reinterpret_cast<LPVOID>(connection),
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) {
      closesocket(connection);
    } else {
      CloseHandle(thread);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::uint16_t port = 0;
  if (argc != 2 || std::from_chars(argv[1], argv[1] + std::strlen(argv[1]), port).ec != std::errc{}) {
    std::fputs("usage: bench_bare_server PORT\n", stderr);
    return 2;
  }
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    return 1;
  }
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener == INVALID_SOCKET ||
      bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR ||
      listen(listener, 128) == SOCKET_ERROR) {
    std::fprintf(stderr, "bench_bare_server: cannot listen on port %u: %d\n", port, WSAGetLastError());
    return 1;
  }
  const HANDLE acceptor =
      CreateThread(nullptr, 0, accept_connections, reinterpret_cast<LPVOID>(listener), 0, nullptr);
  if (acceptor == nullptr) {
    return 1;
  }
  orvanta::bench::wait_for_end_of_input();
  return 0;
}
