// The client's check of the pipe's server, against false servers this test plays and a true one. The
// client program's exchange, and its refusal of a false server, are seen beside the real service.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include "client/pipe_client.hpp"
#include "pipe/caller_identity.hpp"
#include "pipe/pipe_instance.hpp"
#include "support/pipes.hpp"

namespace orvanta::client {
namespace {

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
    const pipe::PipeEndpoint endpoint = pipe::PipeEndpoint::make(name, {}).value();
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
    EXPECT_EQ(mismatch.has_value(), !c.mismatch.empty()) << c.name;
    EXPECT_TRUE(mismatch.value_or("").starts_with(c.mismatch)) << c.name << ": " << mismatch.value_or("");
  }
}

}  // namespace
}  // namespace orvanta::client
