#include "app/options.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/text.h"

namespace {

enum class Key {
  kSource,
  kDest,
  kQuality,
  kColorDepth,
  kWidth,
  kHeight,
  kProportional,
  kSeparatePages,
  kOverwrite,
  kSubfolders,
  kRotation,
  kHelp,
  kJobs,
  kShard,
  kUpdate,
};

struct KeyRule {
  std::string_view text;
  Key key;
};

// The order matters: "-cd=8" holds "d=" before "-cd", "-help" holds "-h", and the first key
// found decides.
constexpr KeyRule kKeys[] = {
    {"s=", Key::kSource},
    {"d=", Key::kDest},
    {"-q", Key::kQuality},
    {"-cd", Key::kColorDepth},
    {"-w", Key::kWidth},
    {"-h", Key::kHeight},
    {"-prop", Key::kProportional},
    {"-sep", Key::kSeparatePages},
    {"-ov", Key::kOverwrite},
    {"-sf", Key::kSubfolders},
    {"-rot", Key::kRotation},
    {"-?", Key::kHelp},
    {"-j", Key::kJobs},
    {"-shard", Key::kShard},
    {"-u", Key::kUpdate},
};

// Copies what fits of value into a zero-filled field of FieldSize bytes (terminator
// included) and parses it with format; returns true when a number was read into *out.
template <size_t FieldSize, typename T>
bool ParseNumber(std::string_view value, const char* format, T* out) {
  char field[FieldSize] = {};
  std::memcpy(field, value.data(), std::min(value.size(), FieldSize - 1));
  T parsed{};
  if (std::sscanf(field, format, &parsed) != 1) return false;
  *out = parsed;
  return true;
}

void ApplySource(std::string_view value, CConvertJob& job, Platform& platform) {
  size_t slash = FindLastChar(value, '/');
  job.m_strMask = std::string(slash == std::string::npos ? value : value.substr(slash + 1));
  if (slash != std::string::npos && slash > 0) {
    job.m_strSource = std::string(value.substr(0, slash));
  } else if (slash == 0) {
    job.m_strSource = "/";  // s=/*.bmp: the root itself
  } else {
    std::string cwd;
    job.m_strSource = platform.CurrentDir(&cwd) ? cwd : std::string();
  }
  if (job.m_strMask.empty()) job.m_strMask = "*.*";
}

// "-shardK/N": both numbers must be read, and N be at least 1; otherwise nothing changes. An
// index outside 0 to N-1 is kept, so that the run converts nothing rather than everything.
void ApplyShard(std::string_view value, CConvertSettings& settings) {
  char field[24] = {};
  std::memcpy(field, value.data(), std::min(value.size(), sizeof field - 1));
  int index = 0;
  int count = 0;
  if (std::sscanf(field, "%d/%d", &index, &count) != 2 || count < 1) return;
  settings.m_nShardIndex = index;
  settings.m_nShardCount = count;
}

void ApplyDest(std::string_view value, CConvertJob& job) {
  job.m_strDest = std::string(value);
  // One trailing separator goes, but a bare root stays the root.
  if (job.m_strDest.size() > 1 && job.m_strDest.back() == '/') job.m_strDest.pop_back();
}

}  // namespace

void ApplyArgument(const std::string& argument, CConvertSettings& settings, CConvertJob& job,
                   bool* help, Platform& platform) {
  std::string lowered = argument;
  LowerCaseInPlace(lowered);
  for (const KeyRule& rule : kKeys) {
    size_t pos = FindText(lowered, rule.text);
    if (pos == std::string::npos) continue;
    // Values come from the argument as typed: file names keep their letter case.
    std::string_view value = std::string_view(argument).substr(pos + rule.text.size());
    _SAVEIMAGEINFO::_JPG& jpg = settings.m_jpg;
    switch (rule.key) {
      case Key::kSource:
        ApplySource(value, job, platform);
        break;
      case Key::kDest:
        ApplyDest(value, job);
        break;
      case Key::kQuality:
        ParseNumber<5>(value, "%d", &jpg.nQuality);
        break;
      case Key::kColorDepth:
        ParseNumber<5>(value, "%d", &jpg.nColorDepth);
        break;
      case Key::kWidth:
        ParseNumber<10>(value, "%d", &jpg.nWidth);
        break;
      case Key::kHeight:
        ParseNumber<10>(value, "%d", &jpg.nHeight);
        break;
      case Key::kProportional:
        jpg.bProportional = 1;
        break;
      case Key::kSeparatePages:
        settings.m_bSeparatePages = 1;
        break;
      case Key::kOverwrite:
        settings.m_bOverwrite = 1;
        break;
      case Key::kSubfolders:
        settings.m_bSubfolders = 1;
        break;
      case Key::kRotation:
        ParseNumber<15>(value, "%f", &jpg.fRotation);
        break;
      case Key::kHelp:
        *help = true;
        break;
      case Key::kJobs:
        ParseNumber<5>(value, "%d", &settings.m_nJobs);
        break;
      case Key::kShard:
        ApplyShard(value, settings);
        break;
      case Key::kUpdate:
        settings.m_bUpdate = 1;
        break;
    }
    return;
  }
}

std::string_view DecidingKey(const std::string& argument) {
  std::string lowered = argument;
  LowerCaseInPlace(lowered);
  for (const KeyRule& rule : kKeys) {
    if (FindText(lowered, rule.text) != std::string::npos) return rule.text;
  }
  return {};
}

bool ApplyArguments(int argc, char** argv, CConvertSettings& settings, CConvertJob& job,
                    Platform& platform) {
  bool help = false;
  for (int i = 1; i < argc; ++i) ApplyArgument(argv[i], settings, job, &help, platform);
  return help;
}
