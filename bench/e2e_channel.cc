// Cost of the end-to-end layer per message: sealing a frame-sized plaintext into a relay frame,
// opening it, and one key agreement. BM_CopyBaseline copies the same bytes once, so the ratio
// shows what the cipher adds over the copies a send needs anyway.
#include <benchmark/benchmark.h>

#include <cstring>

#include "kit/e2e/handshake.h"
#include "kit/fabric/relay_frame.h"

namespace {

struct Keyed {
  cvl::Handshake viewer{cvl::E2ERole::initiator};
  cvl::Handshake host{cvl::E2ERole::responder};
  std::shared_ptr<cvl::Channel> toViewer = host.complete(viewer.publicKey());
  std::shared_ptr<cvl::Channel> toHost = viewer.complete(host.publicKey());
};

void BM_CopyBaseline(benchmark::State& state) {
  const cvl::Bytes plain(state.range(0), 0x5A);
  for (auto _ : state) {
    cvl::Bytes copy(plain.size());
    std::memcpy(copy.data(), plain.data(), plain.size());
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_SealToRelayFrame(benchmark::State& state) {
  Keyed keyed;
  const cvl::Bytes plain(state.range(0), 0x5A);
  for (auto _ : state) {
    auto frame = cvl::frameToClient(7, cvl::FabricTag::sealed,
                                    cvl::encodeEnvelope(keyed.toViewer->seal(plain)));
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_OpenFromRelayFrame(benchmark::State& state) {
  Keyed keyed;
  const cvl::Bytes plain(state.range(0), 0x5A);
  std::vector<cvl::Bytes> frames;
  for (int i = 0; i < 64; ++i) {
    frames.push_back(cvl::frameToClient(1, cvl::FabricTag::sealed,
                                        cvl::encodeEnvelope(keyed.toHost->seal(plain))));
  }
  size_t next = 0;
  for (auto _ : state) {
    if (next == frames.size()) {
      // Fresh envelopes with higher counters, outside the measurement.
      state.PauseTiming();
      for (auto& f : frames) {
        f = cvl::frameToClient(1, cvl::FabricTag::sealed,
                               cvl::encodeEnvelope(keyed.toHost->seal(plain)));
      }
      next = 0;
      state.ResumeTiming();
    }
    auto message = cvl::classifyRelayMessage(frames[next++]);
    const auto& client = std::get<cvl::ClientMessage>(*message);
    auto opened = keyed.toViewer->open(
        cvl::decodeEnvelope(std::span<const uint8_t>(client.message).subspan(1)));
    if (!opened) state.SkipWithError("did not open");
    benchmark::DoNotOptimize(opened->data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_HandshakeComplete(benchmark::State& state) {
  const cvl::Handshake viewer(cvl::E2ERole::initiator);
  for (auto _ : state) {
    cvl::Handshake host(cvl::E2ERole::responder);
    benchmark::DoNotOptimize(host.complete(viewer.publicKey()));
  }
}

BENCHMARK(BM_CopyBaseline)->Arg(1024)->Arg(128 * 1024);
BENCHMARK(BM_SealToRelayFrame)->Arg(1024)->Arg(128 * 1024);
BENCHMARK(BM_OpenFromRelayFrame)->Arg(1024)->Arg(128 * 1024);
BENCHMARK(BM_HandshakeComplete);

}  // namespace

BENCHMARK_MAIN();
