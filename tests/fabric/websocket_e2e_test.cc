// The Beast WebSocket wrapper against a real cvlrelay on loopback, ws and wss.
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <future>

#include <gtest/gtest.h>

#include "kit/fabric/websocket.h"
#include "tests/support/relay_process.h"
#include "tests/support/test_certificates.h"
#include "tests/support/test_socket.h"
#include "tests/support/throttled_proxy.h"

namespace cvl::test {
namespace {

using Bytes = std::vector<uint8_t>;

const char* TOKEN = "t0k+en/=?&";

RelayOptions relayOptions() {
  return RelayOptions{{{"dev-1", TOKEN, {{"pass", {"*"}}}}}};
}

// A port on which nothing listens (bound once, then released).
uint16_t unusedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t size = sizeof(address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  ::close(fd);
  return ntohs(address.sin_port);
}

std::string describe(const std::optional<WebSocketReceived>& item) {
  if (!item) return "timeout";
  return item->ok() ? "a message" : item->error->description;
}

TEST(WebSocketBeast, CarriesBinaryAndTextMessagesAndPings) {
  RelayProcess relay(relayOptions());
  TestSocket host(relay.hostUrl("dev-1", TOKEN));
  auto accepted = host.next();
  ASSERT_TRUE(accepted && accepted->ok()) << describe(accepted);
  EXPECT_EQ(accepted->message.kind, WebSocketMessage::Kind::binary);
  EXPECT_EQ(accepted->message.data.at(0), 0);

  TestSocket viewer(relay.viewerUrl("dev-1", "pass"));
  auto welcome = viewer.next();
  ASSERT_TRUE(welcome && welcome->ok()) << describe(welcome);
  EXPECT_EQ(welcome->message.kind, WebSocketMessage::Kind::text);
  EXPECT_TRUE(viewer.waitForNotice("host-online"));
  ASSERT_TRUE(host.next());  // client-join

  // A message of several megabytes arrives whole and unchanged.
  Bytes big(3 * 1024 * 1024 + 17);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31 + (i >> 13));
  Bytes frame{1, 0, 0, 0, 1};
  frame.insert(frame.end(), big.begin(), big.end());
  EXPECT_FALSE(host.send(WebSocketMessage::binary(frame)));
  auto received = viewer.next();
  ASSERT_TRUE(received && received->ok()) << describe(received);
  EXPECT_EQ(received->message.data, big);

  // A ping completes with the pong, also while messages flow.
  EXPECT_FALSE(host.ping());
  EXPECT_FALSE(viewer.ping());
}

TEST(WebSocketBeast, WritesLeaveInCallOrderFromManyThreads) {
  RelayProcess relay(relayOptions());
  TestSocket host(relay.hostUrl("dev-1", TOKEN));
  TestViewer viewer(relay.viewerUrl("dev-1", "pass"));
  ASSERT_TRUE(viewer.waitHostOnline());
  ASSERT_TRUE(host.next());
  ASSERT_TRUE(host.next());

  // Four threads each send their own numbered run without waiting, pings mixed in; every
  // run must arrive complete and in its own order.
  constexpr int THREADS = 4;
  constexpr int PER_THREAD = 150;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  std::vector<std::promise<void>> pongs(THREADS);
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < PER_THREAD; ++i) {
        Bytes frame{1, 0, 0, 0, 1, uint8_t(t), uint8_t(i >> 8), uint8_t(i)};
        frame.resize(frame.size() + (i % 7) * 1000, uint8_t(i));
        host.task().send(WebSocketMessage::binary(frame), [&](std::optional<WebSocketError> e) {
          if (e) ++failures;
        });
        if (i == PER_THREAD / 2) {
          host.task().sendPing([&, t](std::optional<WebSocketError> e) {
            if (e) ++failures;
            pongs[t].set_value();
          });
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  int next[THREADS] = {};
  for (int n = 0; n < THREADS * PER_THREAD; ++n) {
    auto message = viewer.nextClientMessage();
    ASSERT_TRUE(message) << "after " << n << " messages";
    ASSERT_GE(message->size(), 3u);
    int t = (*message)[0];
    int i = ((*message)[1] << 8) | (*message)[2];
    ASSERT_LT(t, THREADS);
    EXPECT_EQ(i, next[t]) << "thread " << t;
    EXPECT_EQ(message->size(), 3u + (i % 7) * 1000);
    next[t] = i + 1;
  }
  for (auto& pong : pongs) {
    EXPECT_EQ(pong.get_future().wait_for(10s), std::future_status::ready);
  }
  EXPECT_EQ(failures, 0);
}

// Messages in memory the sender keeps (the frame path's sealed frames) arrive like owned ones,
// in call order among them, and the task lets go of that memory once it is done with it.
TEST(WebSocketBeast, SharedBytesTravelInOrderAndAreLetGoAfterTheirWrite) {
  RelayProcess relay(relayOptions());
  TestSocket host(relay.hostUrl("dev-1", TOKEN));
  TestViewer viewer(relay.viewerUrl("dev-1", "pass"));
  ASSERT_TRUE(viewer.waitHostOnline());
  ASSERT_TRUE(host.next());
  ASSERT_TRUE(host.next());

  std::vector<std::weak_ptr<Bytes>> kept;
  std::vector<std::promise<bool>> written(6);
  for (int i = 0; i < 6; ++i) {
    Bytes frame{1, 0, 0, 0, 1, uint8_t(i)};
    frame.resize(6 + (i % 2 ? 700'000 : 10), uint8_t(0x40 + i));
    auto done = [&, i](std::optional<WebSocketError> e) { written[i].set_value(!e); };
    if (i % 2) {
      auto shared = std::make_shared<Bytes>(std::move(frame));
      kept.push_back(shared);
      host.task().sendShared(*shared, shared, done);
    } else {
      host.task().send(WebSocketMessage::binary(frame), done);
    }
  }
  for (int i = 0; i < 6; ++i) {
    auto message = viewer.nextClientMessage();
    ASSERT_TRUE(message) << i;
    EXPECT_EQ(message->size(), 1 + (i % 2 ? 700'000u : 10u));
    EXPECT_EQ(message->at(0), i);
    EXPECT_EQ(message->back(), 0x40 + i);
    EXPECT_TRUE(written[i].get_future().get());
  }
  for (auto& k : kept) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!k.expired() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(k.expired());
  }
}

// A cancel while a large message is still being written over a slow link: the stream goes on
// reading that message's bytes until its write returns, so they must stay alive until then
// (the sanitizer build catches a message freed early). The caller of shared bytes hears only
// then; the caller of an owned message may hear at once.
TEST(WebSocketBeast, ACancelMidWriteKeepsTheBytesUntilTheWriteHasReturned) {
  RelayProcess relay(relayOptions());
  ThrottledProxy slow(relay.port(), 4 * 1024 * 1024);
  std::string url = relay.hostUrl("dev-1", TOKEN);
  url.replace(url.find(std::to_string(relay.port())), std::to_string(relay.port()).size(),
              std::to_string(slow.port()));
  for (bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "shared" : "owned");
    TestSocket host(url);
    ASSERT_TRUE(host.next(20s));
    // More than the kernel's socket buffers and the slow link take in the seconds the test
    // runs, so the write is still going on when the cancel comes.
    Bytes big(48 * 1024 * 1024, 0x5a);
    big[0] = 1;  // a data frame to client 0, which no relay would ever deliver
    std::promise<std::optional<WebSocketError>> done;
    auto complete = [&](std::optional<WebSocketError> e) { done.set_value(std::move(e)); };
    size_t before = slow.upstreamBytes();
    if (shared) {
      auto bytes = std::make_shared<Bytes>(std::move(big));
      host.task().sendShared(*bytes, bytes, complete);
    } else {
      host.task().send(WebSocketMessage::binary(std::move(big)), complete);
    }
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (slow.upstreamBytes() < before + 64 * 1024 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    ASSERT_GE(slow.upstreamBytes(), before + 64 * 1024) << "the write never got going";
    host.cancel(1001);
    auto result = done.get_future();
    ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
    auto error = result.get();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description, "cancelled");
    // Let the slow link drain on for a while: a write that went on after its completion
    // would read the message's memory now, which the sanitizer build reports.
    size_t mark = slow.upstreamBytes();
    deadline = std::chrono::steady_clock::now() + 2s;
    while (slow.upstreamBytes() < mark + 4 * 1024 * 1024 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
  }
}

TEST(WebSocketBeast, EveryFailureSurfacesAsAReceiveError) {
  RelayProcess relay(relayOptions());
  struct Case {
    const char* name;
    std::string url;
    const char* expected;
  };
  const Case cases[] = {
      {"nothing listens", "ws://127.0.0.1:" + std::to_string(unusedPort()) + "/host",
       "connection refused"},
      {"wrong token", relay.hostUrl("dev-1", "t0k+en"), "WebSocket upgrade refused (HTTP 401)"},
      {"unknown name", "ws://no-such-host.invalid/host", "cannot resolve no-such-host.invalid"},
      {"TLS to a plain socket", "wss://127.0.0.1:" + std::to_string(relay.port()) + "/host",
       "TLS handshake failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestSocket socket(c.url);
    auto first = socket.next(20s);
    ASSERT_TRUE(first && !first->ok()) << describe(first);
    EXPECT_NE(first->error->description.find(c.expected), std::string::npos)
        << first->error->description;
    // Credentials in the URL never reach the error text.
    EXPECT_EQ(first->error->description.find("t0k"), std::string::npos);
    // Later operations fail the same way at once.
    EXPECT_TRUE(socket.send(WebSocketMessage::text("x")));
    EXPECT_TRUE(socket.ping());
  }

  // The relay going away mid-connection.
  TestSocket host(relay.hostUrl("dev-1", TOKEN));
  ASSERT_TRUE(host.next());
  relay.kill();
  auto lost = host.next();
  ASSERT_TRUE(lost && !lost->ok()) << describe(lost);
}

TEST(WebSocketBeast, CancelSendsACloseFrameOnlyForCodesThatMayBeSent) {
  RelayProcess relay(relayOptions());
  {
    // A second receive while one is pending fails at once and leaves the first in place. Both
    // are asked from this thread, so the second surely comes while the first is pending.
    auto connector = makeBeastWebSocketConnector();
    auto task = connector->makeTask(*parseWebSocketUrl(relay.hostUrl("dev-1", TOKEN)));
    std::promise<bool> first;
    std::promise<WebSocketReceived> second;
    task->resume();
    task->receive([&](WebSocketReceived r) { first.set_value(r.ok()); });
    task->receive([&](WebSocketReceived r) { second.set_value(std::move(r)); });
    EXPECT_FALSE(second.get_future().get().ok());
    EXPECT_TRUE(first.get_future().get());
    task->cancel(1000);
  }
  {
    TestSocket host(relay.hostUrl("dev-1", TOKEN));
    ASSERT_TRUE(host.next());
    host.cancel(1001);
    auto cancelled = host.next();
    ASSERT_TRUE(cancelled && !cancelled->ok()) << describe(cancelled);
    EXPECT_EQ(cancelled->error->description, "cancelled");
    EXPECT_TRUE(relay.waitForLog("host dev-1 gone (closed 1001)"));
  }
  {
    // 1006 means "closed without a close frame": the socket is dropped.
    TestSocket host(relay.hostUrl("dev-1", TOKEN));
    ASSERT_TRUE(host.next());
    host.cancel(1006);
    EXPECT_TRUE(relay.waitForLog("host dev-1 gone (connection lost"));
    EXPECT_EQ(relay.process().err().find("closed 1006"), std::string::npos);
  }
  {
    // Releasing a task closes it as "going away".
    auto connector = makeBeastWebSocketConnector();
    auto task = connector->makeTask(*parseWebSocketUrl(relay.hostUrl("dev-1", TOKEN)));
    std::promise<bool> first;
    task->resume();
    task->receive([&](WebSocketReceived r) { first.set_value(r.ok()); });
    ASSERT_TRUE(first.get_future().get());
    size_t before = relay.process().err().size();
    task.reset();
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (relay.process().err().find("closed 1001", before) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    EXPECT_NE(relay.process().err().find("closed 1001", before), std::string::npos);
  }
}

TEST(WebSocketBeast, CancelDuringAWriteKeepsTheMessageWholeUntilItIsWritten) {
  RelayProcess relay(relayOptions());
  WebSocketOptions patient;
  patient.closeTimeout = std::chrono::minutes(2);  // the close waits for the write
  TestSocket host(relay.hostUrl("dev-1", TOKEN), patient);
  ASSERT_TRUE(host.next());
  TestViewer viewer(relay.viewerUrl("dev-1", "pass"));
  auto clientId = viewer.waitWelcome();
  ASSERT_TRUE(clientId && viewer.waitHostOnline());
  ASSERT_TRUE(host.next());  // client-join

  // With the relay stopped, a message larger than the kernel's buffers on the way cannot be
  // written whole: the cancel lands while the write is under way (both run in call order on
  // the network thread).
  Bytes big(12 * 1024 * 1024);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7 + (i >> 11));
  Bytes frame{1, 0, 0, 0, static_cast<uint8_t>(*clientId)};
  frame.insert(frame.end(), big.begin(), big.end());
  relay.process().signal(SIGSTOP);
  std::promise<std::optional<WebSocketError>> written;
  host.task().send(WebSocketMessage::binary(frame),
                   [&](std::optional<WebSocketError> error) { written.set_value(error); });
  host.cancel(1001);
  auto result = written.get_future().get();
  relay.process().signal(SIGCONT);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->description, "cancelled");

  // The message already begun still goes out whole, then the close frame.
  auto received = viewer.nextClientMessage(30s);
  ASSERT_TRUE(received);
  EXPECT_TRUE(*received == big) << "a message of " << received->size() << " bytes arrived changed";
  EXPECT_TRUE(relay.waitForLog("host dev-1 gone (closed 1001)", 30s));
}

TEST(WebSocketBeast, APingWithoutPongFails) {
  RelayProcess relay(relayOptions());
  WebSocketOptions options;
  options.pongTimeout = 500ms;
  TestSocket host(relay.hostUrl("dev-1", TOKEN), options);
  ASSERT_TRUE(host.next());
  EXPECT_FALSE(host.ping());
  relay.process().signal(SIGSTOP);
  auto error = host.ping(10s);
  relay.process().signal(SIGCONT);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->description, "no pong received in time");
}

// wss: the relay's certificate must chain to a trusted CA and name the host dialled.
class WebSocketTls : public ::testing::Test {
 protected:
  void SetUp() override { certificates_ = makeTestCertificates(dir_); }

  std::optional<WebSocketReceived> dial(const std::string& certificate, const std::string& key,
                                        const std::string& trusted, const std::string& host) {
    RelayOptions options = relayOptions();
    options.tlsCert = certificate;
    options.tlsKey = key;
    RelayProcess relay(options);
    // Read when the connector is made; no other thread reads the environment here.
    ::setenv("SSL_CERT_FILE", trusted.c_str(), 1);
    std::string url = relay.hostUrl("dev-1", TOKEN);
    url.replace(url.find("127.0.0.1"), 9, host);
    TestSocket socket(url);
    return socket.next(20s);
  }

  TempDir dir_;
  TestCertificates certificates_;
};

TEST_F(WebSocketTls, VerifiesTheChainAndTheName) {
  const auto& c = certificates_;
  struct Case {
    const char* name;
    std::string certificate, key, trusted, host;
    const char* refusal;  // nullptr: accepted
  };
  const Case cases[] = {
      {"by address", c.serverCert, c.serverKey, c.caCert, "127.0.0.1", nullptr},
      {"by name", c.serverCert, c.serverKey, c.caCert, "localhost", nullptr},
      {"untrusted CA", c.serverCert, c.serverKey, dir_.file("none.pem"), "127.0.0.1",
       "TLS certificate rejected"},
      {"name mismatch", c.otherNameCert, c.otherNameKey, c.caCert, "localhost",
       "TLS certificate rejected"},
      {"address mismatch", c.otherNameCert, c.otherNameKey, c.caCert, "127.0.0.1",
       "TLS certificate rejected"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    auto first = dial(tc.certificate, tc.key, tc.trusted, tc.host);
    ASSERT_TRUE(first) << "timeout";
    if (!tc.refusal) {
      ASSERT_TRUE(first->ok()) << first->error->description;
      EXPECT_EQ(first->message.data.at(0), 0);
    } else {
      ASSERT_FALSE(first->ok());
      EXPECT_NE(first->error->description.find(tc.refusal), std::string::npos)
          << first->error->description;
    }
  }
}

}  // namespace
}  // namespace cvl::test
