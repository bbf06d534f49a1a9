// Pattern matching and textual path resolution of the platform layer.
#include <cctype>
#include <cwchar>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace {

// Splits text into its characters (multibyte sequences kept whole; an invalid byte is a
// character of its own).
std::vector<std::string_view> Characters(std::string_view text) {
  std::vector<std::string_view> chars;
  std::mbstate_t state{};
  size_t pos = 0;
  while (pos < text.size()) {
    size_t len = std::mbrlen(text.data() + pos, text.size() - pos, &state);
    if (len == 0 || len == static_cast<size_t>(-1) || len == static_cast<size_t>(-2)) {
      state = std::mbstate_t{};
      len = 1;
    }
    chars.push_back(text.substr(pos, len));
    pos += len;
  }
  return chars;
}

bool SameCharacter(std::string_view a, std::string_view b) {
  if (a.size() == 1 && b.size() == 1) {
    return std::tolower(static_cast<unsigned char>(a[0])) ==
           std::tolower(static_cast<unsigned char>(b[0]));
  }
  return a == b;
}

}  // namespace

bool MatchesPattern(const std::string& pattern, const std::string& name) {
  if (pattern == "*.*") return true;  // every name, also those without a dot
  std::vector<std::string_view> p = Characters(pattern);
  std::vector<std::string_view> n = Characters(name);
  // Greedy matching with one backtrack point: the last '*' seen.
  size_t pi = 0, ni = 0, starP = std::string::npos, starN = 0;
  while (ni < n.size()) {
    if (pi < p.size() && p[pi] == "*") {
      starP = pi++;
      starN = ni;
    } else if (pi < p.size() && (p[pi] == "?" || SameCharacter(p[pi], n[ni]))) {
      ++pi;
      ++ni;
    } else if (starP != std::string::npos) {
      pi = starP + 1;
      ni = ++starN;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == "*") ++pi;
  return pi == p.size();
}

std::string ResolveDots(const std::string& path) {
  std::vector<std::string_view> parts;
  std::string_view rest(path);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string resolved;
  for (std::string_view part : parts) {
    resolved += '/';
    resolved += part;
  }
  return resolved.empty() ? "/" : resolved;
}
