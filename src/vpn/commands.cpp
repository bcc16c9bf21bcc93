// The command lines of the OpenVPN launch and of the taskkill run.
#include "vpn/commands.hpp"

namespace orvanta {

Command openvpn_command(const std::string& openvpn, const std::string& config, const std::string& auth,
                        const std::string& log, const std::string& exit_event) {
  Command command(openvpn);
  command.arg("--config").arg(config).arg("--auth-user-pass").arg(auth);
  command.arg("--auth-nocache").arg("--redirect-gateway").arg("def1").arg("--verb").arg("3");
  command.arg("--log").arg(log).arg("--service").arg(exit_event).arg("0");
  command.stdin_mode(StdioMode::Null).stdout_mode(StdioMode::Pipe).stderr_mode(StdioMode::Pipe);
  return command;
}

Command taskkill_command(std::uint32_t pid) {
  Command command("taskkill");
  command.search(ProgramSearch::SystemDirectoryOnly);
  command.arg("/PID").arg(std::to_string(pid)).arg("/T").arg("/F");
  command.stdout_mode(StdioMode::Null).stderr_mode(StdioMode::Null);
  return command;
}

}  // namespace orvanta
