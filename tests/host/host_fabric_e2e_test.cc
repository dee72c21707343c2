// cvlhost run against a real relay (cvlrelay) on loopback, on its own Xvfb, watched and
// driven by cvlview viewers.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <csignal>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "kit/base/x11/x11_connection.h"
#include "tests/support/child_process.h"
#include "tests/support/relay_process.h"
#include "tests/support/sanitizer.h"
#include "tests/support/stderr_capture.h"
#include "tests/support/test_certificates.h"
#include "tests/support/test_socket.h"
#include "tests/support/throttled_proxy.h"
#include "tests/support/xvfb_server.h"

namespace cvl {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::ChildOptions;
using test::ChildProcess;

const char* DEVICE = "mac-e2e";
const char* DEVICE_TOKEN = "dev+tok/en=";
const char* VIEWER_TOKEN = "viewer-secret";

// The JSON lines a cvlview has printed so far.
std::vector<json> jsonLines(ChildProcess& viewer) {
  std::vector<json> out;
  std::istringstream in(viewer.out());
  std::string line;
  while (std::getline(in, line)) {
    auto j = json::parse(line, nullptr, false);
    if (j.is_object()) out.push_back(j);
  }
  return out;
}

std::vector<json> linesWhere(ChildProcess& viewer, const std::string& key,
                             const std::string& value) {
  std::vector<json> out;
  for (auto& j : jsonLines(viewer)) {
    if (j.value(key, "") == value) out.push_back(j);
  }
  return out;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 20s) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

size_t countOf(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class HostFabric : public ::testing::Test {
 protected:
  explicit HostFabric(test::XvfbServer::Options screen = {}) : xvfb(screen) {}
  void SetUp() override { startRelay({}); }

  void startRelay(test::RelayOptions options) {
    options.devices = {{DEVICE, DEVICE_TOKEN, {{VIEWER_TOKEN, {"*"}}}}};
    relay = std::make_unique<test::RelayProcess>(options);
    ASSERT_NE(relay->port(), 0);
  }

  void writeConfig(const std::string& relayUrl, const std::string& token = DEVICE_TOKEN) {
    dir.write("fabric.json", json({{"deviceId", DEVICE},
                                   {"deviceToken", token},
                                   {"relayUrl", relayUrl}})
                                 .dump());
  }

  std::unique_ptr<ChildProcess> startHost(std::map<std::string, std::string> env = {}) {
    ChildOptions options;
    options.args = {"run"};
    options.setEnv = {{"FABRIC_CONFIG", dir.file("fabric.json")},
                      {"DISPLAY", xvfb.display()},
                      {"CVL_VERBOSE", "1"},
                      {"HOME", dir.path()}};
    for (auto& [k, v] : env) options.setEnv[k] = v;
    options.unsetEnv = {"XDG_CONFIG_HOME"};
    return std::make_unique<ChildProcess>(test::builtProgram("cvlhost"), options);
  }

  std::unique_ptr<ChildProcess> serveHost() {
    writeConfig(relay->baseUrl() + "/");
    auto host = startHost();
    EXPECT_TRUE(host->waitForErr("[fabric] link UP", 20s)) << host->err();
    return host;
  }

  std::unique_ptr<ChildProcess> startViewer(const std::string& role,
                                            std::vector<std::string> extra = {},
                                            std::map<std::string, std::string> env = {}) {
    ChildOptions options;
    options.args = {"--url", relay->viewerUrl(DEVICE, VIEWER_TOKEN, role)};
    options.args.insert(options.args.end(), extra.begin(), extra.end());
    options.setEnv = env;
    return std::make_unique<ChildProcess>(test::builtProgram("cvlview"), options);
  }

  // Starts a viewer and waits until it has its keys and its greeting.
  std::unique_ptr<ChildProcess> keyedViewer(const std::string& role,
                                            std::vector<std::string> extra = {}) {
    auto viewer = startViewer(role, std::move(extra));
    EXPECT_TRUE(viewer->waitForOut("\"type\":\"session\"", 20s)) << viewer->out() << viewer->err();
    return viewer;
  }

  // Runs a command and waits for the reply of `type` that follows it.
  bool ask(ChildProcess& viewer, const std::string& command, const std::string& type,
           std::chrono::milliseconds timeout = 10s) {
    size_t before = linesWhere(viewer, "type", type).size();
    viewer.writeInput(command + "\n");
    return waitUntil([&] { return linesWhere(viewer, "type", type).size() > before; }, timeout);
  }

  struct Pointer {
    int x = -1, y = -1;
  };
  Pointer pointer() {
    X11Connection x = X11Connection::open(xvfb.display());
    Display* d = x.get();
    Window root, child;
    int rx, ry, wx, wy;
    unsigned mask;
    XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rx, &ry, &wx, &wy, &mask);
    return {rx, ry};
  }
  bool keyIsDown(KeySym sym) {
    X11Connection x = X11Connection::open(xvfb.display());
    char keys[32];
    XQueryKeymap(x.get(), keys);
    KeyCode code = XKeysymToKeycode(x.get(), sym);
    return keys[code / 8] & (1 << (code % 8));
  }
  // What the X server reports held down: key codes from its key map, and the pointer's
  // button mask.
  struct Held {
    std::vector<int> keycodes;
    unsigned buttons = 0;
  };
  Held held() {
    X11Connection x = X11Connection::open(xvfb.display());
    Display* d = x.get();
    char keys[32];
    XQueryKeymap(d, keys);
    Held h;
    for (int code = 0; code < 256; ++code) {
      if (keys[code / 8] & (1 << (code % 8))) h.keycodes.push_back(code);
    }
    Window root, child;
    int rx, ry, wx, wy;
    unsigned mask = 0;
    XQueryPointer(d, DefaultRootWindow(d), &root, &child, &rx, &ry, &wx, &wy, &mask);
    h.buttons = mask & (Button1Mask | Button2Mask | Button3Mask | Button4Mask | Button5Mask);
    return h;
  }
  // The controller holds shift, "a" and the left button down, and the X server says so.
  void holdKeysAndButton(ChildProcess& owner) {
    owner.writeInput(R"(state {"type":"move","x":300,"y":200})" "\n");
    owner.writeInput(R"(event {"type":"keyvk","vk":160,"down":true})" "\n");
    owner.writeInput(R"(event {"type":"keyvk","vk":65,"down":true})" "\n");
    owner.writeInput(R"(state {"type":"button","button":"left","down":true})" "\n");
    ASSERT_TRUE(waitUntil([&] {
      auto h = held();
      return keyIsDown(XK_Shift_L) && keyIsDown(XK_a) && (h.buttons & Button1Mask);
    })) << "the controller's keys and button are not down";
  }

  test::TempDir dir;
  test::XvfbServer xvfb;  // 1280 x 800 unless a test asks for another screen
  std::unique_ptr<test::RelayProcess> relay;
};

TEST_F(HostFabric, ViewerKeysAndReceivesTheScreen) {
  auto host = serveHost();
  test::TempDir frames;
  auto viewer = keyedViewer("owner", {"--frames", frames.path(), "--frame-limit", "2"});
  ASSERT_TRUE(waitUntil([&] { return linesWhere(*viewer, "type", "input-status").size() == 1; }));
  ASSERT_TRUE(waitUntil([&] { return linesWhere(*viewer, "type", "frame").size() >= 2; }));

  auto you = linesWhere(*viewer, "type", "you").at(0);
  auto session = linesWhere(*viewer, "type", "session").at(0)["session"];
  EXPECT_EQ(session["controllerId"], you["participantId"]);
  EXPECT_EQ(session["id"], you["sessionId"]);
  EXPECT_EQ(session["hostDeviceId"], DEVICE);
  for (const auto& frame : linesWhere(*viewer, "type", "frame")) {
    EXPECT_TRUE(frame["decoded"].get<bool>());
    EXPECT_EQ(frame["w"], 1280);
    EXPECT_EQ(frame["h"], 800);
    EXPECT_EQ(frame["jpegW"], 1280);
    EXPECT_EQ(frame["jpegH"], 800);
  }
  std::ifstream saved(frames.file("frame-000001.jpg"), std::ios::binary);
  char soi[2] = {};
  saved.read(soi, 2);
  EXPECT_EQ(static_cast<unsigned char>(soi[0]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(soi[1]), 0xD8);

  // The owner can compare phrases: the host's verbose log shows the viewer's.
  auto keyed = linesWhere(*viewer, "cvlview", "keyed").at(0);
  auto welcome = linesWhere(*viewer, "cvlview", "welcome").at(0);
  std::string expected = "[fabric] client " + std::to_string(welcome["clientId"].get<int>()) +
                         " E2E phrase: " + keyed["phrase"].get<std::string>();
  EXPECT_NE(host->err().find(expected), std::string::npos) << host->err();
  // The token never reaches the log.
  EXPECT_EQ(host->err().find("tok/en"), std::string::npos);
  EXPECT_EQ(host->err().find("tok%2Fen"), std::string::npos);
}

TEST_F(HostFabric, ControllerDrivesWatchersOnlyWatch) {
  auto host = serveHost();
  auto owner = keyedViewer("owner");
  auto watcher = keyedViewer("viewer");

  owner->writeInput(R"(state {"type":"move","x":100,"y":200})" "\n");
  ASSERT_TRUE(waitUntil([&] { auto p = pointer(); return p.x == 100 && p.y == 200; }))
      << pointer().x << "," << pointer().y;

  // A key goes down and up again (virtual key 0x41 is "A").
  owner->writeInput(R"(event {"type":"keyvk","vk":65,"down":true})" "\n");
  ASSERT_TRUE(waitUntil([&] { return keyIsDown(XK_a); }));
  owner->writeInput(R"(event {"type":"keyvk","vk":65,"down":false})" "\n");
  ASSERT_TRUE(waitUntil([&] { return !keyIsDown(XK_a); }));

  // The watcher's input is ignored.
  watcher->writeInput(R"(state {"type":"move","x":5,"y":5})" "\n");
  watcher->writeInput(R"(send {"type":"move","x":6,"y":6})" "\n");
  ASSERT_TRUE(ask(*watcher, R"(send {"type":"monitors"})", "monitors"));
  EXPECT_EQ(pointer().x, 100);

  // Clipboard both ways; a watcher may read it.
  ASSERT_TRUE(ask(*owner, R"(send {"type":"clipset","text":"hello clip"})", "clipboard-set"));
  ASSERT_TRUE(ask(*watcher, R"(send {"type":"clip-request"})", "clipboard"));
  EXPECT_EQ(linesWhere(*watcher, "type", "clipboard").back()["text"], "hello clip");

  // A second driver takes control; both see one driving participant.
  auto second = keyedViewer("trusted");
  size_t ownerSessions = linesWhere(*owner, "type", "session").size();
  ASSERT_TRUE(ask(*second, R"(send {"type":"control-request"})", "input-status"));
  ASSERT_TRUE(waitUntil([&] { return linesWhere(*owner, "type", "session").size() > ownerSessions; }));
  std::string secondPid = linesWhere(*second, "type", "you").at(0)["participantId"];
  for (ChildProcess* v : {owner.get(), second.get()}) {
    ASSERT_TRUE(waitUntil([&] {
      auto s = linesWhere(*v, "type", "session").back()["session"];
      return s["controllerId"] == secondPid;
    }));
    auto s = linesWhere(*v, "type", "session").back()["session"];
    int driving = 0;
    for (const auto& p : s["participants"]) driving += p["driving"].get<bool>();
    EXPECT_EQ(driving, 1);
  }
  // The former controller no longer drives.
  owner->writeInput(R"(state {"type":"move","x":300,"y":300})" "\n");
  ASSERT_TRUE(ask(*owner, R"(send {"type":"monitors"})", "monitors"));
  EXPECT_EQ(pointer().x, 100);
  second->writeInput(R"(send {"type":"move","x":400,"y":300})" "\n");
  ASSERT_TRUE(waitUntil([&] { return pointer().x == 400; }));

  // View-only drops input.
  ASSERT_TRUE(ask(*second, R"(send {"type":"viewonly","on":true})", "viewonly"));
  second->writeInput(R"(send {"type":"move","x":500,"y":300})" "\n");
  ASSERT_TRUE(ask(*second, R"(send {"type":"monitors"})", "monitors"));
  EXPECT_EQ(pointer().x, 400);
}

TEST_F(HostFabric, RelayLossIsSurvived) {
  auto host = serveHost();
  auto viewer = keyedViewer("owner", {"--reconnect"});
  relay->kill();
  // At least one more failed dial against the closed port before the relay comes back.
  ASSERT_TRUE(waitUntil([&] { return countOf(host->err(), "), retrying in 4s") >= 2; }, 30s))
      << host->err();
  relay->restart();
  ASSERT_TRUE(waitUntil([&] { return countOf(host->err(), "[fabric] link UP") == 2; }, 30s))
      << host->err();
  // The viewer joins the new relay and agrees keys afresh.
  ASSERT_TRUE(waitUntil([&] { return linesWhere(*viewer, "cvlview", "keyed").size() == 2; }, 30s))
      << viewer->out();
  ASSERT_TRUE(waitUntil([&] { return linesWhere(*viewer, "type", "you").size() == 2; }));
  std::string err = host->err();
  // One "link down" line per failed connection: every dial but the last one failed once.
  EXPECT_EQ(countOf(err, "[fabric] link down ("), countOf(err, "[fabric] dialing ") - 1) << err;
  EXPECT_GE(countOf(err, "[fabric] link down ("), 2u);
  EXPECT_NE(err.find("left (relay-down)"), std::string::npos);
}

TEST_F(HostFabric, NewerInstanceReplacesTheOlder) {
  auto first = serveHost();
  auto second = startHost();
  ASSERT_TRUE(second->waitForErr("[fabric] link UP", 20s));
  auto status = first->wait(20s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
  EXPECT_NE(first->err().find("[fabric] replaced by a newer host instance \u2014 exiting"),
            std::string::npos);
  EXPECT_TRUE(second->running());
}

TEST_F(HostFabric, SigtermEndsAtOnceWithStatusZero) {
  auto host = serveHost();
  auto viewer = keyedViewer("owner");
  ASSERT_TRUE(viewer->waitForOut("\"type\":\"frame\"", 20s));
  host->signal(SIGTERM);
  auto status = host->wait(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 0);
  auto lines = test::logLines(host->err());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "[cvlhost] shutting down");
}

// Leaving lets go of everything the controller held: the X server reports no key and no
// button down afterwards, and the relay saw the host close the connection as going away.
TEST_F(HostFabric, LeavingLetsGoOfEverythingHeld) {
  for (const std::string how : {"SIGTERM", "replaced"}) {
    SCOPED_TRACE(how);
    size_t relayLog = relay->process().err().size();
    auto host = serveHost();
    auto owner = keyedViewer("owner");
    ASSERT_NO_FATAL_FAILURE(holdKeysAndButton(*owner));

    std::unique_ptr<ChildProcess> newer;
    if (how == "SIGTERM") {
      host->signal(SIGTERM);
    } else {
      newer = startHost();
    }
    auto status = host->wait(20s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 0);
    auto lines = test::logLines(host->err());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), how == "SIGTERM"
                                ? "[cvlhost] shutting down"
                                : "[fabric] replaced by a newer host instance \u2014 exiting");
    Held after = held();
    EXPECT_TRUE(after.keycodes.empty()) << after.keycodes.size() << " keys still down";
    EXPECT_EQ(after.buttons, 0u);
    if (how == "SIGTERM") {
      EXPECT_TRUE(waitUntil([&] {
        return relay->process().err().find("gone (closed 1001)", relayLog) != std::string::npos;
      })) << relay->process().err().substr(relayLog);
    }
    if (newer) {
      newer->signal(SIGTERM);
      EXPECT_EQ(newer->wait(20s), 0) << newer->err();
    }
  }
}

// The controller goes while a watcher stays: what it held is let go at once, not when the
// watcher leaves too.
TEST_F(HostFabric, ControllerLeavingWhileAWatcherStaysLetsGo) {
  auto host = serveHost();
  auto watcher = keyedViewer("viewer");
  auto owner = keyedViewer("owner");
  ASSERT_NO_FATAL_FAILURE(holdKeysAndButton(*owner));
  owner->writeInput("quit\n");
  ASSERT_TRUE(waitUntil([&] {
    auto h = held();
    return h.keycodes.empty() && h.buttons == 0;
  })) << "still held after the controller left";
  EXPECT_TRUE(host->running());
  EXPECT_NE(host->err().find("left ("), std::string::npos);
}

// A screen whose resolution changes under a streaming host: 1280 x 800, then 1920 x 1080
// (its largest), then back.
class HostFabricResizing : public HostFabric {
 protected:
  HostFabricResizing() : HostFabric({.width = 1920, .height = 1080}) {}
  void xrandr(std::vector<std::string> args) {
    ChildOptions options;
    options.args = std::move(args);
    options.setEnv = {{"DISPLAY", xvfb.display()}};
    auto r = test::runChild("/usr/bin/xrandr", options);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  void switchTo(bool small) {
    if (small) {
      xrandr({"--output", "screen", "--mode", "small", "--fb", "1280x800"});
    } else {
      xrandr({"--fb", "1920x1080", "--output", "screen", "--mode", "1920x1080"});
    }
  }
};

// The next frames have the new shape, and the viewer's pointer lands where its picture says.
TEST_F(HostFabricResizing, FramesAndPointerFollowANewResolution) {
  xrandr({"--newmode", "small", "10", "1280", "1290", "1300", "1310", "800", "810", "820", "830"});
  xrandr({"--addmode", "screen", "small"});
  ASSERT_NO_FATAL_FAILURE(switchTo(true));
  auto host = serveHost();
  auto owner = keyedViewer("owner");
  owner->writeInput(R"(send {"type":"settings","maxEdge":960,"fps":10})" "\n");

  struct Step {
    bool small;
    int frameW, frameH;
    int x, y;            // a point of the picture
    int rootX, rootY;    // where the pointer must land
  } steps[] = {{true, 960, 600, 480, 300, 640, 400},
               {false, 960, 540, 480, 270, 960, 540},
               {true, 960, 600, 240, 150, 320, 200}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.frameH);
    ASSERT_NO_FATAL_FAILURE(switchTo(step.small));
    // Frames of the new shape arrive (the ones of the old shape before them do not count).
    ASSERT_TRUE(waitUntil([&] {
      auto frames = linesWhere(*owner, "type", "frame");
      return !frames.empty() && frames.back()["w"] == step.frameW &&
             frames.back()["h"] == step.frameH;
    })) << linesWhere(*owner, "type", "frame").back().dump();
    owner->writeInput("state {\"type\":\"move\",\"x\":" + std::to_string(step.x) +
                      ",\"y\":" + std::to_string(step.y) + "}\n");
    EXPECT_TRUE(waitUntil([&] {
      auto p = pointer();
      return p.x == step.rootX && p.y == step.rootY;
    })) << pointer().x << "," << pointer().y;
  }
}

// The X server goes away under a streaming host: one clear line, a failure status for the
// service manager, and the relay sees the connection end.
TEST_F(HostFabric, LosingTheDisplayEndsTheHostWithAFailure) {
  auto host = serveHost();
  auto viewer = keyedViewer("owner");
  ASSERT_TRUE(viewer->waitForOut("\"type\":\"frame\"", 20s));
  size_t relayLog = relay->process().err().size();
  xvfb.stop(SIGKILL);
  auto status = host->wait(20s);
  ASSERT_TRUE(status.has_value()) << "the host hangs";
  EXPECT_EQ(*status, 1);
  auto lines = test::logLines(host->err());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "[cvlhost] lost the X display " + xvfb.display() + " \u2014 exiting");
  EXPECT_TRUE(waitUntil([&] {
    return relay->process().err().find("host mac-e2e gone", relayLog) != std::string::npos;
  }));
  EXPECT_TRUE(viewer->waitForOut("\"cvlview\":\"host-offline\"", 20s));
}

TEST_F(HostFabric, IncompleteConfigurationStaysOffTheNetwork) {
  writeConfig(relay->baseUrl(), "");
  auto host = startHost();
  ASSERT_TRUE(host->waitForErr("[fabric] not configured \u2014 staying single-machine", 20s));
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(host->running());
  EXPECT_EQ(host->err().find("[fabric] dialing"), std::string::npos);
  auto lines = test::logLines(host->err());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2].rfind("[cvlhost] joining the fabric as mac-e2e via", 0), 0u);
  EXPECT_EQ(relay->process().err().find("host"), std::string::npos) << relay->process().err();
}

TEST_F(HostFabric, WrongTokenIsRefusedAndRetriedEveryFourSeconds) {
  writeConfig(relay->baseUrl(), "not-the-token");
  auto host = startHost();
  ASSERT_TRUE(waitUntil([&] { return countOf(host->err(), "retrying in 4s") >= 2; }, 30s));
  EXPECT_EQ(host->err().find("link UP"), std::string::npos);
  // The dials are 4 s apart.
  std::vector<std::string> stamps;
  std::istringstream in(host->err());
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("[fabric] dialing") != std::string::npos) stamps.push_back(line.substr(1, 23));
  }
  ASSERT_GE(stamps.size(), 2u);
  auto seconds = [](const std::string& stamp) {
    return std::stoi(stamp.substr(11, 2)) * 3600 + std::stoi(stamp.substr(14, 2)) * 60 +
           std::stod(stamp.substr(17, 6));
  };
  EXPECT_GE(seconds(stamps[1]) - seconds(stamps[0]), 3.95);
}

TEST(HostFabricTls, JoinsOverWssWithATrustedCertificate) {
  test::TempDir dir;
  test::XvfbServer xvfb;
  auto certs = test::makeTestCertificates(dir);
  test::RelayOptions options;
  options.devices = {{DEVICE, DEVICE_TOKEN, {{VIEWER_TOKEN, {"*"}}}}};
  options.tlsCert = certs.serverCert;
  options.tlsKey = certs.serverKey;
  test::RelayProcess relay(options);
  ASSERT_NE(relay.port(), 0);
  dir.write("fabric.json", json({{"deviceId", DEVICE},
                                 {"deviceToken", DEVICE_TOKEN},
                                 {"relayUrl", relay.baseUrl()}})
                               .dump());
  ChildOptions hostOptions;
  hostOptions.args = {"run"};
  hostOptions.setEnv = {{"FABRIC_CONFIG", dir.file("fabric.json")},
                        {"DISPLAY", xvfb.display()},
                        {"SSL_CERT_FILE", certs.caCert},
                        {"HOME", dir.path()}};
  ChildProcess host(test::builtProgram("cvlhost"), hostOptions);
  ASSERT_TRUE(host.waitForErr("[fabric] link UP", 20s)) << host.err();

  ChildOptions viewerOptions;
  viewerOptions.args = {"--url", relay.viewerUrl(DEVICE, VIEWER_TOKEN, "owner")};
  viewerOptions.setEnv = {{"SSL_CERT_FILE", certs.caCert}};
  ChildProcess viewer(test::builtProgram("cvlview"), viewerOptions);
  ASSERT_TRUE(viewer.waitForOut("\"type\":\"frame\"", 30s)) << viewer.out() << viewer.err();

  // Without the test CA the host does not trust the relay and keeps retrying.
  ChildOptions untrusting = hostOptions;
  untrusting.setEnv["SSL_CERT_FILE"] = dir.file("no-such-ca.pem");
  ChildProcess stranger(test::builtProgram("cvlhost"), untrusting);
  ASSERT_TRUE(stranger.waitForErr("retrying in 4s", 20s));
  EXPECT_EQ(stranger.err().find("link UP"), std::string::npos);
}

// Memory (kB) the process holds now.
long residentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Fills the screen with noise so that every frame is large.
struct NoiseWindow {
  explicit NoiseWindow(const std::string& display) : x(X11Connection::open(display)), d(x.get()) {
    int screen = DefaultScreen(d);
    int w = DisplayWidth(d, screen), h = DisplayHeight(d, screen);
    XSetWindowAttributes attrs{};
    attrs.override_redirect = True;
    win = XCreateWindow(d, RootWindow(d, screen), 0, 0, w, h, 0, CopyFromParent, InputOutput,
                        CopyFromParent, CWOverrideRedirect, &attrs);
    XMapRaised(d, win);
    std::vector<uint32_t> pixels(static_cast<size_t>(w) * h);
    std::mt19937 random(7);
    for (auto& p : pixels) p = random();
    XImage* image = XCreateImage(d, DefaultVisual(d, screen), DefaultDepth(d, screen), ZPixmap, 0,
                                 reinterpret_cast<char*>(pixels.data()), w, h, 32, 0);
    XPutImage(d, win, DefaultGC(d, screen), image, 0, 0, 0, 0, w, h);
    image->data = nullptr;
    XDestroyImage(image);
    XSync(d, False);
  }
  X11Connection x;
  Display* d;  // x's
  Window win;
};

TEST_F(HostFabric, SlowRelayLinkKeepsHostMemoryBounded) {
  NoiseWindow noise(xvfb.display());
  // The host's link to the relay passes 256 kB/s; a noise frame at full quality is ~1 MB
  // and the viewer asks for 30 of them a second.
  test::ThrottledProxy proxy(relay->port(), 256 * 1024);
  writeConfig("ws://127.0.0.1:" + std::to_string(proxy.port()));
  auto host = startHost();
  ASSERT_TRUE(host->waitForErr("[fabric] link UP", 20s)) << host->err();
  auto viewer = keyedViewer("owner");
  viewer->writeInput(R"(send {"type":"settings","fps":30,"quality":100})" "\n");
  ASSERT_TRUE(viewer->waitForOut("\"type\":\"frame\"", 30s));

  std::this_thread::sleep_for(3s);
  long early = residentKb(host->pid());
  std::this_thread::sleep_for(10s);
  long late = residentKb(host->pid());
  ASSERT_GT(early, 0);
  // Unbounded queueing would add ~30 MB a second here. The bound holds for the host's own
  // memory, which only a build without a sanitizer's quarantine and shadow shows.
  if (!test::MEMORY_SANITIZED) {
    EXPECT_LT(late - early, 40 * 1024) << "early " << early << " kB, late " << late << " kB";
  }
  // Frames keep coming, at the link's pace.
  size_t frames = linesWhere(*viewer, "type", "frame").size();
  ASSERT_TRUE(waitUntil([&] { return linesWhere(*viewer, "type", "frame").size() > frames; }));
  EXPECT_TRUE(host->running());
  EXPECT_EQ(host->err().find("link down"), std::string::npos);
}

TEST_F(HostFabric, MalformedViewerTrafficDoesNotHurtTheHost) {
  auto host = serveHost();
  auto good = keyedViewer("owner");
  test::TestViewer raw(relay->viewerUrl(DEVICE, VIEWER_TOKEN, "owner"));
  ASSERT_TRUE(raw.waitWelcome());
  const std::vector<std::vector<uint8_t>> garbage = {
      {}, {0x00}, {0x07, 1, 2, 3}, {0x01, 1, 2, 3},           // empty, unknown tags, short hello
      {0x02}, {0x02, 0, 0, 0, 0, 0, 0, 0, 1, 9, 9},            // envelopes too short
      std::vector<uint8_t>(4096, 0x02),                         // a sealed blob of junk
  };
  for (const auto& g : garbage) raw.sendClientMessage(g);
  // Raw garbage sealed before keys, and a hello of the wrong length, from the keyed viewer.
  good->writeInput("raw 02 0000000000000000 00112233445566778899aabbccddeeff\n");
  good->writeInput("sealed 00 7b2274797065223a\n");  // JSON cut short
  good->writeInput("sealed 01 ae01\n");              // a broken input frame
  good->writeInput("send [1,2,3]\n");
  ASSERT_TRUE(ask(*good, R"(send {"type":"monitors"})", "monitors"));
  size_t frames = linesWhere(*good, "type", "frame").size();
  ASSERT_TRUE(waitUntil([&] { return linesWhere(*good, "type", "frame").size() > frames; }));
  EXPECT_TRUE(host->running());
  EXPECT_EQ(host->err().find("link down"), std::string::npos);
}

}  // namespace
}  // namespace cvl
