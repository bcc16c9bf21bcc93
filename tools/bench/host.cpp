// bench_host PORT [MAX_WORKERS]: serves requests on 127.0.0.1:PORT with the service's own listener,
// accept loop and connection server, until standard input ends; at most MAX_WORKERS requests carried
// out at once (the service's own cap when not given).
#include <windows.h>

#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>

#include "end_of_input.hpp"
#include "server/accept_loop.hpp"
#include "server/listener.hpp"
#include "service/shutdown_flag.hpp"
#include "vpn/helper_operations.hpp"
#include "vpn/helper_state.hpp"

int main(int argc, char** argv) {
  std::uint16_t port = 0;
  orvanta::ConnectionLimits limits;
  const auto number = [](const char* text, auto& value) {
    return std::from_chars(text, text + std::strlen(text), value).ec == std::errc{};
  };
  if (argc < 2 || argc > 3 || !number(argv[1], port) || (argc == 3 && !number(argv[2], limits.max_workers))) {
    std::fputs("usage: bench_host PORT [MAX_WORKERS]\n", stderr);
    return 2;
  }
  auto listener = orvanta::open_listener(orvanta::Endpoint{{127, 0, 0, 1}, port});
  if (!listener) {
    return 1;  // open_listener has written why
  }
  auto state = std::make_shared<orvanta::HelperState>();
  orvanta::ShutdownFlag shutdown;
  std::thread loop([&] {
    orvanta::run_accept_loop(listener->get(), shutdown, std::make_shared<orvanta::HelperOperations>(state),
                             limits);
  });
  orvanta::bench::wait_for_end_of_input();
  shutdown.set();
  loop.join();
  state->stop_openvpn(std::chrono::milliseconds(0));
  return 0;
}
