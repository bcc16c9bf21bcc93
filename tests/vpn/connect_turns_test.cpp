// The order of connects and disconnects: the last one read wins, and a connect that waits is a record
// that the next request answers at once.
#include "vpn/connect_turns.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvanta {
namespace {

const HelperResponse superseded{false, "Failed to start OpenVPN: superseded by a later request",
                                std::nullopt};
HelperResponse started(const Connect& request) { return {true, "started " + request.config, 1}; }

// A client's connection: the replies it got, and whether it has gone.
struct Client final : LaterReply {
  void send(HelperResponse reply) override {
    const std::lock_guard lock(mutex);
    replies.push_back(std::move(reply));
  }
  bool client_gone() const override { return gone; }
  std::vector<HelperResponse> got() {
    const std::lock_guard lock(mutex);
    return replies;
  }
  std::mutex mutex;  // guards replies
  std::vector<HelperResponse> replies;
  bool gone = false;
};

// Launches that each wait for the test's word, and see whether they were superseded by then.
class Launches {
 public:
  HelperResponse launch(const Connect& request, const ConnectTurns::Superseded& is_superseded) {
    std::unique_lock lock(mutex_);
    launched_.push_back(request.config);
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_ > 0; });
    --released_;
    return is_superseded() ? superseded : started(request);
  }
  void wait_for(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return launched_.size() >= count; });
  }
  void release() {
    const std::lock_guard lock(mutex_);
    ++released_;
    changed_.notify_all();
  }
  std::vector<std::string> launched() {
    const std::lock_guard lock(mutex_);
    return launched_;
  }

 private:
  std::mutex mutex_;  // guards launched_ and released_
  std::condition_variable changed_;
  std::vector<std::string> launched_;
  int released_ = 0;
};

Connect connect_to(const std::string& name) { return {"openvpn", name, "auth", "log"}; }

TEST(ConnectTurns, TheLastConnectOrDisconnectReadWinsAndNoConnectWaitsOnAThread) {
  Launches launches;
  ConnectTurns turns(
      [&](const Connect& c, const ConnectTurns::Superseded& s) { return launches.launch(c, s); });
  const auto client = [] { return std::make_shared<Client>(); };
  auto first = client(), second = client(), third = client();
  launches.release();
  EXPECT_EQ(turns.connect(connect_to("10"), {10, first}), started(connect_to("10")));

  // 20 launches; 30 comes and waits; 40 comes: 30 is superseded at once and 40 waits; 25 comes late.
  std::optional<HelperResponse> reply_20 = superseded;
  std::jthread launching([&] { reply_20 = turns.connect(connect_to("20"), {20, first}); });
  launches.wait_for(2);
  EXPECT_EQ(turns.connect(connect_to("30"), {30, second}), std::nullopt);
  EXPECT_EQ(turns.connect(connect_to("40"), {40, third}), std::nullopt);
  EXPECT_EQ(second->got(), std::vector{superseded});
  EXPECT_EQ(turns.connect(connect_to("25"), {25, client()}), superseded);
  EXPECT_FALSE(turns.disconnect(35)) << "a disconnect read before the connect that stands";
  launches.release();  // 20 ends superseded, and 40 launches on its thread
  launches.wait_for(3);
  launches.release();
  launching.join();
  EXPECT_EQ(reply_20, std::nullopt) << "its reply went to its client, not to wait for 40's launch";
  EXPECT_EQ(first->got(), std::vector{superseded});
  EXPECT_EQ(third->got(), std::vector{started(connect_to("40"))});

  // A disconnect overtakes the one launching and the one waiting; a waiting connect whose client has
  // gone is dropped, neither launched nor answered.
  auto fifth = client(), gone = client();
  std::optional<HelperResponse> reply_50;
  std::jthread last([&] { reply_50 = turns.connect(connect_to("50"), {50, client()}); });
  launches.wait_for(4);
  EXPECT_EQ(turns.connect(connect_to("60"), {60, fifth}), std::nullopt);
  EXPECT_TRUE(turns.disconnect(70));
  EXPECT_EQ(fifth->got(), std::vector{superseded});
  gone->gone = true;
  EXPECT_EQ(turns.connect(connect_to("80"), {80, gone}), std::nullopt);
  launches.release();
  last.join();
  EXPECT_EQ(reply_50, superseded);
  EXPECT_EQ(gone->got(), std::vector<HelperResponse>{});
  EXPECT_EQ(launches.launched(), (std::vector<std::string>{"10", "20", "40", "50"}));
}

}  // namespace
}  // namespace orvanta
