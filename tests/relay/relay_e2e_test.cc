// cvlrelay as a process: who gets in, what hosts and viewers are told, what is forwarded.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include "tests/support/relay_process.h"
#include "tests/support/test_socket.h"

namespace cvl::test {
namespace {

using Bytes = std::vector<uint8_t>;

// The host's side of the relay link, read frame by frame.
class TestHost {
 public:
  explicit TestHost(const std::string& url) : socket_(url) {}

  // The next control message's JSON; fails the test on anything else.
  nlohmann::json control() {
    auto message = frame();
    if (message.empty() || message[0] != 0) {
      ADD_FAILURE() << "expected a control message";
      return {};
    }
    return nlohmann::json::parse(message.begin() + 1, message.end(), nullptr, false);
  }
  // The next frame's bytes (empty on error or timeout, which fails the test).
  Bytes frame() {
    auto item = socket_.next();
    if (!item || !item->ok()) {
      ADD_FAILURE() << "no frame: " << (item ? item->error->description : "timeout");
      return {};
    }
    EXPECT_EQ(item->message.kind, WebSocketMessage::Kind::binary);
    return item->message.data;
  }
  void send(Bytes frame) { EXPECT_FALSE(socket_.send(WebSocketMessage::binary(frame))); }
  TestSocket& socket() { return socket_; }

 private:
  TestSocket socket_;
};

Bytes dataFrame(uint32_t clientId, Bytes message) {
  Bytes frame{1, uint8_t(clientId >> 24), uint8_t(clientId >> 16), uint8_t(clientId >> 8),
              uint8_t(clientId)};
  frame.insert(frame.end(), message.begin(), message.end());
  return frame;
}

class RelayTest : public ::testing::Test {
 protected:
  RelayTest()
      : relay_(RelayOptions{
            {{"dev-1",
              "host+tok/en=?&",
              {{"owner-pass", {"owner", "viewer", "guest"}}, {"watch-pass", {"viewer"}}}},
             {"dev-2", "second-host", {{"other-pass", {"*"}}}}},
            std::nullopt,
            std::nullopt,
            258}) {}

  std::string hostUrl() { return relay_.hostUrl("dev-1", "host+tok/en=?&"); }

  RelayProcess relay_;
};

TEST_F(RelayTest, AdmitsOnlyKnownCredentials) {
  struct Case {
    std::string name;
    std::string url;
    std::string refusal;  // empty: admitted
  };
  const Case cases[] = {
      {"host", hostUrl(), ""},
      {"host, wrong token", relay_.hostUrl("dev-1", "host+tok/en=?"), "HTTP 401"},
      {"host, other device's token", relay_.hostUrl("dev-1", "second-host"), "HTTP 401"},
      {"host, unknown device", relay_.hostUrl("dev-9", "host+tok/en=?&"), "HTTP 401"},
      {"host, no token", relay_.baseUrl() + "/host?deviceId=dev-1", "HTTP 401"},
      {"host, broken escape", relay_.baseUrl() + "/host?deviceId=dev-1&token=%zz", "HTTP 401"},
      {"viewer, default role", relay_.viewerUrl("dev-1", "owner-pass"), ""},
      {"viewer, allowed role", relay_.viewerUrl("dev-1", "watch-pass", "viewer"), ""},
      {"viewer, role not granted", relay_.viewerUrl("dev-1", "watch-pass", "owner"), "HTTP 403"},
      {"viewer, host token", relay_.viewerUrl("dev-1", "host+tok/en=?&"), "HTTP 401"},
      {"viewer, other device's login", relay_.viewerUrl("dev-1", "other-pass"), "HTTP 401"},
      {"unknown endpoint", relay_.baseUrl() + "/admin?deviceId=dev-1", "HTTP 404"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestSocket socket(c.url);
    auto first = socket.next();
    ASSERT_TRUE(first);
    if (c.refusal.empty()) {
      EXPECT_TRUE(first->ok()) << first->error->description;
    } else {
      ASSERT_FALSE(first->ok());
      EXPECT_NE(first->error->description.find(c.refusal), std::string::npos)
          << first->error->description;
    }
  }
  // Secrets never reach the relay's log.
  relay_.waitForLog("refused viewer for device dev-1 (bad token)");
  for (const char* secret : {"host+tok", "owner-pass", "watch-pass", "second-host"}) {
    EXPECT_EQ(relay_.process().err().find(secret), std::string::npos) << secret;
  }
}

TEST_F(RelayTest, AnnouncesViewersAndForwardsBothWays) {
  TestHost host(hostUrl());
  EXPECT_EQ(host.control()["t"], "host-accepted");

  TestViewer viewer(relay_.viewerUrl("dev-1", "owner-pass", "owner"));
  EXPECT_EQ(viewer.waitWelcome(), 258u);
  EXPECT_TRUE(viewer.waitHostOnline());
  auto join = host.control();
  EXPECT_EQ(join["t"], "client-join");
  EXPECT_EQ(join["clientId"], 258);
  EXPECT_EQ(join["role"], "owner");

  // A second viewer of another role gets the next id.
  TestViewer guest(relay_.viewerUrl("dev-1", "owner-pass", "guest"));
  EXPECT_EQ(guest.waitWelcome(), 259u);
  EXPECT_EQ(host.control(), (nlohmann::json{{"t", "client-join"}, {"clientId", 259}, {"role", "guest"}}));

  // Viewer to host: the client message behind the data header with the viewer's id.
  ASSERT_FALSE(viewer.sendClientMessage({1, 0xAA, 0xBB}));
  EXPECT_EQ(host.frame(), (Bytes{1, 0, 0, 1, 2, 1, 0xAA, 0xBB}));
  ASSERT_FALSE(guest.sendClientMessage({}));
  EXPECT_EQ(host.frame(), (Bytes{1, 0, 0, 1, 3}));

  // Host to viewer: only the addressed viewer gets the client message, unchanged.
  host.send(dataFrame(259, {2, 0xCC}));
  host.send(dataFrame(258, {2, 0xDD, 0xEE}));
  EXPECT_EQ(viewer.nextClientMessage(), (Bytes{2, 0xDD, 0xEE}));
  EXPECT_EQ(guest.nextClientMessage(), (Bytes{2, 0xCC}));
  // A text-payload data frame and a droppable one are delivered alike.
  host.send({0x82, 0, 0, 1, 2, 7});
  EXPECT_EQ(viewer.nextClientMessage(), (Bytes{7}));
  // A broadcast reaches every viewer of the device.
  host.send({3, 9, 9});
  EXPECT_EQ(viewer.nextClientMessage(), (Bytes{9, 9}));
  EXPECT_EQ(guest.nextClientMessage(), (Bytes{9, 9}));

  guest.socket().cancel(1000);
  EXPECT_EQ(host.control(), (nlohmann::json{{"t", "client-leave"}, {"clientId", 259}, {"reason", "left"}}));
}

TEST_F(RelayTest, ViewersWaitForTheirHostAndHearWhenItGoes) {
  TestViewer viewer(relay_.viewerUrl("dev-1", "watch-pass"));
  EXPECT_EQ(viewer.waitWelcome(), 258u);
  // Nothing reaches a host that is not there; the message is not kept for later.
  ASSERT_FALSE(viewer.sendClientMessage({1, 1}));
  EXPECT_FALSE(viewer.waitHostOnline(300ms));

  {
    TestHost host(hostUrl());
    EXPECT_EQ(host.control()["t"], "host-accepted");
    EXPECT_EQ(host.control(), (nlohmann::json{{"t", "client-join"}, {"clientId", 258}, {"role", "viewer"}}));
    EXPECT_TRUE(viewer.waitHostOnline());
    ASSERT_FALSE(viewer.sendClientMessage({1, 2}));
    EXPECT_EQ(host.frame(), (Bytes{1, 0, 0, 1, 2, 1, 2}));
  }
  EXPECT_TRUE(viewer.waitHostOffline());

  // The host comes back and is told about the viewer again.
  TestHost again(hostUrl());
  EXPECT_EQ(again.control()["t"], "host-accepted");
  EXPECT_EQ(again.control()["clientId"], 258);
  EXPECT_TRUE(viewer.waitHostOnline());
}

TEST_F(RelayTest, ASecondHostReplacesTheFirst) {
  TestHost first(hostUrl());
  EXPECT_EQ(first.control()["t"], "host-accepted");
  TestViewer viewer(relay_.viewerUrl("dev-1", "owner-pass"));
  EXPECT_TRUE(viewer.waitHostOnline());
  EXPECT_EQ(first.control()["t"], "client-join");

  TestHost second(hostUrl());
  EXPECT_EQ(first.control(), (nlohmann::json{{"t", "replaced"}}));
  auto end = first.socket().next();
  ASSERT_TRUE(end);
  EXPECT_FALSE(end->ok());

  EXPECT_EQ(second.control()["t"], "host-accepted");
  EXPECT_EQ(second.control(), (nlohmann::json{{"t", "client-join"}, {"clientId", 258}, {"role", "owner"}}));
  EXPECT_TRUE(viewer.waitHostOnline());
  ASSERT_FALSE(viewer.sendClientMessage({1, 5}));
  EXPECT_EQ(second.frame(), (Bytes{1, 0, 0, 1, 2, 1, 5}));
  // The replaced host's going does not take the device offline.
  EXPECT_FALSE(viewer.waitHostOffline(300ms));
}

TEST_F(RelayTest, SurvivesGarbageAndKeepsDevicesApart) {
  TestHost host(hostUrl());
  EXPECT_EQ(host.control()["t"], "host-accepted");
  TestViewer viewer(relay_.viewerUrl("dev-1", "owner-pass"));
  ASSERT_TRUE(viewer.waitHostOnline());
  host.control();  // client-join

  TestHost otherHost(relay_.hostUrl("dev-2", "second-host"));
  EXPECT_EQ(otherHost.control()["t"], "host-accepted");
  TestViewer otherViewer(relay_.viewerUrl("dev-2", "other-pass"));
  ASSERT_TRUE(otherViewer.waitHostOnline());
  auto otherJoin = otherHost.control();
  uint32_t otherId = otherJoin["clientId"];

  // Malformed host frames: empty, short data headers, control messages from the host,
  // unknown operations, data for a client that does not exist or belongs to another device.
  for (const Bytes& junk : std::vector<Bytes>{{},
                                              {1},
                                              {1, 0, 0, 1},
                                              {0, '{', 'x'},
                                              {0, '{', '}'},
                                              {5, 1, 2},
                                              {0x0F},
                                              dataFrame(999, {1}),
                                              dataFrame(otherId, {2, 0x66})}) {
    host.send(junk);
  }
  // A text message from the host is read like a binary one.
  EXPECT_FALSE(host.socket().send(WebSocketMessage::text(std::string_view("\x01\0\0\x01\x02ok", 7))));
  EXPECT_EQ(viewer.nextClientMessage(), (Bytes{'o', 'k'}));
  // Text from a viewer goes to the host as a text-payload data frame.
  EXPECT_FALSE(viewer.socket().send(WebSocketMessage::text("hi")));
  EXPECT_EQ(host.frame(), (Bytes{2, 0, 0, 1, 2, 'h', 'i'}));

  // Raw bytes that are not HTTP, and an HTTP request that is not an upgrade.
  static const char NOT_HTTP[] = "\x16\x03\x01\xff\xff garbage\r\n\r\n";
  for (const std::string& raw : {std::string(NOT_HTTP, sizeof(NOT_HTTP) - 1),
                                 std::string("GET /host HTTP/1.1\r\nHost: x\r\n\r\n")}) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(relay_.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::write(fd, raw.data(), raw.size()), static_cast<ssize_t>(raw.size()));
    char reply[256] = {};
    ssize_t n = ::read(fd, reply, sizeof(reply) - 1);
    EXPECT_GT(n, 0);
    EXPECT_EQ(std::string(reply).rfind("HTTP/1.1 4", 0), 0u) << reply;
    ::close(fd);
  }

  // Everything still works, and the other device's viewer heard nothing of it.
  host.send(dataFrame(258, {2, 1}));
  EXPECT_EQ(viewer.nextClientMessage(), (Bytes{2, 1}));
  otherHost.send(dataFrame(otherId, {2, 2}));
  EXPECT_EQ(otherViewer.nextClientMessage(), (Bytes{2, 2}));
  TestViewer late(relay_.viewerUrl("dev-1", "owner-pass"));
  EXPECT_TRUE(late.waitHostOnline());
  EXPECT_TRUE(relay_.process().running());
}

// One HTTP exchange on a fresh connection; everything the relay answers until it closes.
std::string httpExchange(uint16_t port, const std::string& request) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return "";
  if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) return "";
  std::string reply;
  char buffer[65536];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, n);
  ::close(fd);
  return reply;
}

std::string sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", digest[i]);
    hex += two;
  }
  return hex;
}

TEST_F(RelayTest, ServesTheWebViewerWhoseHashItPrints) {
  auto printed = runChild(builtProgram("cvlrelay"), {{"--viewer-sha256"}});
  ASSERT_EQ(printed.status, 0);
  ASSERT_EQ(printed.out.size(), 65u) << printed.out;

  // "/", "/index.html" and the same under a path prefix: the page, with its policy.
  for (const char* path : {"/", "/index.html", "/corvello/", "/corvello/index.html?x=1"}) {
    SCOPED_TRACE(path);
    std::string reply =
        httpExchange(relay_.port(), std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
    auto split = reply.find("\r\n\r\n");
    ASSERT_NE(split, std::string::npos) << reply.substr(0, 200);
    std::string head = reply.substr(0, split);
    std::string body = reply.substr(split + 4);
    EXPECT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << head;
    EXPECT_NE(head.find("Content-Type: text/html; charset=utf-8"), std::string::npos) << head;
    EXPECT_NE(head.find("Content-Security-Policy: default-src 'none'; script-src 'sha256-"),
              std::string::npos) << head;
    EXPECT_NE(head.find("frame-ancestors 'none'"), std::string::npos) << head;
    EXPECT_EQ(body.rfind("<!doctype html>", 0), 0u);
    EXPECT_EQ(sha256Hex(body) + "\n", printed.out);
  }

  // HEAD gives the headers only; other methods and other paths are refused.
  std::string head = httpExchange(relay_.port(), "HEAD / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << head;
  EXPECT_EQ(head.find("<!doctype"), std::string::npos);
  EXPECT_EQ(httpExchange(relay_.port(), "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n")
                .rfind("HTTP/1.1 405", 0),
            0u);
  EXPECT_EQ(httpExchange(relay_.port(), "GET /other HTTP/1.1\r\nHost: x\r\n\r\n").rfind("HTTP/1.1 404", 0),
            0u);
  EXPECT_TRUE(relay_.process().running());
}

}  // namespace
}  // namespace cvl::test
