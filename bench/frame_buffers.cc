// The fan-out's per-frame buffers: building the "frame" plaintext (base64 of a 320 kB JPEG
// inside the JSON) and sealing it into the relay frame for one viewer, the way the fan-out does
// it now (fresh strings and vectors, zero-filled, copied) against writing each byte once into
// buffers kept from frame to frame. Compare the two CPU times of one run.

#include <benchmark/benchmark.h>

#include <string>

#include "kit/base/base64.h"
#include "kit/base/reusable_buffer.h"
#include "kit/e2e/channel.h"
#include "kit/e2e/envelope.h"
#include "kit/fabric/frame_message.h"
#include "kit/fabric/relay_frame.h"
#include "tests/e2e/e2e_test_support.h"

namespace {

using namespace cvl;

Bytes sampleJpeg() {
  Bytes jpeg(320 * 1024);
  for (size_t i = 0; i < jpeg.size(); ++i) jpeg[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
  return jpeg;
}

std::shared_ptr<Channel> channel() {
  std::array<uint8_t, 32> k;
  k.fill(5);
  return ChannelTestAccess::make(k, k);
}

// As broadcastFrame and sealAndSendNow do it today: the plaintext once, a sealed frame per
// viewer.
void BM_PresentFramePath(benchmark::State& state) {
  Bytes jpeg = sampleJpeg();
  auto chan = channel();
  const int viewers = static_cast<int>(state.range(0));
  for (auto _ : state) {
    std::string text;
    text.reserve((jpeg.size() + 2) / 3 * 4 + 64);
    text.push_back(static_cast<char>(FabricKind::text));
    text.append(R"({"data":")");
    Base64::encodeAppend(jpeg, text);
    text.append(R"(","h":1080,"type":"frame","w":1920})");
    auto plaintext = std::make_shared<const Bytes>(text.begin(), text.end());
    for (int v = 0; v < viewers; ++v) {
    Envelope envelope = chan->seal(*plaintext);
    Bytes frame;
    frame.reserve(6 + ENVELOPE_COUNTER_SIZE + envelope.c.size());
    frame.push_back(RelayOp::dataBin);
    appendU32BE(frame, 7);
    frame.push_back(FabricTag::sealed);
    for (int i = 7; i >= 0; --i) frame.push_back(static_cast<uint8_t>(envelope.n >> (8 * i)));
    frame.insert(frame.end(), envelope.c.begin(), envelope.c.end());
    benchmark::DoNotOptimize(frame.data());
    }
  }
}

void BM_ReusedFramePath(benchmark::State& state) {
  Bytes jpeg = sampleJpeg();
  auto chan = channel();
  const int viewers = static_cast<int>(state.range(0));
  ReusableBuffer plaintext;
  std::vector<ReusableBuffer> frames(static_cast<size_t>(viewers));
  for (auto _ : state) {
    writeFramePlaintext(jpeg, 1920, 1080, plaintext);
    for (auto& frame : frames) {
      writeSealedRelayFrame(*chan, 7, plaintext.bytes(), frame);
      benchmark::DoNotOptimize(frame.data());
    }
  }
}

}  // namespace

BENCHMARK(BM_PresentFramePath)->Arg(1)->Arg(16)->ArgNames({"viewers"})->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReusedFramePath)->Arg(1)->Arg(16)->ArgNames({"viewers"})->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
