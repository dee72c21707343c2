// Classifies arbitrary bytes as one received relay WebSocket message, then decodes what a
// control message says. Nothing may crash, hang or leak; a data frame must rebuild into the
// same bytes.
#include <algorithm>
#include <cstdlib>

#include "kit/fabric/relay_frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> message(data, size);
  auto result = cvl::classifyRelayMessage(message);
  if (!result) return 0;
  if (auto* control = std::get_if<cvl::ControlMessage>(&*result)) {
    if (!control->object.is_object()) std::abort();
    (void)cvl::decodeRelayControl(control->object);
    (void)cvl::controlFrame(control->object);
  } else {
    auto& client = std::get<cvl::ClientMessage>(*result);
    auto rebuilt = cvl::dataFrame(client.clientId, client.message, data[0]);
    if (rebuilt.size() != size || !std::equal(rebuilt.begin(), rebuilt.end(), data)) std::abort();
  }
  return 0;
}
