// The reference relay's handling of untrusted input: upgrade targets, and frames from hosts and
// viewers in any order with joins and departures in between. The relay is a tool, not part of
// the kit; the fuzz target links its library.
#include <fcntl.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kit/diagnostics/log.h"
#include "tools/relay/relay_hub.h"
#include "tools/relay/relay_target.h"

namespace {

class FuzzPeer : public cvl::relay::RelayPeer {
 public:
  void sendBinary(cvl::Bytes message) override { backlog_ += message.size(); }
  void sendText(std::string message) override { backlog_ += message.size(); }
  void close(uint16_t, const std::string&) override { closed_ = true; }
  std::size_t backlog() const override { return backlog_; }
  std::size_t backlog_ = 0;
  bool closed_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The relay logs every join and departure; keep the run quiet and fast.
  static const bool quiet = (cvl::Log::setOutput(open("/dev/null", O_WRONLY | O_CLOEXEC)), true);
  (void)quiet;
  // Upgrade target: the whole input as text.
  auto target = cvl::relay::parseRelayTarget(
      std::string_view(reinterpret_cast<const char*>(data), size));
  (void)target;

  // Then the input as a script: op byte, length byte, payload.
  cvl::relay::RelayHub hub(0xFFFFFFFE);  // ids wrap around zero early
  std::vector<std::shared_ptr<FuzzPeer>> hosts;
  std::vector<uint32_t> viewers;
  const std::string devices[] = {"a", "b"};
  size_t at = 0;
  while (at + 2 <= size) {
    uint8_t op = data[at];
    size_t length = std::min<size_t>(data[at + 1], size - at - 2);
    const uint8_t* payload = data + at + 2;
    at += 2 + length;
    const std::string& device = devices[op & 1];
    switch ((op >> 1) % 6) {
      case 0:
        hosts.push_back(std::make_shared<FuzzPeer>());
        hub.hostJoined(device, hosts.back());
        break;
      case 1:
        if (!hosts.empty()) hub.hostLeft(device, hosts[length % hosts.size()].get(), "gone");
        break;
      case 2:
        if (!hosts.empty()) hub.fromHost(device, hosts[op % hosts.size()].get(), payload, length);
        break;
      case 3:
        viewers.push_back(hub.viewerJoined(device, "viewer", std::make_shared<FuzzPeer>()));
        break;
      case 4:
        if (!viewers.empty()) hub.viewerLeft(viewers[length % viewers.size()], "left");
        break;
      case 5:
        if (!viewers.empty()) {
          hub.fromViewer(viewers[op % viewers.size()], op & 0x80, payload, length);
        }
        break;
    }
  }
  return 0;
}
