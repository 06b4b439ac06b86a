// MD5 and Blowfish against OpenSSL's libcrypto, and the hex value encoding
// against the same cipher with hand-written hex.  Each pair does the same
// work on the same bytes; the outputs are compared once before timing.
#include <benchmark/benchmark.h>

// The low-level MD5 and Blowfish interfaces are deprecated in OpenSSL 3 but
// remain its fastest documented way to run them on memory buffers.
#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <openssl/blowfish.h>
#include <openssl/md5.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "qel/crypto/BlowFish.h"
#include "qel/crypto/Hash.h"

namespace {

using qelbench::require;

const unsigned char kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                0xf0, 0xe1, 0xd2, 0xc3, 0xb4, 0xa5, 0x96, 0x87};
// The initial vector as a block (two big-endian words) and as bytes.
const qel::SBlock kIvBlock(0xfedcba98u, 0x76543210u);
const unsigned char kIvBytes[8] = {0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};

std::size_t bufferSize() {
  return qelbench::scaled(16 * 1024, 1024);
}

std::vector<unsigned char> pattern(std::size_t n) {
  std::vector<unsigned char> bytes(n);
  for (std::size_t i = 0; i < n; ++i) {
    bytes[i] = static_cast<unsigned char>(i * 131 + 7);
  }
  return bytes;
}

qel::CBlowFish qelCipher() {
  return qel::CBlowFish(kKey, sizeof(kKey), kIvBlock);
}

BF_KEY opensslKey() {
  BF_KEY key;
  BF_set_key(&key, sizeof(kKey), kKey);
  return key;
}

void setBytes(benchmark::State& state, std::size_t perIteration) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(perIteration));
}

// ---------------------------------------------------------------- MD5

void qelDigest(qel::CMD5& md5, const std::vector<unsigned char>& in) {
  md5.init();
  md5.update(in.data(), static_cast<unsigned int>(in.size()));
  md5.finish();
}

void opensslDigest(const std::vector<unsigned char>& in, unsigned char* digest) {
  MD5_CTX context;
  MD5_Init(&context);
  MD5_Update(&context, in.data(), in.size());
  MD5_Final(digest, &context);
}

void checkDigests(const std::vector<unsigned char>& in) {
  qel::CMD5 md5;
  qelDigest(md5, in);
  unsigned char digest[MD5_DIGEST_LENGTH];
  opensslDigest(in, digest);
  require(std::memcmp(md5.getResult(), digest, sizeof(digest)) == 0, "MD5 digests differ");
}

void md5Qel(benchmark::State& state, std::size_t size) {
  const std::vector<unsigned char> in = pattern(size);
  checkDigests(in);
  qel::CMD5 md5;
  for (auto _ : state) {
    qelDigest(md5, in);
    benchmark::DoNotOptimize(md5.getResult());
    benchmark::ClobberMemory();
  }
  setBytes(state, size);
}

void md5OpenSsl(benchmark::State& state, std::size_t size) {
  const std::vector<unsigned char> in = pattern(size);
  checkDigests(in);
  unsigned char digest[MD5_DIGEST_LENGTH];
  for (auto _ : state) {
    opensslDigest(in, digest);
    benchmark::DoNotOptimize(digest);
    benchmark::ClobberMemory();
  }
  setBytes(state, size);
}

void md5_16k_qel(benchmark::State& state) {
  md5Qel(state, bufferSize());
}
void md5_16k_openssl(benchmark::State& state) {
  md5OpenSsl(state, bufferSize());
}
void md5_64_qel(benchmark::State& state) {
  md5Qel(state, 64);
}
void md5_64_openssl(benchmark::State& state) {
  md5OpenSsl(state, 64);
}
BENCHMARK(md5_16k_qel)->Name("md5_16k/qel");
BENCHMARK(md5_16k_openssl)->Name("md5_16k/openssl");
BENCHMARK(md5_64_qel)->Name("md5_64/qel");
BENCHMARK(md5_64_openssl)->Name("md5_64/openssl");

// ---------------------------------------------------------------- Blowfish

enum class Job { CbcEncrypt, CbcDecrypt, EcbEncrypt, EcbDecrypt };

void runQel(qel::CBlowFish& cipher, Job job, const unsigned char* in, unsigned char* out,
            std::size_t n) {
  const auto length = static_cast<unsigned int>(n);
  switch (job) {
    case Job::CbcEncrypt:
      cipher.encrypt(in, out, length, qel::CBlowFish::CBC);
      break;
    case Job::CbcDecrypt:
      cipher.decrypt(in, out, length, qel::CBlowFish::CBC);
      break;
    case Job::EcbEncrypt:
      cipher.encrypt(in, out, length, qel::CBlowFish::ECB);
      break;
    case Job::EcbDecrypt:
      cipher.decrypt(in, out, length, qel::CBlowFish::ECB);
      break;
  }
}

// OpenSSL has a buffer call for CBC; ECB is documented block by block.
void runOpenSsl(const BF_KEY& key, Job job, const unsigned char* in, unsigned char* out,
                std::size_t n) {
  unsigned char iv[8];
  switch (job) {
    case Job::CbcEncrypt:
    case Job::CbcDecrypt:
      std::memcpy(iv, kIvBytes, sizeof(iv));
      BF_cbc_encrypt(in, out, static_cast<long>(n), &key, iv,
                     job == Job::CbcEncrypt ? BF_ENCRYPT : BF_DECRYPT);
      break;
    case Job::EcbEncrypt:
    case Job::EcbDecrypt:
      for (std::size_t i = 0; i < n; i += 8) {
        BF_ecb_encrypt(in + i, out + i, &key, job == Job::EcbEncrypt ? BF_ENCRYPT : BF_DECRYPT);
      }
      break;
  }
}

void checkCipher(Job job, const std::vector<unsigned char>& in) {
  qel::CBlowFish cipher = qelCipher();
  const BF_KEY key = opensslKey();
  std::vector<unsigned char> a(in.size());
  std::vector<unsigned char> b(in.size());
  runQel(cipher, job, in.data(), a.data(), in.size());
  runOpenSsl(key, job, in.data(), b.data(), in.size());
  require(a == b, "Blowfish outputs differ");
}

void bfQel(benchmark::State& state, Job job) {
  const std::vector<unsigned char> in = pattern(bufferSize());
  checkCipher(job, in);
  std::vector<unsigned char> out(in.size());
  qel::CBlowFish cipher = qelCipher();
  for (auto _ : state) {
    runQel(cipher, job, in.data(), out.data(), in.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  setBytes(state, in.size());
}

void bfOpenSsl(benchmark::State& state, Job job) {
  const std::vector<unsigned char> in = pattern(bufferSize());
  checkCipher(job, in);
  std::vector<unsigned char> out(in.size());
  const BF_KEY key = opensslKey();
  for (auto _ : state) {
    runOpenSsl(key, job, in.data(), out.data(), in.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  setBytes(state, in.size());
}

BENCHMARK_CAPTURE(bfQel, cbc_enc, Job::CbcEncrypt)->Name("bf_cbc_enc_16k/qel");
BENCHMARK_CAPTURE(bfOpenSsl, cbc_enc, Job::CbcEncrypt)->Name("bf_cbc_enc_16k/openssl");
BENCHMARK_CAPTURE(bfQel, cbc_dec, Job::CbcDecrypt)->Name("bf_cbc_dec_16k/qel");
BENCHMARK_CAPTURE(bfOpenSsl, cbc_dec, Job::CbcDecrypt)->Name("bf_cbc_dec_16k/openssl");
BENCHMARK_CAPTURE(bfQel, ecb_enc, Job::EcbEncrypt)->Name("bf_ecb_enc_16k/qel");
BENCHMARK_CAPTURE(bfOpenSsl, ecb_enc, Job::EcbEncrypt)->Name("bf_ecb_enc_16k/openssl");
BENCHMARK_CAPTURE(bfQel, ecb_dec, Job::EcbDecrypt)->Name("bf_ecb_dec_16k/qel");
BENCHMARK_CAPTURE(bfOpenSsl, ecb_dec, Job::EcbDecrypt)->Name("bf_ecb_dec_16k/openssl");

// ---------------------------------------------------------------- values

// Short values stay on the stack, as a careful hand-written version would
// keep them.
class Scratch {
 public:
  explicit Scratch(std::size_t n) {
    if (n > sizeof(_local)) {
      _heap.resize(n);
    }
  }
  unsigned char* data() { return _heap.empty() ? _local : _heap.data(); }
  unsigned char& operator[](std::size_t i) { return data()[i]; }

 private:
  unsigned char _local[512];
  std::vector<unsigned char> _heap;
};

// The same value encoding written by hand on OpenSSL: pad with 1 to 8
// spaces to whole blocks, CBC-encipher, lowercase hex; and back, dropping
// the trailing spaces and every NUL byte.
std::string opensslEncode(const BF_KEY& key, const std::string& value) {
  static const char kDigits[] = "0123456789abcdef";
  const std::size_t padded = (value.size() / 8 + 1) * 8;
  Scratch bytes(padded);
  std::memset(bytes.data(), ' ', padded);
  std::memcpy(bytes.data(), value.data(), value.size());
  unsigned char iv[8];
  std::memcpy(iv, kIvBytes, sizeof(iv));
  BF_cbc_encrypt(bytes.data(), bytes.data(), static_cast<long>(padded), &key, iv, BF_ENCRYPT);
  std::string text(2 * padded, '\0');
  for (std::size_t i = 0; i < padded; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
  }
  return text;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return 0;
}

std::string opensslDecode(const BF_KEY& key, const std::string& text) {
  const std::size_t count = text.size() / 2;
  Scratch bytes(count);
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<unsigned char>(hexValue(text[2 * i]) << 4 | hexValue(text[2 * i + 1]));
  }
  unsigned char iv[8];
  std::memcpy(iv, kIvBytes, sizeof(iv));
  BF_cbc_encrypt(bytes.data(), bytes.data(), static_cast<long>(count), &key, iv, BF_DECRYPT);
  std::size_t end = count;
  while (end > 0 && bytes[end - 1] == ' ') {
    --end;
  }
  std::string value;
  value.reserve(end);
  for (std::size_t i = 0; i < end; ++i) {
    if (bytes[i] != 0) {
      value.push_back(static_cast<char>(bytes[i]));
    }
  }
  return value;
}

const std::string& sampleValue() {
  static const std::string value = "user.name@example.org/42";  // 24 bytes
  return value;
}

void checkValues() {
  qel::CBlowFish cipher = qelCipher();
  const BF_KEY key = opensslKey();
  const std::string& value = sampleValue();
  require(value.size() == 24, "the sample value is 24 bytes");
  const std::string qelText = cipher.encodeValue(value);
  require(qelText == opensslEncode(key, value), "encoded values differ");
  require(cipher.decodeValue(qelText) == value, "QelCore value does not decode back");
  require(opensslDecode(key, qelText) == value, "OpenSSL value does not decode back");
}

void value_24_qel(benchmark::State& state) {
  checkValues();
  qel::CBlowFish cipher = qelCipher();
  const std::string value = sampleValue();
  for (auto _ : state) {
    std::string text = cipher.encodeValue(value);
    benchmark::DoNotOptimize(text.data());
    std::string back = cipher.decodeValue(text);
    benchmark::DoNotOptimize(back.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void value_24_openssl(benchmark::State& state) {
  checkValues();
  const BF_KEY key = opensslKey();
  const std::string value = sampleValue();
  for (auto _ : state) {
    std::string text = opensslEncode(key, value);
    benchmark::DoNotOptimize(text.data());
    std::string back = opensslDecode(key, text);
    benchmark::DoNotOptimize(back.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(value_24_qel)->Name("value_24/qel");
BENCHMARK(value_24_openssl)->Name("value_24/openssl");

}  // namespace

BENCHMARK_MAIN();
