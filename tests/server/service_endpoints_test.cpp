// What the service opens at its start, for each setting of TcpEndpoint and a pipe name that another
// process holds (a seam: Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE, so a real squatter never fails it).
#include "server/service_endpoints.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "loopback_server.hpp"
#include "support/pipes.hpp"
#include "support/polling.hpp"
#include "support/recording_failures.hpp"

namespace orvanta::test {
namespace {

using namespace std::chrono_literals;
using Reports = std::vector<std::pair<Failure, std::string>>;

TEST(ServiceEndpoints, TcpEndpointDecidesThePortAndATakenNameStopsOnlyAServiceWithoutIt) {
  policy::AccessPolicy::Seams no_paths;
  no_paths.read_paths = [] { return policy::PathPolicy{}; };
  const policy::AccessPolicy policy(policy::ClientPolicy{}, no_paths);
  const std::string wrong_type = "TcpEndpoint is not a REG_DWORD of 0 or 1";
  const Reports unusable = {{Failure::TcpEndpointUnusable, wrong_type}};
  const Reports taken = {{Failure::PipeCreate, error_text(Error::os(ERROR_ACCESS_DENIED))}};
  const Reports none;
  // The port opens as TcpEndpoint says; the pipe, unless its name is taken.
  struct Case {
    const char* name;
    bool listens;
    const char* problem;  // why TcpEndpoint cannot be used, if it cannot
    bool name_taken;
    std::optional<std::uint32_t> error;
    const Reports& reports;
  };
  const Case cases[] = {
      {"absent or 1", true, nullptr, false, std::nullopt, none},
      {"0", false, nullptr, false, std::nullopt, none},
      {"wrong type: off, with the event", false, wrong_type.c_str(), false, std::nullopt, unusable},
      {"name taken, port on: the port serves", true, nullptr, true, std::nullopt, taken},
      {"name taken, port off: nothing to serve", false, nullptr, true, 5u, taken},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScopedFailureSink recorded;
    const policy::TcpEndpointPolicy tcp{
        c.listens, c.problem == nullptr ? std::nullopt : std::optional<std::string>(c.problem)};
    const auto taken_now = std::make_shared<std::atomic<bool>>(c.name_taken);
    const std::u16string name = fresh_pipe_name();
    auto opened = open_service_endpoints(
        policy, {.port = any_loopback_port,
                 .pipe_name = name,
                 .pipe_seams = {.name_taken = [taken_now] { return taken_now->load(); }},
                 .read_tcp_endpoint = [tcp] { return tcp; }});
    EXPECT_EQ(recorded.sink().reports(), c.reports);
    if (c.error) {
      ASSERT_FALSE(opened.has_value());
      EXPECT_EQ(opened.error(), Error::os(*c.error));
      continue;
    }
    ASSERT_TRUE(opened.has_value()) << error_text(opened.error());
    EXPECT_EQ(static_cast<bool>(opened->listener), c.listens);
    ASSERT_TRUE(opened->pipe);
    EXPECT_EQ(static_cast<bool>(open_pipe_client(name)), !c.name_taken);
    if (!c.name_taken) {
      continue;
    }
    // While the port serves, the pipe is tried again every 5 s, the product's own pause: it serves
    // within that long of the name coming free.
    ShutdownFlag shutdown;
    const auto operations = std::make_shared<RecordingOperations>();
    std::thread loop(
        [&] { run_accept_loop(opened->listener.get(), shutdown, operations, {}, opened->pipe.get()); });
    const std::uint16_t port = local_port(opened->listener.get());
    EXPECT_EQ(round_trip(port, status_line), stopped) << "the port serves while the name is taken";
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(open_pipe_client(name)) << "the pipe came up while its name was taken";
    taken_now->store(false);
    const auto freed = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually([&] { return pipe_round_trip(name, status_line) == stopped; }, 7s));
    EXPECT_LE(std::chrono::steady_clock::now() - freed, PipeAcceptor::retry_pause + 500ms);
    shutdown.set();
    loop.join();
  }
}

}  // namespace
}  // namespace orvanta::test
