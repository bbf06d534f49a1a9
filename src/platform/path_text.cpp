// Pattern matching and textual path resolution of the platform layer.
#include <cctype>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/text.h"

namespace {

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
  std::vector<std::string_view> p = SplitCharacters(pattern);
  std::vector<std::string_view> n = SplitCharacters(name);
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
