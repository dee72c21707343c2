// cvlview: a command-line viewer. Connects to the relay's viewer endpoint, agrees keys with
// the host, prints every host message as one JSON line on standard output (frames as a
// summary, their JPEG saved to files), and sends what the script on standard input says.
//
//   cvlview --relay ws://127.0.0.1:8443 --device mac-1 --token VIEWER_TOKEN [--role owner]
//           [--frames DIR] [--frame-limit N] [--reconnect]
//   cvlview --url 'ws://127.0.0.1:8443/view?deviceId=...&token=...&role=...' ...
//
// Lines of the viewer's own start with {"cvlview": ...}: "welcome", "host-online",
// "host-offline", "keyed" (with the verification phrase), "closed", "error".
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "kit/base/base64.h"
#include "kit/base/url_encoding.h"
#include "kit/diagnostics/log.h"
#include "kit/fabric/dial_url.h"
#include "kit/fabric/relay_frame.h"
#include "kit/fabric/viewer_peer.h"
#include "kit/fabric/websocket.h"
#include "kit/input/input_encoder.h"
#include "tools/view/jpeg_info.h"
#include "tools/view/script_command.h"

namespace cvl::view {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// A lost connection is dialled again after this, with --reconnect.
constexpr auto RECONNECT_DELAY = 1s;

struct Options {
  std::string url;
  std::string framesDir;
  long frameLimit = 0;  // 0: every frame
  bool reconnect = false;
};

constexpr const char* USAGE =
    "usage: cvlview (--url VIEWER_URL | --relay URL --device ID --token TOKEN [--role ROLE])\n"
    "               [--frames DIR] [--frame-limit N] [--reconnect]\n"
    "Prints host messages as JSON lines; reads script commands from standard input:\n"
    "  send JSON | state JSON | event JSON | snapshot JSON | sealed HEX | raw HEX |\n"
    "  wait TYPE [MS] | sleep MS | quit\n";

class Viewer {
 public:
  explicit Viewer(Options options)
      : options_(std::move(options)), connector_(makeBeastWebSocketConnector()) {}

  bool connect() {
    auto url = parseWebSocketUrl(options_.url);
    if (!url) {
      print({{"cvlview", "error"}, {"error", "not a ws:// or wss:// URL"}});
      return false;
    }
    std::shared_ptr<WebSocketTask> task = connector_->makeTask(*url);
    {
      std::lock_guard guard(mutex_);
      task_ = task;
      peer_.reset();
      closed_ = false;
    }
    task->resume();
    arm(task);
    return true;
  }

  // Runs one script command; false to end the program.
  bool run(const ScriptCommand& command) {
    if (std::holds_alternative<Quit>(command)) return false;
    if (std::holds_alternative<Skip>(command)) return true;
    if (auto* sleep = std::get_if<Sleep>(&command)) {
      std::this_thread::sleep_for(sleep->duration);
      return true;
    }
    if (auto* wait = std::get_if<Wait>(&command)) {
      std::unique_lock guard(mutex_);
      bool seen = changed_.wait_for(guard, wait->timeout, [&] {
        return counts_[wait->type] > marks_[wait->type];
      });
      if (!seen) print({{"cvlview", "error"}, {"error", "timed out waiting for " + wait->type}});
      return true;
    }
    // Everything else is sent; sealed things wait for keys.
    std::unique_lock guard(mutex_);
    marks_ = counts_;
    if (!std::holds_alternative<SendRaw>(command)) {
      if (!changed_.wait_for(guard, 60s, [&] { return peer_ && peer_->keyed(); })) {
        print({{"cvlview", "error"}, {"error", "not keyed"}});
        return true;
      }
    }
    Bytes message;
    try {
      if (auto* send = std::get_if<SendJson>(&command)) {
        message = peer_->sealJson(send->message);
      } else if (auto* input = std::get_if<SendInput>(&command)) {
        Bytes frame;
        switch (input->channel) {
          case SendInput::Channel::state: frame = writer_.state(input->event); break;
          case SendInput::Channel::events: frame = writer_.event(input->event); break;
          case SendInput::Channel::snapshot: frame = writer_.snapshot(input->event); break;
        }
        message = peer_->sealInput(frame);
      } else if (auto* sealed = std::get_if<SendSealed>(&command)) {
        message = peer_->sealRaw(sealed->plaintext);
      } else {
        message = std::get<SendRaw>(command).message;
      }
    } catch (const std::exception& e) {
      print({{"cvlview", "error"}, {"error", e.what()}});
      return true;
    }
    auto task = task_;
    guard.unlock();
    if (task) task->send(WebSocketMessage::binary(std::move(message)), nullptr);
    return true;
  }

  // Waits until the connection is gone for good.
  void waitClosed() {
    std::unique_lock guard(mutex_);
    changed_.wait(guard, [&] { return closed_ && !options_.reconnect; });
  }

 private:
  void arm(const std::shared_ptr<WebSocketTask>& task) {
    task->receive([this, task](WebSocketReceived received) { onReceived(task, std::move(received)); });
  }

  void onReceived(const std::shared_ptr<WebSocketTask>& task, WebSocketReceived received) {
    if (!received.ok()) {
      print({{"cvlview", "closed"}, {"error", received.error->description}});
      {
        std::lock_guard guard(mutex_);
        if (task_ != task) return;
        task_.reset();
        peer_.reset();
        closed_ = true;
      }
      changed_.notify_all();
      if (options_.reconnect) {
        std::thread([this] {
          std::this_thread::sleep_for(RECONNECT_DELAY);
          connect();
        }).detach();
      }
      return;
    }
    if (received.message.kind == WebSocketMessage::Kind::text) {
      onNotice(task, json::parse(received.message.data, nullptr, false));
    } else {
      onClientMessage(task, received.message.data);
    }
    arm(task);
  }

  void onNotice(const std::shared_ptr<WebSocketTask>& task, const json& notice) {
    if (!notice.is_object()) return;
    std::string t = notice.value("t", "");
    json line = notice;
    line.erase("t");
    line["cvlview"] = t;
    print(line);
    if (t == "host-online") {
      // A host that (re)joins has a fresh record for us: agree keys afresh.
      Bytes hello;
      {
        std::lock_guard guard(mutex_);
        peer_ = std::make_unique<ViewerPeer>();
        writer_ = InputFrameWriter();
        hello = peer_->hello();
      }
      task->send(WebSocketMessage::binary(std::move(hello)), nullptr);
    } else if (t == "host-offline") {
      std::lock_guard guard(mutex_);
      peer_.reset();
    }
  }

  void onClientMessage(const std::shared_ptr<WebSocketTask>&, const Bytes& message) {
    std::optional<json> opened;
    std::string phrase;
    {
      std::lock_guard guard(mutex_);
      if (!peer_) return;
      bool wasKeyed = peer_->keyed();
      try {
        opened = peer_->receive(message);
      } catch (const std::exception& e) {
        print({{"cvlview", "error"}, {"error", std::string("key agreement: ") + e.what()}});
        return;
      }
      if (!wasKeyed && peer_->keyed()) phrase = peer_->phrase().shortForm();
    }
    if (!phrase.empty()) {
      {
        std::lock_guard guard(mutex_);
        ++counts_["keyed"];
      }
      Log::line("[cvlview] E2E phrase:", phrase);
      print({{"cvlview", "keyed"}, {"phrase", phrase}});
      changed_.notify_all();
    }
    if (!opened) return;
    std::string type = opened->value("type", "");
    if (type == "frame") {
      print(frameSummary(*opened));
    } else {
      print(*opened);
    }
    {
      std::lock_guard guard(mutex_);
      ++counts_[type];
    }
    changed_.notify_all();
  }

  json frameSummary(const json& frame) {
    json line = {{"type", "frame"}, {"w", frame.value("w", 0)}, {"h", frame.value("h", 0)}};
    auto data = frame.contains("data") && frame["data"].is_string()
                    ? Base64::decode(frame["data"].get<std::string>())
                    : std::nullopt;
    if (!data) {
      line["decoded"] = false;
      return line;
    }
    line["bytes"] = data->size();
    auto info = decodeJpeg(*data);
    line["decoded"] = info.has_value();
    if (info) {
      line["jpegW"] = info->width;
      line["jpegH"] = info->height;
    }
    long n = ++frames_;
    if (!options_.framesDir.empty() && (options_.frameLimit == 0 || n <= options_.frameLimit)) {
      char name[32];
      std::snprintf(name, sizeof name, "frame-%06ld.jpg", n);
      std::string path = options_.framesDir + "/" + name;
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char*>(data->data()), static_cast<std::streamsize>(data->size()));
      line["file"] = path;
    }
    return line;
  }

  void print(const json& line) {
    std::string text = line.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    std::lock_guard guard(printMutex_);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }

  Options options_;
  std::shared_ptr<WebSocketConnector> connector_;
  std::mutex printMutex_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::shared_ptr<WebSocketTask> task_;
  std::unique_ptr<ViewerPeer> peer_;
  InputFrameWriter writer_;
  std::map<std::string, long> counts_;
  std::map<std::string, long> marks_;
  long frames_ = 0;
  bool closed_ = false;
};

int main(int argc, char** argv) {
  Options options;
  std::string relay, device, token, role;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n%s", arg.c_str(), USAGE);
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--url") options.url = value();
    else if (arg == "--relay") relay = value();
    else if (arg == "--device") device = value();
    else if (arg == "--token") token = value();
    else if (arg == "--role") role = value();
    else if (arg == "--frames") options.framesDir = value();
    else if (arg == "--frame-limit") options.frameLimit = std::stol(value());
    else if (arg == "--reconnect") options.reconnect = true;
    else if (arg == "-h" || arg == "--help") {
      std::fputs(USAGE, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "unknown argument %s\n%s", arg.c_str(), USAGE);
      return 2;
    }
  }
  if (options.url.empty()) {
    if (relay.empty() || device.empty() || token.empty()) {
      std::fputs(USAGE, stderr);
      return 2;
    }
    auto queryValue = [](const std::string& value) {
      return url::percentEncode(value, url::QUERY_VALUE_ALLOWED);
    };
    options.url = DialUrl::baseUrl(relay) + "/view?deviceId=" + queryValue(device) +
                  "&token=" + queryValue(token);
    if (!role.empty()) options.url += "&role=" + queryValue(role);
  }
  if (!options.framesDir.empty()) std::filesystem::create_directories(options.framesDir);

  auto viewer = std::make_shared<Viewer>(options);
  if (!viewer->connect()) return 2;

  std::string line;
  while (std::getline(std::cin, line)) {
    auto parsed = parseScriptLine(line);
    if (auto* error = std::get_if<std::string>(&parsed)) {
      Log::line("[cvlview]", *error);
      continue;
    }
    if (!viewer->run(std::get<ScriptCommand>(parsed))) {
      std::fflush(stdout);
      std::_Exit(0);
    }
  }
  // Without more commands, keep watching until the connection ends.
  viewer->waitClosed();
  std::fflush(stdout);
  std::_Exit(1);
}

}  // namespace
}  // namespace cvl::view

int main(int argc, char** argv) { return cvl::view::main(argc, argv); }
