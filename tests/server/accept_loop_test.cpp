// The accept loop: the stop, the flag before every accept, and many clients at once.
#include "server/accept_loop.hpp"

#include <winsock2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "loopback_server.hpp"
#include "protocol/operations.hpp"
#include "server/listener.hpp"
#include "support/polling.hpp"
#include "support/recording_failures.hpp"

namespace orvanta::test {
namespace {

using namespace std::chrono_literals;

const std::string connect_line = R"({"cmd":"connect","openvpn":"o","config":"c","auth":"a","log":"l"})"
                                 "\n";

// Whether the server has sent anything on the connection, or closed it, by now.
bool answered(const UniqueSocket& client) {
  WSAPOLLFD polled{client.get(), POLLRDNORM, 0};
  return WSAPoll(&polled, 1, 0) != 0;
}

// Whoever fills the pool turns away its own oldest connection, not a newcomer that sends at once; the
// failure is reported once.
TEST(AcceptLoop, AFullPoolTurnsAwayItsOldestConnectionAndServesTheNewcomer) {
  const ScopedFailureSink recorded;
  const LoopbackServer server(ConnectionLimits{.max_waiting = 4});
  std::vector<UniqueSocket> silent;
  for (int i = 0; i < 4; ++i) {
    silent.push_back(connect_client(server.port()));
    std::this_thread::sleep_for(50ms);  // taken in in this order
  }
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(round_trip(server.port(), status_line), stopped);
  EXPECT_EQ(receive_all(silent[0].get()), turned_away);
  for (std::size_t i = 1; i < silent.size(); ++i) {
    EXPECT_FALSE(answered(silent[i])) << "silent connection " << i << " still waits";
  }
  EXPECT_EQ(server.operations().calls(), std::vector<std::string>{"status"});
  using Report = std::pair<Failure, std::string>;
  EXPECT_EQ(recorded.sink().reports(), (std::vector<Report>{{Failure::WorkerStart, "too many connections"}}));
}

// The pipe has a pool of its own, of the product's own size: 4,096 silent clients wait in it, and the
// next one turns away the oldest alone and is served. Opening that many one after the other takes
// Wine about 10 s, so the read deadline alone is lengthened here; the cap stays the product's.
TEST(AcceptLoop, ThePipePoolHolds4096AndTheNextTurnsAwayItsOldest) {
  const ScopedFailureSink recorded;
  const LoopbackServer server(ConnectionLimits{.read_timeout = 120s}, true);
  std::vector<UniqueFile> silent;
  for (int i = 0; i < 4096; ++i) {
    silent.push_back(open_pipe_client_when_free(server.pipe_name()));
    ASSERT_TRUE(silent.back()) << "pipe client " << i << ": error " << GetLastError();
  }
  EXPECT_EQ(pipe_round_trip(server.pipe_name(), status_line), stopped);
  EXPECT_EQ(read_pipe_line(silent[0].get()), turned_away);
  DWORD available = 0;
  const BOOL peeked = PeekNamedPipe(silent[1].get(), nullptr, 0, nullptr, &available, nullptr);
  const DWORD error = GetLastError();
  EXPECT_TRUE(peeked && available == 0) << "the second oldest still waits: " << available << " bytes, error "
                                        << error << " " << read_pipe_line(silent[1].get());
  EXPECT_EQ(server.operations().calls(), std::vector<std::string>{"status"});
}

// A line that finds every worker busy waits for one, and is served once one is free; that it is refused
// at its read deadline shows with the product's own cap and deadline, from outside.
TEST(AcceptLoop, ALineThatFindsEveryWorkerBusyWaitsForOne) {
  const LoopbackServer server(ConnectionLimits{.max_workers = 1});
  RecordingOperations& operations = server.operations();
  operations.hold_connects();
  const UniqueSocket held = connect_client(server.port());
  send_all(held.get(), connect_line);
  EXPECT_TRUE(eventually([&] { return operations.calls().size() == 1; }));
  const UniqueSocket waiting = connect_client(server.port());
  send_all(waiting.get(), status_line);
  std::this_thread::sleep_for(500ms);
  EXPECT_FALSE(answered(waiting));
  operations.release_connects();
  EXPECT_EQ(receive_all(waiting.get()), stopped);
  EXPECT_EQ(receive_all(held.get()), started);
}

TEST(AcceptLoop, ReturnsWithoutAcceptingWhenTheFlagIsAlreadySet) {
  auto listener = open_listener(any_loopback_port);
  ASSERT_TRUE(listener);
  const UniqueSocket waiting = connect_client(local_port(listener->get()), 10s);
  send_all(waiting.get(), status_line);
  ShutdownFlag shutdown;
  shutdown.set();
  run_accept_loop(listener->get(), shutdown, std::make_shared<RecordingOperations>());
  listener->reset();
  // Never handed to a worker: the connection ends with the listener, without a reply.
  EXPECT_EQ(receive_all(waiting.get()), "");
}

// A connection accepted before the stop is still served. The later client's reply shows that the loop
// runs, has gone past its first look at the flag and has taken the earlier one from the backlog; with
// nothing more to read it goes back into its wait, which only the stop's wake-up ends before the
// earlier one's read deadline.
TEST(AcceptLoop, AStopWakesTheLoopAndAConnectionAcceptedBeforeItIsStillServed) {
  LoopbackServer server;
  const UniqueSocket early = connect_client(server.port());
  EXPECT_EQ(round_trip(server.port(), status_line), stopped);
  EXPECT_TRUE(server.stop(5s));
  send_all(early.get(), status_line);
  EXPECT_EQ(receive_all(early.get()), stopped);
}

// Answers with what it finds, while the request is being answered, of the sockets in this process
// that are connected on the listener's `port`: the server's side of the connection, which a launch on
// another thread must not pass on to OpenVPN.
class InheritanceProbe final : public Operations {
 public:
  std::atomic<std::uint16_t> port = 0;
  HelperResponse connect(const Connect& /*request*/) override { return status(); }
  HelperResponse disconnect() override { return status(); }
  HelperResponse state() override { return status(); }
  HelperResponse status() override {
    std::string seen;
    for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
      sockaddr_in own{};
      sockaddr_in peer{};
      int own_size = sizeof own;
      int peer_size = sizeof peer;
      DWORD flags = 0;
      if (getsockname(value, reinterpret_cast<sockaddr*>(&own), &own_size) == 0 &&
          ntohs(own.sin_port) == port &&
          getpeername(value, reinterpret_cast<sockaddr*>(&peer), &peer_size) == 0 &&
          GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
        seen += (flags & HANDLE_FLAG_INHERIT) != 0 ? "[inheritable]" : "[not inheritable]";
      }
    }
    return {true, seen, std::nullopt};
  }
};

// accept hands back an inheritable socket under Wine, so this fails if the loop keeps it as it came.
// The worker may hold the connection under more than one handle: none of them may be inheritable.
TEST(AcceptLoop, TheServedConnectionIsNotInheritable) {
  const auto probe = std::make_shared<InheritanceProbe>();
  const LoopbackServer server({}, false, probe);
  probe->port = server.port();
  const std::string reply = round_trip(server.port(), status_line).value_or("");
  EXPECT_NE(reply.find("[not inheritable]"), std::string::npos) << reply;
  EXPECT_EQ(reply.find("[inheritable]"), std::string::npos) << reply;
}

// Silent clients each hold their place until their time-out, but never the loop or the other clients.
TEST(AcceptLoop, FiveHundredSilentClientsNeitherBlockOthersNorStayForEver) {
  constexpr auto read_timeout = 8s;
  const LoopbackServer server(ConnectionLimits{.read_timeout = read_timeout});
  std::vector<UniqueSocket> held;
  for (int i = 0; i < 500; ++i) {
    held.push_back(connect_client(server.port(), 60s));
    ASSERT_TRUE(held.back());
  }
  EXPECT_EQ(round_trip(server.port(), status_line), stopped);
  int dropped = 0;
  for (const UniqueSocket& socket : held) {
    dropped += receive_all(socket.get()) == timed_out ? 1 : 0;
  }
  EXPECT_EQ(dropped, 500);
}

}  // namespace
}  // namespace orvanta::test
