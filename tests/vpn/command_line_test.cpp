// The command line OpenVPN gets is exactly the fourteen arguments after the program, whatever the texts
// hold; the stand-in reads its own argument vector back.
#include <regex>
#include <string>
#include <vector>

#include "common/utf16.hpp"
#include "standin_world.hpp"

namespace orvanta::test {
namespace {

TEST_F(VpnTest, OpenVpnGetsExactlyTheFourteenArguments) {
  struct Case {
    std::string program_at;  // where the stand-in copy lies in the sandbox
    std::string openvpn;     // the program text, relative to the sandbox
    std::string config_at;   // the plan, which the stand-in finds after --config
    std::string auth;
    std::string log;
  };
  const Case cases[] = {
      {"a\\openvpn.exe", "a\\openvpn.exe", "client.ovpn", "C:\\vpn\\auth.txt", "C:\\vpn\\openvpn.log"},
      {"Program Files\\OpenVPN\\bin\\openvpn.exe", "Program Files\\OpenVPN\\bin\\openvpn.exe",
       "my configs\\client one.ovpn", "C:\\vpn dir\\auth file.txt", ""},
      {"b\\openvpn.exe", "b\\openvpn", "c\\client.ovpn", "say \"hi\" \\\"twice\\\"", "C:\\logs dir\\\\"},
      {"c\\openvpn.exe", "c\\openvpn.exe", "and & ^ % ' folder\\x.ovpn", "\\\\server\\share\\a b\\",
       "\"quoted log\""},
      {"Überprüfung ñ\\日本 openvpn.exe", "Überprüfung ñ\\日本 openvpn.exe", "конфиг\\клиент.ovpn",
       "пароль 😀.txt", "журнал\t😀.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.openvpn + " | " + c.config_at + " | " + c.auth + " | " + c.log);
    copy_standin(to_wide(c.program_at));
    const Planned planned = plan("argv", {}, to_wide(c.config_at));
    const std::string openvpn = utf8(root_ / to_wide(c.openvpn));

    const HelperResponse started = state_->start_openvpn(openvpn, planned.plan, c.auth, c.log);
    ASSERT_TRUE(started.pid) << started.message;
    ASSERT_EQ(wait_for_pid(planned.pid_out), *started.pid);
    const std::string event = utf8(to_wide(store_->extras().exit_event.value_or(u"")));
    EXPECT_TRUE(std::regex_match(event, std::regex(R"(Global\\OrvantaVpnHelper-exit-[0-9a-f]{32})")))
        << event;
    EXPECT_EQ(read_argv(planned.argv_out),
              (std::vector<std::string>{openvpn, "--config", planned.plan, "--auth-user-pass", c.auth,
                                        "--auth-nocache", "--redirect-gateway", "def1", "--verb", "3",
                                        "--log", c.log, "--service", event, "0"}));
    EXPECT_EQ(disconnect(), disconnected_reply);
    std::filesystem::remove(planned.pid_out);
  }
}

}  // namespace
}  // namespace orvanta::test
