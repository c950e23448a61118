// Cost of the frame codec and of handling one complete incoming frame.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "link/frame.h"
#include "link/rx_path.h"

namespace {

using tarvo::link::Bytes;

// A long PLU record's size, with a few DLE bytes to be doubled.
Bytes PluSizedBody() {
  Bytes body(77, '\0');
  body[0] = static_cast<char>(0x80);
  for (std::size_t i = 1; i < body.size(); ++i) body[i] = static_cast<char>((i * 7) & 0xFF);
  return body;
}

void BM_BuildFrame77(benchmark::State& state) {
  const Bytes body = PluSizedBody();
  for (auto _ : state) {
    Bytes frame = tarvo::link::BuildFrame(body);
    benchmark::DoNotOptimize(frame);
  }
}
BENCHMARK(BM_BuildFrame77);

// An entry whose port always holds one complete frame.
class BenchEntry final : public tarvo::link::RxEntryContext {
 public:
  explicit BenchEntry(Bytes frame) : frame_(std::move(frame)) {}
  std::string& Buffer() override { return buffer_; }
  std::int32_t RxAge() override { return age_; }
  void SetRxAge(std::int32_t age) override { age_ = age; }
  void SetAcked(std::uint8_t) override {}
  std::uint8_t AwaitAck() override { return 0; }
  void SetAwaitAck(std::uint8_t) override {}
  std::string LastFrame() override { return {}; }
  std::string Receive(std::int32_t) override { return frame_; }
  void Transmit(std::string_view bytes) override { benchmark::DoNotOptimize(bytes.data()); }
  void Log(char, std::string_view) override {}
  void Enqueue(std::string message) override { last_ = std::move(message); }
  const std::string& last() const { return last_; }

 private:
  Bytes frame_;
  std::string buffer_;
  std::string last_;
  std::int32_t age_ = 0;
};

void BM_HandleNotifyFrame100(benchmark::State& state) {
  // 95 body bytes without a DLE: DLE STX + 95 + DLE ETX + checksum = 100.
  Bytes body(95, '\0');
  body[0] = static_cast<char>(0x83);
  for (std::size_t i = 1; i < body.size(); ++i) body[i] = static_cast<char>(0x20 + i % 0x50);
  const Bytes frame = tarvo::link::BuildFrame(body);
  BenchEntry entry(frame);
  tarvo::link::RxPath rx;
  for (auto _ : state) {
    rx.HandleNotify(entry, 0, static_cast<std::int32_t>(frame.size()));
    benchmark::DoNotOptimize(entry.last().data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(frame.size()));
  if (entry.last().size() != body.size() + 1) state.SkipWithError("frame was not queued");
}
BENCHMARK(BM_HandleNotifyFrame100);

}  // namespace
