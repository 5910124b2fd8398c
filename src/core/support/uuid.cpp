#include "support/uuid.hpp"

#include <sys/types.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace lantrel {

bool isUUID(std::string_view text) {
  static constexpr auto hexDigit = [] {
    std::array<bool, 256> digits{};
    for (unsigned char c : std::string_view("0123456789abcdefABCDEF")) digits[c] = true;
    return digits;
  }();
  if (text.size() != 36) return false;
  bool valid = true;
  for (std::size_t i = 0; i < 36; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    valid &= i == 8 || i == 13 || i == 18 || i == 23 ? c == '-' : hexDigit[c];
  }
  return valid;
}

std::string randomUUID() {
  unsigned char bytes[16];
  if (::getentropy(bytes, sizeof bytes) != 0)
    throw std::system_error(errno, std::generic_category(), "cannot generate a UUID");
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(hex[bytes[i] >> 4]);
    text.push_back(hex[bytes[i] & 0x0F]);
  }
  return text;
}

}  // namespace lantrel
