// The client's checks of the pipe's server, against false servers this test plays and against a true
// one. The client program before a false server is seen beside the real service.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <atomic>
#include <thread>

#include "client/pipe_client.hpp"
#include "pipe/caller_identity.hpp"
#include "pipe/pipe_instance.hpp"
#include "support/pipes.hpp"
#include "support/text.hpp"

namespace orvanta::client {
namespace {

using test::OverlappedWait;

// An instance owned by the test's own account, as a pipe that anyone but the service creates.
UniqueFile pipe_owned_by_this_account(std::u16string_view name) {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token);
  const UniqueHandle held_token(token);
  const auto self = pipe::identify_caller(token, {});
  EXPECT_TRUE(self.has_value());
  const std::wstring sddl = L"O:" + to_wide(self ? self->account : u"") + L"D:P(A;;FA;;;WD)";
  PSECURITY_DESCRIPTOR security = nullptr;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &security,
                                                                   nullptr));
  const UniqueLocalMemory held_security(security);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, security, FALSE};
  return UniqueFile(CreateNamedPipeW(to_wide(name).c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096,
                                     0, &attributes));
}

pipe::PipeEndpoint service_like_endpoint(std::u16string name) {
  auto endpoint = pipe::PipeEndpoint::make(std::move(name), {});
  EXPECT_TRUE(endpoint.has_value());
  return std::move(*endpoint);
}

TEST(PipeServerCheck, OnlyTheServiceProcessWithAnAdministratorsOwnerPasses) {
  const DWORD self = GetCurrentProcessId();
  struct Case {
    const char* name;
    bool owned_by_administrators;  // else by this account
    std::optional<DWORD> service_pid;
    std::string mismatch;  // what the reason begins with; empty when the server passes
  };
  const Case cases[] = {
      {"the service, owned by Administrators", true, self, ""},
      {"the service is not running", true, std::nullopt, "the service is not running"},
      {"another process serves it", true, self + 4, "it is served by process"},
      {"owned by a user, served by the service's process", false, self, "it is owned by S-1-5-"},
  };
  for (const Case& c : cases) {
    const std::u16string name = test::fresh_pipe_name();
    const pipe::PipeEndpoint endpoint = service_like_endpoint(name);
    std::optional<pipe::PipeInstance> service_owned;
    UniqueFile user_owned;
    if (c.owned_by_administrators) {
      service_owned.emplace(endpoint.create_instance().value());
    } else {
      user_owned = pipe_owned_by_this_account(name);
      ASSERT_TRUE(user_owned) << c.name;
    }
    const UniqueFile client = test::open_pipe_client(name);
    ASSERT_TRUE(client) << c.name;
    const auto mismatch = server_mismatch(client.get(), c.service_pid);
    if (c.mismatch.empty()) {
      EXPECT_EQ(mismatch, std::nullopt) << c.name;
    } else {
      ASSERT_TRUE(mismatch.has_value()) << c.name;
      EXPECT_TRUE(mismatch->starts_with(c.mismatch)) << c.name << ": " << *mismatch;
    }
  }
}

// A server that takes one client, records what it sends up to its line feed (within 30 s), and gives
// the reply.
class RecordingServer {
 public:
  struct Record {
    bool reached = false;
    std::string received;
  };

  RecordingServer(pipe::PipeInstance instance, std::string reply)
      : instance_(std::move(instance)), reply_(std::move(reply)), thread_([this] { serve(); }) {}
  RecordingServer(const RecordingServer&) = delete;
  RecordingServer& operator=(const RecordingServer&) = delete;
  ~RecordingServer() {
    if (thread_.joinable()) {
      instance_.cancel(connect_.overlapped());  // no client came
      thread_.join();
    }
  }

  // Once the server is done.
  [[nodiscard]] Record record() {
    thread_.join();
    return record_;
  }

 private:
  // Whether the operation just started on `wait` ended well within 30 s.
  bool completed(const Result<pipe::TransferStart>& started, OverlappedWait& wait) {
    if (started != pipe::TransferStart::Pending) {
      return false;
    }
    if (!wait.signalled(30000)) {
      instance_.cancel(wait.overlapped());
    }
    return wait.result(instance_.handle()) == 0;
  }

  void serve() {
    const auto started = instance_.begin_connect(connect_.overlapped());
    record_.reached = started == pipe::ConnectStart::Connected ||
                      (started == pipe::ConnectStart::Pending && connect_.result(instance_.handle()) == 0);
    char byte = 0;
    while (record_.reached && !record_.received.ends_with('\n')) {
      OverlappedWait read;
      if (!completed(instance_.begin_read({&byte, 1}, read.overlapped()), read)) {
        break;
      }
      record_.received.push_back(byte);
    }
    OverlappedWait write;
    (void)completed(instance_.begin_write(reply_, write.overlapped()), write);
  }

  pipe::PipeInstance instance_;
  std::string reply_;
  OverlappedWait connect_;
  Record record_;
  std::thread thread_;  // last, so that it starts once the rest is in place
};

TEST(PipeExchange, TheLineGoesOutAndTheReplyComesBackOnceTheServerPasses) {
  const std::u16string name = test::fresh_pipe_name();
  const pipe::PipeEndpoint endpoint = service_like_endpoint(name);
  auto instance = endpoint.create_instance();
  ASSERT_TRUE(instance.has_value());
  const std::string reply = "{\"ok\":true,\"message\":\"stopped\",\"pid\":null}\n";
  RecordingServer server(std::move(*instance), reply);

  const auto got = exchange_over_pipe("{\"cmd\":\"status\"}\n",
                                      {to_wide(name), [] { return std::optional(GetCurrentProcessId()); }});
  ASSERT_TRUE(got.has_value()) << got.error();
  EXPECT_EQ(*got, reply);
  const auto record = server.record();
  EXPECT_TRUE(record.reached);
  EXPECT_EQ(record.received, "{\"cmd\":\"status\"}\n");
}

}  // namespace
}  // namespace orvanta::client
