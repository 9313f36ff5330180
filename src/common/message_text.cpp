#include "common/message_text.h"

namespace quorvin {

std::string quoted_for_message(std::string_view text, size_t max_length) {
  static const char hex[] = "0123456789abcdef";
  std::string shown = "\"";
  for (size_t i = 0; i < text.size() && i < max_length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      shown += static_cast<char>(c);
    } else {
      shown += "\\x";
      shown += hex[c >> 4];
      shown += hex[c & 15];
    }
  }
  shown += '"';
  if (text.size() > max_length) shown += "...";
  return shown;
}

}  // namespace quorvin
