// The libcurl wrapper and the blocking broker transport against the loopback fake broker.
#include "kit/broker/http_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "kit/broker/broker_transport.h"
#include "tests/broker/awaited.h"
#include "tests/support/fake_broker.h"

namespace cvl {
namespace {

using namespace std::chrono_literals;
using test::Awaited;
using test::FakeBroker;
using Answer = FakeBroker::Answer;

HttpRequest post(const std::string& url) {
  HttpRequest request;
  request.url = url;
  request.body = "{}";
  return request;
}

TEST(HttpClientTest, TransportFailuresAreStatusZero) {
  FakeBroker broker;
  broker.on("/slow", Answer::json(200, {{"a", 1}}).after(5s));
  broker.on("/big", Answer::raw(200, std::string(5000, 'x')));
  HttpClient client;
  struct Case {
    const char* what;
    HttpRequest request;
  } cases[] = {
      {"timeout", [&] {
         auto r = post(broker.url() + "/slow");
         r.timeout = 300ms;
         return r;
       }()},
      {"answer over the size limit", [&] {
         auto r = post(broker.url() + "/big");
         r.maxAnswerBytes = 1000;
         return r;
       }()},
      {"scheme other than http(s)", post("file://localhost/etc/passwd")},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    Awaited<HttpResponse> done;
    client.send(c.request, done.callback());
    HttpResponse response = done.get();
    EXPECT_EQ(response.status, 0);
    EXPECT_EQ(response.body, "");
  }
}

TEST(HttpClientTest, HeaderValueWithLineBreakIsNeverSent) {
  // A token from an answer must not be able to add headers to the next request.
  FakeBroker broker;
  broker.on("/x", Answer::noBody(204));
  HttpClient client;
  HttpRequest request = post(broker.url() + "/x");
  request.headers.emplace_back("Authorization", "Bearer abc\r\nX-Injected: 1");
  Awaited<HttpResponse> done;
  client.send(request, done.callback());
  ASSERT_TRUE(done.ready());
  EXPECT_EQ(done.get().status, 0);
  EXPECT_EQ(done.thread(), std::this_thread::get_id());
  EXPECT_TRUE(broker.requests().empty());
}

TEST(HttpClientTest, DestroyingTheClientCompletesRequestsInFlight) {
  FakeBroker broker;
  broker.on("/slow", Answer::noBody(200).after(10s));
  Awaited<HttpResponse> done;
  {
    HttpClient client;
    client.send(post(broker.url() + "/slow"), done.callback());
    ASSERT_TRUE(broker.waitForRequests(1, 10s));
  }
  ASSERT_TRUE(done.ready());
  EXPECT_EQ(done.get().status, 0);
}

TEST(HttpClientTest, ConcurrentSendersAllGetTheirAnswer) {
  FakeBroker broker;
  broker.on("/x", Answer::json(201, {{"ok", true}}));
  HttpClient client;
  constexpr int N = 8;
  Awaited<HttpResponse> done[N];
  std::vector<std::thread> senders;
  for (int i = 0; i < N; ++i) {
    senders.emplace_back([&, i] { client.send(post(broker.url() + "/x"), done[i].callback()); });
  }
  for (auto& t : senders) t.join();
  for (auto& d : done) {
    HttpResponse response = d.get();
    EXPECT_EQ(response.status, 201);
    EXPECT_EQ(response.body, R"({"ok":true})");
  }
}

TEST(BrokerTransportTest, WaitThatRunsOutIsStatusZeroAndTheLateAnswerIsDropped) {
  FakeBroker broker;
  broker.on("/login", Answer::json(200, {{"token", "t"}}).after(800ms));
  BrokerAnswer answer =
      BrokerTransport::postAndWait(broker.url() + "/login", {{"a", 1}}, std::nullopt, 100ms);
  EXPECT_EQ(answer.status, 0);
  EXPECT_FALSE(answer.body);
  // Let the late answer arrive while the test is still alive (the sanitizers watch it).
  std::this_thread::sleep_for(1500ms);
}

TEST(BrokerTransportTest, BodyThatIsNotUtf8IsLeftOut) {
  FakeBroker broker;
  broker.on("/login", Answer::json(200, {{"token", "t"}}));
  BrokerAnswer answer = BrokerTransport::postAndWait(
      broker.url() + "/login", {{"password", "\xff\xfe"}}, std::string("tok"));
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.string("token"), "t");
  auto requests = broker.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, "");
  EXPECT_EQ(requests[0].header("content-type"), "application/json");
  EXPECT_EQ(requests[0].header("authorization"), "Bearer tok");
}

}  // namespace
}  // namespace cvl
