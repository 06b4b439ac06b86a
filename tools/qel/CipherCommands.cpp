// encode, decode and md5: the value cipher and file digests; the key
// options that get and set share.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
#include "qel/platform/ConsoleLogger.h"

namespace qeltool {

namespace {

// Drops one line feed (or carriage return and line feed) that ends text,
// as a key file written by an editor or echo has.
std::string withoutLineEnd(std::string text) {
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
    if (!text.empty() && text.back() == '\r') {
      text.pop_back();
    }
  }
  return text;
}

// The key bytes the options name.  The key never appears in a message.
std::string keyOf(const CipherOptions& options) {
  std::string key;
  if (!options.keyHex.empty()) {
    if (!qel::fromHex(options.keyHex, key) || options.keyHex.size() % 2 != 0) {
      throw UsageError("--key-hex: not an even number of hexadecimal digits");
    }
  } else if (!options.keyFile.empty()) {
    if (options.keyFile == "-") {
      key = withoutLineEnd(readAllStandardInput());
    } else {
      requireReadableFile(options.keyFile);
      key = withoutLineEnd(readWholeFile(options.keyFile));
    }
    if (key.empty()) {
      throw UsageError("--key-file " + options.keyFile + ": the key is empty");
    }
  } else if (!options.key.empty()) {
    key = options.key;
  } else if (const char* environment = std::getenv("QEL_KEY")) {
    key = environment;
  }
  if (key.empty()) {
    throw UsageError("a key is needed: --key-file FILE, QEL_KEY, --key TEXT or --key-hex HEX");
  }
  return key;
}

qel::CBlowFish makeCipher(const CipherOptions& options) {
  const std::string key = keyOf(options);
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

// The length of the UTF-8 sequence at text[at], 0 when none starts there.
std::size_t utf8SequenceAt(const std::string& text, std::size_t at) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  unsigned int low = 0x80;
  unsigned int high = 0xbf;
  if (lead < 0x80) {
    return 1;
  } else if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    low = lead == 0xe0 ? 0xa0 : 0x80;
    high = lead == 0xed ? 0x9f : 0xbf;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    low = lead == 0xf0 ? 0x90 : 0x80;
    high = lead == 0xf4 ? 0x8f : 0xbf;
  } else {
    return 0;
  }
  if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < 0x80 || byte(at + i) > 0xbf) {
      return 0;
    }
  }
  return length;
}

bool isPrintableByte(unsigned char c) {
  return c == '\t' || (c >= 0x20 && c != 0x7f);
}

// Whether text is UTF-8 without control characters other than tab.
bool isPrintableText(const std::string& text) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8SequenceAt(text, at);
    if (length == 0 || !isPrintableByte(static_cast<unsigned char>(text[at]))) {
      return false;
    }
    at += length;
  }
  return true;
}

// text with every byte outside printable UTF-8 as \xNN and '\' as "\\".
std::string escaped(const std::string& text) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8SequenceAt(text, at);
    const auto c = static_cast<unsigned char>(text[at]);
    if (c == '\\') {
      out += "\\\\";
    } else if (length != 0 && isPrintableByte(c)) {
      out.append(text, at, length);
      at += length;
      continue;
    } else {
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 0xf];
    }
    ++at;
  }
  return out;
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

std::string readAllStandardInput() {
  std::string text;
  readStandardInput([&text](const unsigned char* bytes, std::size_t count) {
    text.append(reinterpret_cast<const char*>(bytes), count);
  });
  return text;
}

void addKeyOptions(CLI::App& command, CipherOptions& options) {
  CLI::Option* key = command.add_option("--key", options.key, "key text (visible to other users)");
  CLI::Option* keyHex =
      command.add_option("--key-hex", options.keyHex, "key in hexadecimal (visible to others)");
  CLI::Option* keyFile = command.add_option(
      "--key-file", options.keyFile,
      "read the key from FILE (- for standard input), one line feed at its end dropped");
  key->excludes(keyHex)->excludes(keyFile);
  keyHex->excludes(keyFile);
  command.add_option("--iv", options.iv, "initial vector, 16 hexadecimal digits (default 0)");
}

std::string encipher(const CipherOptions& options, const std::string& plain) {
  qel::CBlowFish cipher = makeCipher(options);
  return cipher.encodeValue(plain);
}

int printDeciphered(const CipherOptions& options, const std::string& hex,
                    const std::string& where) {
  std::string bytes;
  if (!qel::fromHex(hex, bytes) || hex.size() % 2 != 0 || bytes.empty() || bytes.size() % 8 != 0) {
    throw Failure(where,
                  "not an encoded value: a non-zero multiple of 16 hexadecimal digits needed");
  }
  qel::CBlowFish cipher = makeCipher(options);
  const std::string plain = cipher.decodeValue(hex);
  if (options.raw) {
    writeOutput("-", plain);
    return kExitOk;
  }
  if (isPrintableText(plain)) {
    writeOutput("-", plain + "\n");
    return kExitOk;
  }
  writeOutput("-", (qel::standardOutputIsTerminal() ? escaped(plain) : plain) + "\n");
  std::cerr << "qel: " << (where.empty() ? std::string() : where + ": ")
            << "the deciphered value is not printable text (a wrong key?); --raw prints it as "
               "it is\n";
  return kExitFailure;
}

int cmdEncode(const CipherOptions& options) {
  const bool fromInput = options.value == "-";
  if (fromInput && options.keyFile == "-") {
    throw UsageError("standard input cannot give both the key and the value");
  }
  const std::string plain = fromInput ? withoutLineEnd(readAllStandardInput()) : options.value;
  writeOutput("-", encipher(options, plain) + "\n");
  return kExitOk;
}

int cmdDecode(const CipherOptions& options) {
  return printDeciphered(options, options.value, "");
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
  CLI::App* encode = app.add_subcommand(
      "encode", "Encipher VALUE (- reads it from standard input) and print it as hexadecimal");
  addKeyOptions(*encode, *cipher);
  encode->add_option("VALUE", cipher->value, "value, or - for standard input")->required();
  table.add(encode, [cipher] { return cmdEncode(*cipher); });
  CLI::App* decode = app.add_subcommand("decode", "Decipher a hexadecimal VALUE made by encode");
  addKeyOptions(*decode, *cipher);
  decode->add_option("VALUE", cipher->value, "hexadecimal value")->required();
  decode->add_flag("--raw", cipher->raw, "print the bytes as they are, without a line feed");
  table.add(decode, [cipher] { return cmdDecode(*cipher); });

  auto files = std::make_shared<std::vector<std::string>>();
  CLI::App* md5 = app.add_subcommand(
      "md5", "Print MD5 digests in md5sum format (standard input for none or -)");
  md5->add_option("FILE", *files, "files");
  table.add(md5, [files] { return cmdMd5(*files); });
}

}  // namespace qeltool
