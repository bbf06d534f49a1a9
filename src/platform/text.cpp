#include "platform/text.h"

#include <cctype>
#include <cwchar>

namespace {

// Calls visit(position, length) for each character of text; an invalid or incomplete
// sequence counts as one single-byte character.
template <typename Visit>
void ForEachChar(std::string_view text, Visit visit) {
  std::mbstate_t state{};
  size_t pos = 0;
  while (pos < text.size()) {
    size_t len = std::mbrlen(text.data() + pos, text.size() - pos, &state);
    if (len == 0 || len == static_cast<size_t>(-1) || len == static_cast<size_t>(-2)) {
      state = std::mbstate_t{};
      len = 1;
    }
    if (!visit(pos, len)) return;
    pos += len;
  }
}

}  // namespace

void LowerCaseInPlace(std::string& text) {
  ForEachChar(text, [&](size_t pos, size_t len) {
    if (len == 1) {
      text[pos] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[pos])));
    }
    return true;
  });
}

size_t FindText(std::string_view text, std::string_view key) {
  size_t found = std::string::npos;
  ForEachChar(text, [&](size_t pos, size_t) {
    if (text.substr(pos, key.size()) == key) {
      found = pos;
      return false;
    }
    return true;
  });
  return found;
}

size_t FindLastChar(std::string_view text, char c) {
  size_t found = std::string::npos;
  ForEachChar(text, [&](size_t pos, size_t len) {
    if (len == 1 && text[pos] == c) found = pos;
    return true;
  });
  return found;
}

std::vector<std::string_view> SplitCharacters(std::string_view text) {
  std::vector<std::string_view> chars;
  ForEachChar(text, [&](size_t pos, size_t len) {
    chars.push_back(text.substr(pos, len));
    return true;
  });
  return chars;
}
