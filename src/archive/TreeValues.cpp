// The typed getters: a text value parsed whole, or the fallback.

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>
#include <type_traits>

#include "qel/archive/Tree.h"

namespace qel::tree {

namespace {

// Decimal digits with a '-' in front for a signed type, nothing else, and
// no overflow.  Written out rather than std::from_chars, whose integer
// tables would be exported with the library.
template <typename T>
std::optional<T> parseWhole(const std::string& text) {
  const bool negative = std::is_signed_v<T> && !text.empty() && text[0] == '-';
  const std::size_t first = negative ? 1 : 0;
  if (text.size() == first) {
    return std::nullopt;
  }
  using Magnitude = std::make_unsigned_t<T>;
  const Magnitude limit = negative ? static_cast<Magnitude>(std::numeric_limits<T>::max()) + 1
                                   : static_cast<Magnitude>(std::numeric_limits<T>::max());
  Magnitude value = 0;
  for (std::size_t i = first; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    const auto digit = static_cast<Magnitude>(c - '0');
    if (value > (limit - digit) / 10) {
      return std::nullopt;
    }
    value = static_cast<Magnitude>(value * 10 + digit);
  }
  // The negation of the magnitude, as the two's complement a signed type is.
  return static_cast<T>(negative ? static_cast<Magnitude>(0 - value) : value);
}

template <>
std::optional<double> parseWhole<double>(const std::string& text) {
  double value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

template <typename T>
T getNumber(const CComposite& root, std::string_view path, T fallback) {
  const std::optional<std::string> text = getText(root, path);
  if (!text) {
    return fallback;
  }
  return parseWhole<T>(*text).value_or(fallback);
}

}  // namespace

template <>
bool get<bool>(const CComposite& root, std::string_view path, bool fallback) {
  const std::optional<std::string> text = getText(root, path);
  if (text == "1" || text == "true") {
    return true;
  }
  if (text == "0" || text == "false") {
    return false;
  }
  return fallback;
}

template <>
int get<int>(const CComposite& root, std::string_view path, int fallback) {
  return getNumber(root, path, fallback);
}

template <>
long get<long>(const CComposite& root, std::string_view path, long fallback) {
  return getNumber(root, path, fallback);
}

template <>
long long get<long long>(const CComposite& root, std::string_view path, long long fallback) {
  return getNumber(root, path, fallback);
}

template <>
unsigned get<unsigned>(const CComposite& root, std::string_view path, unsigned fallback) {
  return getNumber(root, path, fallback);
}

template <>
unsigned long get<unsigned long>(const CComposite& root, std::string_view path,
                                 unsigned long fallback) {
  return getNumber(root, path, fallback);
}

template <>
unsigned long long get<unsigned long long>(const CComposite& root, std::string_view path,
                                           unsigned long long fallback) {
  return getNumber(root, path, fallback);
}

template <>
double get<double>(const CComposite& root, std::string_view path, double fallback) {
  return getNumber(root, path, fallback);
}

template <>
std::string get<std::string>(const CComposite& root, std::string_view path, std::string fallback) {
  std::optional<std::string> text = getText(root, path);
  return text ? std::move(*text) : std::move(fallback);
}

}  // namespace qel::tree
