// limits_host PORT: the request server with the product's own limits on 127.0.0.1:PORT, for checks of
// those limits from outside. Requests are carried out by recording operations whose connects are held
// until released, so that a check can keep every worker busy. Commands, one a line, on standard input:
// "count" writes how many requests have reached their operation so far; "release" lets every held
// connect (and every later one) finish. The host ends when standard input ends.
#include <windows.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "server/accept_loop.hpp"
#include "server/listener.hpp"
#include "service/shutdown_flag.hpp"
#include "support/recording_operations.hpp"

int main(int argc, char** argv) {
  std::uint16_t port = 0;
  if (argc != 2 || std::from_chars(argv[1], argv[1] + std::strlen(argv[1]), port).ec != std::errc{}) {
    std::fputs("usage: limits_host PORT\n", stderr);
    return 2;
  }
  auto listener = orvanta::open_listener(orvanta::Endpoint{{127, 0, 0, 1}, port});
  if (!listener) {
    return 1;  // open_listener has written why
  }
  const auto operations = std::make_shared<orvanta::test::RecordingOperations>();
  operations->hold_connects();
  orvanta::ShutdownFlag shutdown;
  std::thread loop([&] { orvanta::run_accept_loop(listener->get(), shutdown, operations); });
  char line[64];
  while (std::fgets(line, sizeof line, stdin) != nullptr) {
    if (std::string(line).starts_with("release")) {
      operations->release_connects();
    } else {
      std::printf("%zu\n", operations->calls().size());
      std::fflush(stdout);
    }
  }
  operations->release_connects();
  shutdown.set();
  loop.join();
  return 0;
}
