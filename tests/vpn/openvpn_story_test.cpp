// OpenVPN's story as its real lines tell it, and the texts and buffers the reader stands on.
#include "vpn/openvpn_story.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <vector>

#include "support/allocation_meter.hpp"

namespace orvanta {

void PrintTo(Phase phase, std::ostream* out) { *out << phase_name(phase); }
void PrintTo(const SeenCause& seen, std::ostream* out) {
  *out << cause_name(seen.cause) << " " << (seen.detail ? "\"" + *seen.detail + "\"" : "(no detail)");
}

namespace {

// What OpenVPN 2.6.14 wrote, run with the service's command line against a local server.
constexpr std::string_view good_log =
    R"(2026-12-11 11:51:15 Note: --cipher is not set. OpenVPN versions before 2.5 defaulted to BF-CBC as fallback when cipher negotiation failed in this case. If you need this fallback please add '--data-ciphers-fallback BF-CBC' to your configuration and/or add BF-CBC to --data-ciphers.
2026-12-11 11:51:15 Note: dev-type not tun, disabling data channel offload.
2026-12-11 11:51:15 WARNING: file 'auth-good.txt' is group or others accessible
2026-12-11 11:51:15 OpenVPN 2.6.14 x86_64-pc-linux-gnu [SSL (OpenSSL)] [LZO] [LZ4] [EPOLL] [PKCS11] [MH/PKTINFO] [AEAD] [DCO]
2026-12-11 11:51:15 library versions: OpenSSL 3.0.22 25 Aug 2026, LZO 2.10
2026-12-11 11:51:15 DCO version: N/A
2026-12-11 11:51:15 WARNING: No server certificate verification method has been enabled.  See http://openvpn.net/howto.html#mitm for more info.
2026-12-11 11:51:15 TCP/UDP: Preserving recently used remote address: [AF_INET]127.0.0.1:11940
2026-12-11 11:51:15 Socket Buffers: R=[212992->212992] S=[212992->212992]
2026-12-11 11:51:15 UDPv4 link local: (not bound)
2026-12-11 11:51:15 UDPv4 link remote: [AF_INET]127.0.0.1:11940
2026-12-11 11:51:15 TLS: Initial packet from [AF_INET]127.0.0.1:11940, sid=71a4f64f 20bf8ab8
2026-12-11 11:51:15 VERIFY OK: depth=1, CN=TestCA
2026-12-11 11:51:15 VERIFY OK: depth=0, CN=server
2026-12-11 11:51:15 Control Channel: TLSv1.3, cipher TLSv1.3 TLS_AES_256_GCM_SHA384, peer certificate: 2048 bits RSA, signature: RSA-SHA256, peer temporary key: 253 bits X25519
2026-12-11 11:51:15 [server] Peer Connection Initiated with [AF_INET]127.0.0.1:11940
2026-12-11 11:51:15 TLS: move_session: dest=TM_ACTIVE src=TM_INITIAL reinit_src=1
2026-12-11 11:51:15 TLS: tls_multi_process: initial untrusted session promoted to trusted
2026-12-11 11:51:15 PUSH: Received control message: 'PUSH_REPLY,topology subnet,route-gateway 10.8.0.1,ifconfig 10.8.0.10 255.255.255.0,peer-id 0,cipher AES-256-GCM,protocol-flags cc-exit tls-ekm dyn-tls-crypt,tun-mtu 1500'
2026-12-11 11:51:15 OPTIONS IMPORT: --ifconfig/up options modified
2026-12-11 11:51:15 OPTIONS IMPORT: route-related options modified
2026-12-11 11:51:15 OPTIONS IMPORT: tun-mtu set to 1500
2026-12-11 11:51:15 net_route_v4_best_gw query: dst 0.0.0.0
2026-12-11 11:51:15 net_route_v4_best_gw result: via 192.0.2.1 dev eth0
2026-12-11 11:51:15 ROUTE_GATEWAY 192.0.2.1/255.255.255.0 IFACE=eth0 HWADDR=02:fc:00:00:00:01
2026-12-11 11:51:15 Initialization Sequence Completed
2026-12-11 11:51:15 Data Channel: cipher 'AES-256-GCM', peer-id: 0
2026-12-11 11:51:15 Timers: ping-restart 120
2026-12-11 11:51:15 Protocol options: protocol-flags cc-exit tls-ekm dyn-tls-crypt
2026-12-11 11:51:21 event_wait : Interrupted system call (fd=-1,code=4)
2026-12-11 11:51:21 Closing TUN/TAP interface
2026-12-11 11:51:21 SIGTERM[hard,] received, process exiting
)";

constexpr std::string_view authfail_log =
    R"(2026-12-11 11:51:26 Note: --cipher is not set. OpenVPN versions before 2.5 defaulted to BF-CBC as fallback when cipher negotiation failed in this case. If you need this fallback please add '--data-ciphers-fallback BF-CBC' to your configuration and/or add BF-CBC to --data-ciphers.
2026-12-11 11:51:26 Note: dev-type not tun, disabling data channel offload.
2026-12-11 11:51:26 WARNING: file 'auth-bad.txt' is group or others accessible
2026-12-11 11:51:26 OpenVPN 2.6.14 x86_64-pc-linux-gnu [SSL (OpenSSL)] [LZO] [LZ4] [EPOLL] [PKCS11] [MH/PKTINFO] [AEAD] [DCO]
2026-12-11 11:51:26 library versions: OpenSSL 3.0.22 25 Aug 2026, LZO 2.10
2026-12-11 11:51:26 DCO version: N/A
2026-12-11 11:51:26 WARNING: No server certificate verification method has been enabled.  See http://openvpn.net/howto.html#mitm for more info.
2026-12-11 11:51:26 TCP/UDP: Preserving recently used remote address: [AF_INET]127.0.0.1:11940
2026-12-11 11:51:26 Socket Buffers: R=[212992->212992] S=[212992->212992]
2026-12-11 11:51:26 UDPv4 link local: (not bound)
2026-12-11 11:51:26 UDPv4 link remote: [AF_INET]127.0.0.1:11940
2026-12-11 11:51:26 TLS: Initial packet from [AF_INET]127.0.0.1:11940, sid=c2e5423a 29881cb9
2026-12-11 11:51:26 VERIFY OK: depth=1, CN=TestCA
2026-12-11 11:51:26 VERIFY OK: depth=0, CN=server
2026-12-11 11:51:26 Control Channel: TLSv1.3, cipher TLSv1.3 TLS_AES_256_GCM_SHA384, peer certificate: 2048 bits RSA, signature: RSA-SHA256, peer temporary key: 253 bits X25519
2026-12-11 11:51:26 [server] Peer Connection Initiated with [AF_INET]127.0.0.1:11940
2026-12-11 11:51:26 TLS: move_session: dest=TM_ACTIVE src=TM_INITIAL reinit_src=1
2026-12-11 11:51:26 TLS: tls_multi_process: initial untrusted session promoted to trusted
2026-12-11 11:51:26 AUTH: Received control message: AUTH_FAILED
2026-12-11 11:51:26 SIGTERM[soft,auth-failure] received, process exiting
)";

constexpr std::string_view unreach_log =
    R"(2026-12-11 11:51:26 Note: --cipher is not set. OpenVPN versions before 2.5 defaulted to BF-CBC as fallback when cipher negotiation failed in this case. If you need this fallback please add '--data-ciphers-fallback BF-CBC' to your configuration and/or add BF-CBC to --data-ciphers.
2026-12-11 11:51:26 Note: dev-type not tun, disabling data channel offload.
2026-12-11 11:51:26 WARNING: file 'auth-good.txt' is group or others accessible
2026-12-11 11:51:26 OpenVPN 2.6.14 x86_64-pc-linux-gnu [SSL (OpenSSL)] [LZO] [LZ4] [EPOLL] [PKCS11] [MH/PKTINFO] [AEAD] [DCO]
2026-12-11 11:51:26 library versions: OpenSSL 3.0.22 25 Aug 2026, LZO 2.10
2026-12-11 11:51:26 DCO version: N/A
2026-12-11 11:51:26 WARNING: No server certificate verification method has been enabled.  See http://openvpn.net/howto.html#mitm for more info.
2026-12-11 11:51:26 TCP/UDP: Preserving recently used remote address: [AF_INET]127.0.0.1:11999
2026-12-11 11:51:26 Socket Buffers: R=[212992->212992] S=[212992->212992]
2026-12-11 11:51:26 UDPv4 link local: (not bound)
2026-12-11 11:51:26 UDPv4 link remote: [AF_INET]127.0.0.1:11999
2026-12-11 11:51:26 read UDPv4 [ECONNREFUSED]: Connection refused (fd=3,code=111)
2026-12-11 11:51:28 read UDPv4 [ECONNREFUSED]: Connection refused (fd=3,code=111)
2026-12-11 11:51:30 TLS Error: TLS key negotiation failed to occur within 4 seconds (check your network connectivity)
2026-12-11 11:51:30 TLS Error: TLS handshake failed
2026-12-11 11:51:30 SIGUSR1[soft,tls-error] received, process restarting
2026-12-11 11:51:30 Restart pause, 1 second(s)
2026-12-11 11:51:31 WARNING: No server certificate verification method has been enabled.  See http://openvpn.net/howto.html#mitm for more info.
2026-12-11 11:51:31 TCP/UDP: Preserving recently used remote address: [AF_INET]127.0.0.1:11999
2026-12-11 11:51:31 Socket Buffers: R=[212992->212992] S=[212992->212992]
2026-12-11 11:51:31 UDPv4 link local: (not bound)
2026-12-11 11:51:31 UDPv4 link remote: [AF_INET]127.0.0.1:11999
2026-12-11 11:51:31 read UDPv4 [ECONNREFUSED]: Connection refused (fd=3,code=111)
2026-12-11 11:51:33 read UDPv4 [ECONNREFUSED]: Connection refused (fd=3,code=111)
2026-12-11 11:51:35 TLS Error: TLS key negotiation failed to occur within 4 seconds (check your network connectivity)
2026-12-11 11:51:35 TLS Error: TLS handshake failed
2026-12-11 11:51:35 SIGUSR1[soft,tls-error] received, process restarting
2026-12-11 11:51:35 Restart pause, 1 second(s)
2026-12-11 11:51:36 All connections have been connect-retry-max (2) times unsuccessful, exiting
2026-12-11 11:51:36 Exiting due to fatal error
)";

constexpr std::string_view noauth_log =
    R"(2026-12-11 11:51:40 Note: --cipher is not set. OpenVPN versions before 2.5 defaulted to BF-CBC as fallback when cipher negotiation failed in this case. If you need this fallback please add '--data-ciphers-fallback BF-CBC' to your configuration and/or add BF-CBC to --data-ciphers.
2026-12-11 11:51:40 Note: dev-type not tun, disabling data channel offload.
2026-12-11 11:51:40 WARNING: cannot stat file 'nosuch.txt': No such file or directory (errno=2)
Options error: --auth-user-pass fails with 'nosuch.txt': No such file or directory (errno=2)
Options error: Please correct these errors.
Use --help for more information.
)";

constexpr std::string_view optserr_stdout =
    R"(Options error: Unrecognized option or missing or extra parameter(s) in bad.conf:4: bogus-option (2.6.14)
Use --help for more information.
)";

constexpr std::string_view noconf_stdout =
    R"(Options error: In [CMD-LINE]:1: Error opening configuration file: nosuch.conf
Use --help for more information.
)";

constexpr auto Log = Source::Log;
constexpr auto Output = Source::Output;

struct Fed {
  Source source;
  std::string_view lines;  // each ended by a line feed
};

std::string with_line_ends(std::string_view lines, std::string_view end) {
  std::string text;
  for (const char c : lines) {
    text.append(c == '\n' ? end : std::string_view(&c, 1));
  }
  return text;
}

// Feeds the lines as OpenVPN's bytes arrive, in small reads that split lines and line ends, and checks
// that take_line says exactly when the phase or the reason changed.
RunStory story_of(const std::vector<Fed>& fed, std::string_view line_end) {
  RunStory story;
  LineSplitter splitters[2];
  for (const Fed& f : fed) {
    const std::string bytes = with_line_ends(f.lines, line_end);
    for (std::size_t i = 0; i < bytes.size(); i += 7) {
      splitters[static_cast<int>(f.source)].feed(
          std::string_view(bytes).substr(i, 7), [&](std::string_view line) {
            const Phase phase = story.phase();
            const std::optional<std::string> reason = story.reason();
            const bool changed = story.take_line(f.source, line);
            EXPECT_EQ(changed, story.phase() != phase || story.reason() != reason) << line;
          });
    }
  }
  return story;
}

TEST(RunStory, TellsWhatOpenVpnsLinesSay) {
  using Cause = ExitCause;
  constexpr auto none = std::nullopt;
  struct Row {
    const char* what;
    std::vector<Fed> fed;
    Phase phase;
    std::optional<std::string> reason;
    std::optional<SeenCause> cause;
  };
  const Row rows[] = {
      {"good.log", {{Log, good_log}}, Phase::Connected, none, none},
      {"authfail.log", {{Log, authfail_log}}, Phase::Connecting, none, SeenCause{Cause::AuthFailed, none}},
      {"unreach.log",
       {{Log, unreach_log}},
       Phase::Reconnecting,
       "tls-error",
       SeenCause{Cause::ConnectionFailed,
                 "All connections have been connect-retry-max (2) times unsuccessful, exiting"}},
      {"noauth.log",
       {{Log, noauth_log}},
       Phase::Connecting,
       none,
       SeenCause{
           Cause::OptionsError,
           "Options error: --auth-user-pass fails with 'nosuch.txt': No such file or directory (errno=2)"}},
      {"optserr.stdout",
       {{Output, optserr_stdout}},
       Phase::Starting,
       none,
       SeenCause{Cause::OptionsError, "Options error: Unrecognized option or missing or extra parameter(s)"}},
      {"noconf.stdout",
       {{Output, noconf_stdout}},
       Phase::Starting,
       none,
       SeenCause{Cause::OptionsError,
                 "Options error: In [CMD-LINE]:1: Error opening configuration file: nosuch.conf"}},

      // One line each, with and without a timestamp.
      {"with errors",
       {{Log, "2026-12-11 11:51:15 Initialization Sequence Completed With Errors\n"}},
       Phase::Connected,
       "with-errors",
       none},
      {"completed, on the output",
       {{Output, "Initialization Sequence Completed\n"}},
       Phase::Connected,
       none,
       none},
      {"ping-restart",
       {{Log, "2026-12-11 11:52:00 SIGUSR1[soft,ping-restart] received, process restarting\n"}},
       Phase::Reconnecting,
       "ping-restart",
       none},
      {"connection-reset",
       {{Log, "SIGUSR1[soft,connection-reset] received, process restarting\n"}},
       Phase::Reconnecting,
       "connection-reset",
       none},
      {"hard", {{Log, "SIGUSR1[hard,x] received, process restarting\n"}}, Phase::Reconnecting, "x", none},
      {"no reason",
       {{Log, "SIGUSR1[soft,] received, process restarting\n"}},
       Phase::Reconnecting,
       none,
       none},
      {"SIGHUP", {{Log, "SIGHUP[hard,] received, process restarting\n"}}, Phase::Reconnecting, none, none},
      {"SIGTERM", {{Log, "SIGTERM[hard,] received, process exiting\n"}}, Phase::Connecting, none, none},
      {"an output line", {{Output, "Use --help for more information.\n"}}, Phase::Starting, none, none},

      // Sequences.
      {"reconnecting until connected",
       {{Log, "SIGUSR1[soft,tls-error] received, process restarting\nRestart pause, 1 second(s)\n"}},
       Phase::Reconnecting,
       "tls-error",
       none},
      {"a new reason while reconnecting",
       {{Log,
         "SIGUSR1[soft,tls-error] received, process restarting\nSIGUSR1[soft,ping-restart] received, process "
         "restarting\n"}},
       Phase::Reconnecting,
       "ping-restart",
       none},
      {"connected again without errors",
       {{Log, "Initialization Sequence Completed With Errors\nInitialization Sequence Completed\n"}},
       Phase::Connected,
       none,
       none},
      {"a retried login that succeeds",
       {{Log,
         "AUTH: Received control message: AUTH_FAILED\nSIGUSR1[soft,auth-failure] received, process "
         "restarting\nInitialization Sequence Completed\n"}},
       Phase::Connected,
       none,
       none},
      {"a cause after connecting",
       {{Log,
         "Initialization Sequence Completed\nTLS Error: TLS handshake failed\nExiting due to fatal error\n"}},
       Phase::Connected,
       none,
       SeenCause{Cause::FatalError, "TLS Error: TLS handshake failed"}},
      {"fatal error, the line before in its source",
       {{Log, "2026-12-11 11:51:30 TLS Error: TLS handshake failed\n"},
        {Output, "Use --help for more information.\n"},
        {Log, "2026-12-11 11:51:36 Exiting due to fatal error\n"}},
       Phase::Connecting,
       none,
       SeenCause{Cause::FatalError, "TLS Error: TLS handshake failed"}},
      {"fatal error first",
       {{Log, "Exiting due to fatal error\n"}},
       Phase::Connecting,
       none,
       SeenCause{Cause::FatalError, none}},
      {"connect-retry-max alone",
       {{Log,
         "2026-12-11 11:51:36 All connections have been connect-retry-max (2) times unsuccessful, "
         "exiting\n"}},
       Phase::Connecting,
       none,
       SeenCause{Cause::ConnectionFailed,
                 "All connections have been connect-retry-max (2) times unsuccessful, exiting"}},
      {"connection failed, told by the line before the exit",
       {{Log,
         "All connections have been connect-retry-max (2) times unsuccessful, exiting\nClosing TUN/TAP "
         "interface\nExiting due to fatal error\n"}},
       Phase::Connecting,
       none,
       SeenCause{Cause::ConnectionFailed, "Closing TUN/TAP interface"}},
      {"options-error chosen over a fatal error seen first",
       {{Log, "TLS Error: TLS handshake failed\nExiting due to fatal error\n"},
        {Output, "Options error: x\n"}},
       Phase::Connecting,
       none,
       SeenCause{Cause::OptionsError, "Options error: x"}},
      {"auth-failed before connection-failed",
       {{Log,
         "AUTH: Received control message: AUTH_FAILED\nAll connections have been connect-retry-max (2) times "
         "unsuccessful, exiting\nExiting due to fatal error\n"}},
       Phase::Connecting,
       none,
       SeenCause{Cause::AuthFailed, none}},
  };
  for (const Row& row : rows) {
    for (const std::string_view line_end : {"\r\n", "\n"}) {
      SCOPED_TRACE(std::string(row.what) + (line_end == "\n" ? ", LF" : ", CR LF"));
      const RunStory story = story_of(row.fed, line_end);
      EXPECT_EQ(story.phase(), row.phase);
      EXPECT_EQ(story.reason(), row.reason);
      EXPECT_EQ(story.seen_cause(), row.cause);
    }
  }
}

TEST(RunStory, AlmostMatchingLinesAreOnlyLines) {
  for (const std::string_view line : {
           "Initialization Sequence Completed ",
           "Initialization Sequence Completed\r\r",  // one CR is the line end's, the other is not
           "initialization sequence completed",
           "2026-12-11 11:51:15  Initialization Sequence Completed",
           "2026-12-1x 11:51:15 Initialization Sequence Completed",
           "SIGUSR1[term,tls-error] received, process restarting",
           "SIGTERM[soft,auth-failure] received, process exiting",
           " Options error: x",
           "Exiting due to fatal error.",
       }) {
    RunStory story;
    story.take_line(Source::Log, line);
    EXPECT_EQ(story.phase(), Phase::Connecting) << line;
    EXPECT_EQ(story.reason(), std::nullopt) << line;
    EXPECT_EQ(story.seen_cause(), std::nullopt) << line;
  }
}

TEST(RunStory, OptionsErrorLeavesOutWhatItQuotesOfAFile) {
  struct Case {
    std::string_view line, detail;
  };
  for (const Case& c : {
           Case{"Options error: a in b.conf:4: c", "Options error: a"},
           {"2026-12-11 11:51:40 Options error: a in b.conf:4: c", "Options error: a"},
           {"Options error: a in b in c.conf:12: d", "Options error: a"},
           {"Options error: a in b.conf:x:4:5: c", "Options error: a"},
           {"Options error: a in :4:", "Options error: a"},
           {"Options error: a:4: in b", "Options error: a:4: in b"},  // no number after " in "
           {"Options error: a in b.conf:: c", "Options error: a in b.conf:: c"},
           {"Options error: a in b.conf:4 c", "Options error: a in b.conf:4 c"},
           {"Options error: a IN b.conf:4: c", "Options error: a IN b.conf:4: c"},
           {"Options error: a\tin b.conf:4: c", "Options error: a\tin b.conf:4: c"},
           {"Options error: \xFF in b.conf:4: c", "Options error: \xEF\xBF\xBD"},
       }) {
    RunStory story;
    story.take_line(Source::Output, c.line);
    story.take_line(Source::Output, "Options error: Please correct these errors.");
    EXPECT_EQ(story.seen_cause(), (SeenCause{ExitCause::OptionsError, std::string(c.detail)})) << c.line;
  }
}

TEST(SafeText, ReplacesEachMaximalSubpartAndCutsOnACharacter) {
  const std::string fffd = "\xEF\xBF\xBD";
  const std::string a511(511, 'a');
  struct Case {
    std::string bytes;
    std::size_t max;
    std::string safe;
  };
  const Case cases[] = {
      {"plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", 512, "plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {std::string("a\0b", 3), 512, std::string("a\0b", 3)},
      {"\x80", 512, fffd},
      {"\xC0\xAF", 512, fffd + fffd},                        // an overlong form: C0 begins nothing
      {"\xE0\x80\xAF", 512, fffd + fffd + fffd},             // E0 goes on only with A0..BF
      {"\xED\xA0\x80", 512, fffd + fffd + fffd},             // a surrogate
      {"\xF4\x90\x80\x80", 512, fffd + fffd + fffd + fffd},  // past U+10FFFF
      {"\xE2\x82\x41", 512, fffd + "A"},                     // a character cut short is one subpart
      {"\xF0\x9F\x98", 512, fffd},                           // and so at the end
      {"\xF5\xFF", 512, fffd + fffd},
      // Unicode's own example (chapter 3, U+FFFD substitution of maximal subparts).
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", 512,
       "a" + fffd + fffd + fffd + "b" + fffd + "c" + fffd + fffd + "d"},
      {std::string(600, 'a'), 512, std::string(512, 'a')},
      {a511 + "\xC3\xA9", 512, a511},  // the cut would split a character
      {std::string(510, 'a') + "\xC3\xA9", 512, std::string(510, 'a') + "\xC3\xA9"},
      {std::string(509, 'a') + "\xF0\x9F\x98\x80", 512, std::string(509, 'a')},
      {a511 + "\x80", 512, a511},  // nor a replacement
      {std::string(509, 'a') + "\x80", 512, std::string(509, 'a') + fffd},
      {"\xE2\x82\xAC", 2, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(safe_text(c.bytes, c.max), c.safe) << c.bytes;
  }
  EXPECT_EQ(safe_text(std::string(600, 'a')).size(), 512u);  // the default cut is a detail's 512 bytes
}

TEST(ExitCause, FirstThatApplies) {
  const SeenCause auth{ExitCause::AuthFailed, std::nullopt};
  struct Case {
    bool stopped, lost;
    std::optional<std::uint32_t> code;
    std::optional<SeenCause> seen;
    ExitCause cause;
  };
  for (const Case& c : {
           Case{true, true, 0xC0000005u, auth, ExitCause::Stopped},
           {false, true, 0xC0000005u, auth, ExitCause::Lost},
           {false, false, 0xC0000005u, auth, ExitCause::Crashed},
           {false, false, 0xC0000000u, std::nullopt, ExitCause::Crashed},
           {false, false, 0xBFFFFFFFu, auth, ExitCause::AuthFailed},
           {false, false, 1, SeenCause{ExitCause::ConnectionFailed, "x"}, ExitCause::ConnectionFailed},
           {false, false, std::nullopt, auth, ExitCause::AuthFailed},
           {false, false, 0xBFFFFFFFu, std::nullopt, ExitCause::Exited},
           {false, false, std::nullopt, std::nullopt, ExitCause::Exited},
       }) {
    EXPECT_EQ(choose_exit_cause(c.stopped, c.lost, c.code, c.seen), c.cause) << cause_name(c.cause);
  }
}

TEST(UtcText, CivilDateOfAFileTime) {
  struct Case {
    std::uint64_t filetime;
    const char* text;
  };
  for (const Case& c : {
           Case{0, "1601-01-01T00:00:00Z"},
           {315359990000000, "1601-12-31T23:59:59Z"},
           {94405823990000000, "1900-02-28T23:59:59Z"},  // 1900 has no leap day
           {94405824000000000, "1900-03-01T00:00:00Z"},
           {133536816000000000, "2024-02-29T12:00:00Z"},
           {134414634750000000, "2026-12-11T11:51:15Z"},
           {134414634759999999, "2026-12-11T11:51:15Z"},  // the 100 ns ticks are dropped
           {0x7FFF35F4F06C7FFF, "30827-12-31T23:59:59Z"},
       }) {
    EXPECT_EQ(utc_text(c.filetime), c.text);
  }
}

TEST(LastExit, TextReadsBackAsWritten) {
  struct Case {
    LastExit exit;
    const char* text;
  };
  for (const Case& c : {
           Case{{4242, 134414634750000000, 1, ExitCause::OptionsError, "Options error: x in y"},
                "1 4242 134414634750000000 1 options-error Options error: x in y"},
           {{1, 0, std::nullopt, ExitCause::Stopped, std::nullopt}, "1 1 0 - stopped"},
           {{7, 5, 0, ExitCause::Exited, ""}, "1 7 5 0 exited "},
           {{4294967295u, 18446744073709551615u, 0xC0000005u, ExitCause::Crashed, " "},
            "1 4294967295 18446744073709551615 3221225477 crashed  "},
           {{9, 9, 4294967295u, ExitCause::AuthFailed, std::nullopt}, "1 9 9 4294967295 auth-failed"},
       }) {
    EXPECT_EQ(encode_last_exit(c.exit), c.text);
    EXPECT_EQ(decode_last_exit(c.text), c.exit) << c.text;
  }
}

TEST(Names, AreTheTextsClientsRead) {
  std::vector<std::string_view> phases, causes;
  for (int phase = 0; phase <= static_cast<int>(Phase::Stopped); ++phase) {
    phases.push_back(phase_name(static_cast<Phase>(phase)));
  }
  for (int cause = 0; cause <= static_cast<int>(ExitCause::Exited); ++cause) {
    causes.push_back(cause_name(static_cast<ExitCause>(cause)));
    EXPECT_EQ(cause_named(causes.back()), static_cast<ExitCause>(cause));
  }
  EXPECT_EQ(phases, (std::vector<std::string_view>{"starting", "connecting", "connected", "reconnecting",
                                                   "stopping", "stopped"}));
  EXPECT_EQ(causes,
            (std::vector<std::string_view>{"stopped", "lost", "crashed", "options-error", "auth-failed",
                                           "connection-failed", "fatal-error", "exited"}));
  EXPECT_EQ(cause_named("Exited"), std::nullopt);
}

TEST(LastExit, RefusesEveryOtherText) {
  for (const std::string_view text : {
           "",
           "1",
           "2 4242 1 1 exited",
           "1 0 1 1 exited",           // no process has id 0
           "1 4294967296 1 1 exited",  // past a 32-bit id
           "1 1 18446744073709551616 1 exited",
           "1 1 1 4294967296 exited",  // past a 32-bit code
           "1 04242 1 1 exited",       // leading zeros
           "1 1 01 1 exited",
           "1 1 1 01 exited",
           "1 +1 1 1 exited",
           "1 1 1 -1 exited",
           "1  1 1 1 exited",
           "1 1 1 1  exited",
           "1 1 1 -- exited",
           "1 1 1 1",
           "1 1 1 1 ",
           "1 1 1 1 Exited",
           "1 1 1 1 exit",
           "1 1 1 1 exited\tx",
           "1 1 1 1 fatal-error \xFF",  // a detail safe_text did not make
       }) {
    EXPECT_EQ(decode_last_exit(text), std::nullopt) << text;
  }
  EXPECT_EQ(decode_last_exit("1 1 1 1 fatal-error " + std::string(513, 'a')), std::nullopt);
}

// Bytes in which a byte out of place shows: a long pseudo-random sequence, with no line feed in it.
std::string stream_of(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t state = 12345;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
    c = c == '\n' ? ' ' : c;
  }
  return bytes;
}

TEST(OutputKeeper, KeepsExactlyTheFirstAndLastBytes) {
  constexpr std::size_t kept = OutputKeeper::kept_bytes;
  const std::string all = stream_of(16 << 20);
  for (const std::size_t total : {std::size_t{0}, std::size_t{1}, kept - 1, kept, kept + 1, 2 * kept - 1,
                                  2 * kept, 2 * kept + 1, 3 * kept + 1, std::size_t{16 << 20}}) {
    // Writes of many sizes in turn, small and larger than what is kept, so that the ring wraps anywhere.
    for (const std::vector<std::size_t>& pieces :
         {std::vector<std::size_t>{total}, {1}, {3}, {7, 4093, 1, kept + 1, 65537, kept - 1, kept}}) {
      if (total == all.size() && pieces.size() == 1 && pieces[0] == 1) {
        continue;  // sixteen million single bytes say nothing three-byte writes do not
      }
      OutputKeeper keeper;
      const std::string_view bytes = std::string_view(all).substr(0, total);
      {
        const test::AllocationMeter meter;
        for (std::size_t at = 0, i = 0; at < total; at += pieces[i++ % pieces.size()]) {
          keeper.write(bytes.substr(at, pieces[i % pieces.size()]));
        }
        EXPECT_LE(meter.peak_bytes(), 2 * kept + 64);
      }
      const std::size_t head = std::min(total, kept);
      const std::size_t tail = std::min(total - head, kept);
      SCOPED_TRACE(::testing::Message() << total << " bytes, first piece " << pieces[0]);
      EXPECT_EQ(keeper.total(), total);
      EXPECT_EQ(keeper.head(), bytes.substr(0, head));
      EXPECT_EQ(keeper.tail(), bytes.substr(total - tail));
    }
  }
}

TEST(LineSplitter, KeepsALineOnlyUpToItsCap) {
  struct Case {
    std::size_t line, piece;
  };
  for (const Case& c : {Case{10, 100}, Case{10, 3}, Case{11, 100}, Case{11, 3}, Case{25, 4}}) {
    const std::string bytes = stream_of(c.line) + "\nnext\n";
    LineSplitter splitter(10);
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < bytes.size(); at += c.piece) {
      splitter.feed(std::string_view(bytes).substr(at, c.piece),
                    [&](std::string_view line) { lines.emplace_back(line); });
    }
    EXPECT_EQ(lines, (std::vector<std::string>{bytes.substr(0, std::min<std::size_t>(c.line, 10)), "next"}))
        << c.line << " bytes in pieces of " << c.piece;
  }

  // Sixteen MiB without a line feed hold no more than the default cap, read in pieces that do not
  // divide it, so that a line growing by doubling would pass it.
  const std::string bytes = stream_of(16 << 20);
  LineSplitter splitter;
  std::size_t lines = 0;
  const auto check = [&](std::string_view line) {
    EXPECT_EQ(line, lines++ == 0 ? std::string_view(bytes).substr(0, LineSplitter::default_max_line_bytes)
                                 : "next");
  };
  {
    const test::AllocationMeter meter;
    for (std::size_t at = 0; at < bytes.size(); at += 5000) {
      splitter.feed(std::string_view(bytes).substr(at, 5000), check);
    }
    EXPECT_LE(meter.peak_bytes(), LineSplitter::default_max_line_bytes + 64);
  }
  splitter.feed("\nnext\n", check);
  EXPECT_EQ(lines, 2u);

  // A line begun and forgotten leaves nothing of itself, not even a cut.
  splitter.feed(bytes.substr(0, 20000), check);
  splitter.drop_partial();
  splitter.feed("next\n", check);
  EXPECT_EQ(lines, 3u);
}

}  // namespace
}  // namespace orvanta
