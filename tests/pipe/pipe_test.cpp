// The service's pipe under Wine: its early and late clients, a cancelled wait, a client's close, and
// who is calling, with tokens the test makes. Its security is read back from the running service.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/utf16.hpp"
#include "pipe/caller_identity.hpp"
#include "pipe/pipe_instance.hpp"
#include "pipe/pipe_listener.hpp"
#include "support/pipes.hpp"

namespace orvanta::pipe {
namespace {

using test::fresh_pipe_name;
using test::open_pipe_client;
using test::OverlappedWait;

PipeEndpoint endpoint(const PipeAudience& audience = {}, PipeEndpoint::Seams seams = {}) {
  return PipeEndpoint::make(fresh_pipe_name(), audience, std::move(seams)).value();
}

// Wine ignores FILE_FLAG_FIRST_PIPE_INSTANCE, so a name held by another process is played by the seam.
TEST(PipeEndpoint, ATakenNameFailsTheFirstInstanceWhileNoneOfItsOwnIsOpen) {
  bool taken = true;
  const PipeEndpoint pipe = endpoint({}, {.name_taken = [&taken] { return taken; }});
  EXPECT_EQ(pipe.create_instance().error(), Error::os(ERROR_ACCESS_DENIED));
  taken = false;
  std::optional<PipeInstance> first = pipe.create_instance().value();
  taken = true;
  std::optional<PipeInstance> further = pipe.create_instance().value();
  first.reset();
  EXPECT_TRUE(pipe.create_instance().has_value());  // the other still holds the name
  further = std::nullopt;
  EXPECT_EQ(pipe.create_instance().error(), Error::os(ERROR_ACCESS_DENIED));
}

// --- keeping an instance waiting ---

TEST(PipeListener, TheNextInstanceWaitsBeforeAConnectedOneIsHandedOver) {
  PipeEndpoint pipe = endpoint();
  const std::u16string name = pipe.name();
  OverlappedWait wait;
  PipeListener listener(std::move(pipe), {}, wait.event());
  const auto started = listener.listen();
  EXPECT_FALSE(started.failure.has_value());
  EXPECT_TRUE(started.connected.empty());

  const UniqueFile client = open_pipe_client(name);
  ASSERT_TRUE(wait.signalled(5000));
  const auto handed = listener.on_connect_completed(listener.connect_result());
  EXPECT_FALSE(handed.failure.has_value());
  ASSERT_EQ(handed.connected.size(), 1u);
  EXPECT_EQ(handed.connected[0].client_process_id(), GetCurrentProcessId());
  DWORD flags = 0;
  ASSERT_TRUE(GetNamedPipeInfo(handed.connected[0].handle(), &flags, nullptr, nullptr, nullptr));
  EXPECT_EQ(flags, static_cast<DWORD>(PIPE_SERVER_END));  // a byte stream: not PIPE_TYPE_MESSAGE
  EXPECT_TRUE(listener.waiting());

  listener.cancel();  // at a stop, on the instance made after the hand-over
  ASSERT_TRUE(wait.signalled(5000));
  EXPECT_EQ(listener.on_connect_completed(listener.connect_result()).failure,
            Error::os(ERROR_OPERATION_ABORTED));
  EXPECT_FALSE(listener.waiting());
}

// A client can come between the making of an instance and the start of its wait: the association
// hook, called just between the two, plays one that stays (535: connected, and no completion follows)
// and one that went again (232: the instance is disconnected and waits anew).
TEST(PipeListener, AClientThatCameFirstIsHandedOverAndOneThatWentIsLetGo) {
  for (const bool stays : {true, false}) {
    PipeEndpoint pipe = endpoint();
    const std::u16string name = pipe.name();
    OverlappedWait wait;
    std::vector<UniqueFile> clients;
    int associated = 0;
    PipeListener listener(
        std::move(pipe),
        [&](HANDLE) -> Result<void> {
          if (associated++ == 0) {
            UniqueFile client = open_pipe_client(name);
            if (stays) {
              clients.push_back(std::move(client));
            }
          }
          return {};
        },
        wait.event());
    const auto outcome = listener.listen();
    EXPECT_FALSE(outcome.failure.has_value()) << stays;
    ASSERT_EQ(outcome.connected.size(), stays ? 1u : 0u);
    if (stays) {
      EXPECT_EQ(outcome.connected[0].client_process_id(), GetCurrentProcessId());
    }
    EXPECT_EQ(associated, stays ? 2 : 1);  // the next instance, only for the one handed over
    EXPECT_TRUE(listener.waiting());
    EXPECT_FALSE(wait.signalled());
    const UniqueFile next = open_pipe_client(name);  // the instance let go takes a client again
    ASSERT_TRUE(next);
    EXPECT_TRUE(wait.signalled(5000));
  }
}

// Clients that keep coming before every wait, played by the association hook: a hand-over takes at
// most 64 turns, and then keeps an instance without a wait, holding the name, until it is resumed.
TEST(PipeListener, ACrowdThatKeepsComingIsHandedOverAFewAtATime) {
  PipeEndpoint pipe = endpoint();
  const std::u16string name = pipe.name();
  OverlappedWait wait;
  std::vector<UniqueFile> clients;
  PipeListener listener(
      std::move(pipe),
      [&](HANDLE) -> Result<void> {
        clients.push_back(open_pipe_client(name));
        return {};
      },
      wait.event());
  for (int round = 0; round < 2; ++round) {
    const auto outcome = round == 0 ? listener.listen() : listener.resume();
    EXPECT_FALSE(outcome.failure.has_value());
    EXPECT_EQ(outcome.connected.size(), 64u);
    EXPECT_FALSE(listener.waiting());
    EXPECT_TRUE(listener.kept());
  }
  EXPECT_EQ(clients.size(), 128u) << "an instance was made beside the kept one";
}

// --- who is calling ---

policy::Sid sid(std::u16string_view text) { return *policy::Sid::parse(text); }

TEST(CallerIdentity, OnlyEnabledMembershipsCount) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token));
  const UniqueHandle own(token);
  // Administrators made deny-only, as in a filtered UAC token, and copies at two impersonation levels.
  const policy::Sid administrators = sid(u"S-1-5-32-544");
  SID_AND_ATTRIBUTES deny_only{administrators.get(), 0};
  HANDLE made[3] = {};
  EXPECT_TRUE(CreateRestrictedToken(own.get(), 0, 1, &deny_only, 0, nullptr, 0, nullptr, &made[0]));
  EXPECT_TRUE(DuplicateTokenEx(own.get(), TOKEN_QUERY, nullptr, SecurityIdentification, TokenImpersonation,
                               &made[1]));
  EXPECT_TRUE(
      DuplicateTokenEx(own.get(), TOKEN_QUERY, nullptr, SecurityAnonymous, TokenImpersonation, &made[2]));
  const UniqueHandle filtered(made[0]), identification(made[1]), anonymous(made[2]);
  std::vector<policy::Sid> everyone;
  everyone.push_back(sid(u"S-1-1-0"));
  std::vector<policy::Sid> elsewhere;
  elsewhere.push_back(sid(u"S-1-5-32-556"));
  const std::vector<policy::Sid> none;

  struct Case {
    const char* name;
    HANDLE token;
    const std::vector<policy::Sid>& groups;
    CallerStanding standing;
  };
  const Case cases[] = {
      {"own token (an Administrator under Wine)", own.get(), none, CallerStanding::Administrator},
      {"its identification copy", identification.get(), none, CallerStanding::Administrator},
      {"Administrators deny-only", filtered.get(), none, CallerStanding::Other},
      {"deny-only, in a client group", filtered.get(), everyone, CallerStanding::ClientGroupMember},
      {"deny-only, in no client group", filtered.get(), elsewhere, CallerStanding::Other},
      {"anonymous level", anonymous.get(), everyone, CallerStanding::Unidentified},
  };
  for (const Case& c : cases) {
    const auto caller = identify_caller(c.token, c.groups);
    ASSERT_TRUE(caller.has_value()) << c.name << ": " << caller.error().os_code();
    EXPECT_EQ(caller->standing, c.standing) << c.name;
    EXPECT_EQ(caller->account.empty(), c.standing == CallerStanding::Unidentified) << c.name;
  }
}

// Wine hands a pipe server its own token whoever the client is, so the client here is this process.
// Pipes have no half-close: a client is done when it closes its end.
TEST(PipeInstance, AClientIsTakenFromItsTokenAndItsCloseEndsAPendingReadAndEveryLaterTransfer) {
  const PipeEndpoint pipe = endpoint();
  PipeInstance instance = pipe.create_instance().value();
  OverlappedWait wait;
  ASSERT_EQ(instance.begin_connect(wait.overlapped()), ConnectStart::Pending);
  UniqueFile client = open_pipe_client(pipe.name());
  ASSERT_EQ(wait.result(instance.handle()), 0u);
  DWORD moved = 0;
  ASSERT_TRUE(WriteFile(client.get(), "x", 1, &moved, nullptr));
  char byte = 0;
  OverlappedWait read;
  ASSERT_EQ(instance.begin_read({&byte, 1}, read.overlapped()), TransferStart::Pending);
  ASSERT_EQ(read.result(instance.handle()), 0u);

  const auto caller = identify_pipe_client(instance.handle(), {});
  ASSERT_TRUE(caller.has_value()) << caller.error().os_code();
  EXPECT_EQ(caller->standing, CallerStanding::Administrator);
  EXPECT_TRUE(caller->account.starts_with(u"S-1-5-"));
  // No pipe, no impersonation: an error, and the thread still runs as itself.
  const UniqueHandle not_a_pipe(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  EXPECT_FALSE(identify_pipe_client(not_a_pipe.get(), {}).has_value());
  HANDLE token = nullptr;
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));

  OverlappedWait pending;
  ASSERT_EQ(instance.begin_read({&byte, 1}, pending.overlapped()), TransferStart::Pending);
  client.reset();
  EXPECT_TRUE(client_closed(pending.result(instance.handle())));
  OverlappedWait later_read;
  OverlappedWait write;
  EXPECT_EQ(instance.begin_read({&byte, 1}, later_read.overlapped()), TransferStart::ClientClosed);
  EXPECT_EQ(instance.begin_write({"x", 1}, write.overlapped()), TransferStart::ClientClosed);
}

}  // namespace
}  // namespace orvanta::pipe
