// Throughput of the digest and the cipher on buffers of a few sizes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "qel/crypto/BlowFish.h"
#include "qel/crypto/Hash.h"

namespace {

std::vector<unsigned char> data(std::size_t n) {
  std::vector<unsigned char> bytes(n);
  for (std::size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<unsigned char>(i * 131 + 7);
  }
  return bytes;
}

qel::CBlowFish makeCipher() {
  const unsigned char key[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                 0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5, 0x96, 0x87};
  return qel::CBlowFish(key, sizeof(key), qel::SBlock(0xfedcba98u, 0x76543210u));
}

void BM_MD5(benchmark::State& state) {
  const std::vector<unsigned char> in = data(static_cast<std::size_t>(state.range(0)));
  qel::CMD5 md5;
  for (auto _ : state) {
    md5.init();
    md5.update(in.data(), static_cast<unsigned int>(in.size()));
    md5.finish();
    benchmark::DoNotOptimize(md5.getResult()[0]);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_MD5)->Arg(64)->Arg(1024)->Arg(1 << 20);

template <bool kEncrypt, int kMode>
void BM_BlowFish(benchmark::State& state) {
  const std::vector<unsigned char> in = data(static_cast<std::size_t>(state.range(0)));
  std::vector<unsigned char> out(in.size());
  qel::CBlowFish cipher = makeCipher();
  for (auto _ : state) {
    if (kEncrypt) {
      cipher.encrypt(in.data(), out.data(), static_cast<unsigned int>(in.size()), kMode);
    } else {
      cipher.decrypt(in.data(), out.data(), static_cast<unsigned int>(in.size()), kMode);
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK_TEMPLATE(BM_BlowFish, true, qel::CBlowFish::CBC)
    ->Name("BM_BlowFish_CBC_Encrypt")
    ->Arg(1024)
    ->Arg(1 << 20);
BENCHMARK_TEMPLATE(BM_BlowFish, false, qel::CBlowFish::CBC)
    ->Name("BM_BlowFish_CBC_Decrypt")
    ->Arg(1024)
    ->Arg(1 << 20);
BENCHMARK_TEMPLATE(BM_BlowFish, true, qel::CBlowFish::ECB)
    ->Name("BM_BlowFish_ECB_Encrypt")
    ->Arg(1 << 20);
BENCHMARK_TEMPLATE(BM_BlowFish, false, qel::CBlowFish::ECB)
    ->Name("BM_BlowFish_ECB_Decrypt")
    ->Arg(1 << 20);
BENCHMARK_TEMPLATE(BM_BlowFish, true, qel::CBlowFish::CFB)
    ->Name("BM_BlowFish_CFB_Encrypt")
    ->Arg(1 << 20);
BENCHMARK_TEMPLATE(BM_BlowFish, false, qel::CBlowFish::CFB)
    ->Name("BM_BlowFish_CFB_Decrypt")
    ->Arg(1 << 20);

void BM_KeySetup(benchmark::State& state) {
  for (auto _ : state) {
    qel::CBlowFish cipher = makeCipher();
    benchmark::DoNotOptimize(&cipher);
  }
}
BENCHMARK(BM_KeySetup);

void BM_EncodeValue(benchmark::State& state) {
  qel::CBlowFish cipher = makeCipher();
  const std::string value(static_cast<std::size_t>(state.range(0)), 'v');
  for (auto _ : state) {
    benchmark::DoNotOptimize(cipher.encodeValue(value));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_EncodeValue)->Arg(32)->Arg(4096);

void BM_DecodeValue(benchmark::State& state) {
  qel::CBlowFish cipher = makeCipher();
  const std::string text =
      cipher.encodeValue(std::string(static_cast<std::size_t>(state.range(0)), 'v'));
  for (auto _ : state) {
    benchmark::DoNotOptimize(cipher.decodeValue(text));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_DecodeValue)->Arg(32)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
