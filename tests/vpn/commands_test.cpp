// The two command lines: the taskkill id in decimal, and which standard streams each launch sets.
#include "vpn/commands.hpp"

#include <gtest/gtest.h>

namespace orvanta {
namespace {

TEST(Commands, TaskkillNamesTheIdInDecimal) {
  struct Case {
    std::uint32_t pid;
    const char* digits;
  };
  for (const Case& c : {Case{0, "0"}, Case{7, "7"}, Case{4242, "4242"}, Case{4294967295u, "4294967295"}}) {
    const Command command = taskkill_command(c.pid);
    EXPECT_EQ(command.program(), "taskkill");
    EXPECT_EQ(command.args(), (std::vector<std::string>{"/PID", c.digits, "/T", "/F"}));
  }
}

TEST(Commands, StandardStreamsOfEachLaunch) {
  using Setting = std::optional<StdioMode>;
  struct Case {
    const char* name;
    Command command;
    Setting in, out, err;
  };
  const Case cases[] = {
      {"openvpn", openvpn_command("openvpn", "c", "a", "l", "e"), StdioMode::Null, StdioMode::Pipe,
       StdioMode::Pipe},
      {"taskkill", taskkill_command(1), std::nullopt, StdioMode::Null, StdioMode::Null},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.command.stdin_setting(), c.in);
    EXPECT_EQ(c.command.stdout_setting(), c.out);
    EXPECT_EQ(c.command.stderr_setting(), c.err);
  }
}

}  // namespace
}  // namespace orvanta
