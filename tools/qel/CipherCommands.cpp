// encode, decode and md5: the value cipher and file digests.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <vector>

#include "Commands.h"
#include "Common.h"
#include "Progress.h"
#include "TextForms.h"
#include "qel/core/BinaryText.h"
#include "qel/crypto/BlowFish.h"
#include "qel/crypto/Hash.h"

namespace qeltool {

namespace {

qel::CBlowFish makeCipher(const CipherOptions& options) {
  std::string key = options.key;
  if (!options.keyHex.empty() && !qel::fromHex(options.keyHex, key)) {
    throw UsageError("--key-hex: not an even number of hexadecimal digits");
  }
  if (key.empty()) {
    throw UsageError("a key is needed: --key TEXT or --key-hex HEX");
  }
  std::string iv(8, '\0');
  if (!options.iv.empty() && (!qel::fromHex(options.iv, iv) || iv.size() != 8)) {
    throw UsageError("--iv: 16 hexadecimal digits needed");
  }
  auto word = [&iv](std::size_t at) {
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      n = (n << 8) | static_cast<unsigned char>(iv[at + i]);
    }
    return n;
  };
  return qel::CBlowFish(reinterpret_cast<const unsigned char*>(key.data()),
                        static_cast<unsigned int>(key.size()), qel::SBlock(word(0), word(4)));
}

// The digest of what read hands on, piece by piece, to the consumer it is
// given; progress shows against total bytes (0: unknown).
std::string md5Of(
    const std::function<void(const std::function<void(const unsigned char*, std::size_t)>&)>& read,
    const std::string& name, std::uint64_t total) {
  qel::CMD5 md5;
  md5.init();
  Progress progress(name, total);
  std::uint64_t done = 0;
  read([&](const unsigned char* bytes, std::size_t count) {
    md5.update(bytes, static_cast<unsigned int>(count));
    done += count;
    progress.update(done);
  });
  md5.finish();
  return qel::toHex(md5.getResult(), md5.getSize());
}

void readStandardInput(const std::function<void(const unsigned char*, std::size_t)>& consume) {
  std::vector<char> block(1 << 16);
  while (std::cin) {
    std::cin.read(block.data(), static_cast<std::streamsize>(block.size()));
    const std::streamsize got = std::cin.gcount();
    if (got > 0) {
      consume(reinterpret_cast<const unsigned char*>(block.data()), static_cast<std::size_t>(got));
    }
  }
  if (std::cin.bad()) {
    throw std::runtime_error("read error");
  }
}

}  // namespace

int cmdEncode(const CipherOptions& options) {
  qel::CBlowFish cipher = makeCipher(options);
  std::cout << cipher.encodeValue(options.value) << "\n";
  return kExitOk;
}

int cmdDecode(const CipherOptions& options) {
  std::string bytes;
  if (!qel::fromHex(options.value, bytes) || bytes.empty() || bytes.size() % 8 != 0) {
    throw Failure("", "not an encoded value: a non-zero multiple of 16 hexadecimal digits needed");
  }
  qel::CBlowFish cipher = makeCipher(options);
  std::cout << cipher.decodeValue(options.value) << "\n";
  return kExitOk;
}

int cmdMd5(const std::vector<std::string>& files) {
  std::vector<std::string> names = files;
  if (names.empty()) {
    names.push_back("-");
  }
  int status = kExitOk;
  for (const std::string& name : names) {
    std::string digest;
    try {
      if (name == "-") {
        digest = md5Of(readStandardInput, "-", 0);
      } else {
        requireReadableFile(name);
        digest = md5Of([&name](const auto& consume) { readFileInPieces(name, consume); }, name,
                       fileSize(name));
      }
    } catch (const Failure& e) {
      std::cerr << "qel: " << e.what() << "\n";
      status = kExitFailure;
      continue;
    } catch (const std::exception& e) {
      std::cerr << "qel: " << name << ": " << e.what() << "\n";
      status = kExitFailure;
      continue;
    }
    // md5sum marks names holding a backslash or line feed with a leading
    // backslash and escapes them.
    if (name.find_first_of("\\\n") != std::string::npos) {
      std::string escaped;
      for (const char c : name) {
        escaped += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : std::string(1, c);
      }
      std::cout << "\\" << digest << "  " << escaped << "\n";
    } else {
      std::cout << digest << "  " << name << "\n";
    }
  }
  return status;
}

void registerCipherCommands(CLI::App& app, CommandTable& table) {
  auto cipher = std::make_shared<CipherOptions>();
  auto addCipher = [&cipher](CLI::App* command) {
    CLI::Option* key = command->add_option("--key", cipher->key, "key text");
    CLI::Option* keyHex = command->add_option("--key-hex", cipher->keyHex, "key in hexadecimal");
    key->excludes(keyHex);
    command->add_option("--iv", cipher->iv, "initial vector, 16 hexadecimal digits (default 0)");
    command->add_option("VALUE", cipher->value, "value")->required();
  };
  CLI::App* encode =
      app.add_subcommand("encode", "Encipher VALUE (Blowfish CBC) and print it as hexadecimal");
  addCipher(encode);
  table.add(encode, [cipher] { return cmdEncode(*cipher); });
  CLI::App* decode = app.add_subcommand("decode", "Decipher a hexadecimal VALUE made by encode");
  addCipher(decode);
  table.add(decode, [cipher] { return cmdDecode(*cipher); });

  auto files = std::make_shared<std::vector<std::string>>();
  CLI::App* md5 = app.add_subcommand(
      "md5", "Print MD5 digests in md5sum format (standard input for none or -)");
  md5->add_option("FILE", *files, "files");
  table.add(md5, [files] { return cmdMd5(*files); });
}

}  // namespace qeltool
