#include "app/hints.h"

#include <cstdio>
#include <string_view>

#include "app/options.h"
#include "platform/text.h"

namespace {

struct NumericKey {
  std::string_view key;
  const char* what;     // what the number sets
  const char* example;  // a number to show when the line gives none
  bool real;            // read as a real number, not a whole one
};

constexpr NumericKey kNumericKeys[] = {
    {"-q", "the JPEG quality", "90", false}, {"-cd", "the colour depth", "8", false},
    {"-w", "the width", "800", false},       {"-h", "the height", "600", false},
    {"-rot", "the rotation", "90", true},    {"-j", "the number of jobs", "2", false},
};

const NumericKey* FindNumericKey(std::string_view key) {
  for (const NumericKey& numeric : kNumericKeys) {
    if (numeric.key == key) return &numeric;
  }
  return nullptr;
}

// Returns true when text begins (after white space) with a number as the switch reads it.
bool ReadsAsNumber(const std::string& text, bool real) {
  double realValue = 0;
  int wholeValue = 0;
  return real ? std::sscanf(text.c_str(), "%lf", &realValue) == 1
              : std::sscanf(text.c_str(), "%d", &wholeValue) == 1;
}

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// Returns the advice for a numeric switch that carries no readable number, or empty.
std::string NumericHint(const std::string& argument, const std::string& lowered, size_t pos,
                        const NumericKey& numeric, const std::string& next) {
  std::string value = argument.substr(pos + numeric.key.size());
  if (ReadsAsNumber(value, numeric.real)) return std::string();
  if (FindText(lowered, "help") != std::string::npos) {
    return Quoted(argument) + " is read as the height switch -h without a number and does " +
           "nothing; for help write '-?'";
  }
  // "-q=90" and "-q:90" hold the number behind a sign the switch does not take; "-q 90"
  // holds it in the next argument.
  std::string number = numeric.example;
  if (!value.empty() && (value[0] == '=' || value[0] == ':') &&
      ReadsAsNumber(value.substr(1), numeric.real)) {
    number = value.substr(1);
  } else if (value.empty() && ReadsAsNumber(next, numeric.real)) {
    number = next;
  }
  return Quoted(argument) + " has no number right after " + std::string(numeric.key) + ", so " +
         numeric.what + " stays as it was; write the number right after the switch, as in " +
         std::string(numeric.key) + number;
}

// Returns the advice for an argument that holds no key at all.
std::string NoKeyHint(const std::string& argument, Platform& platform) {
  if (platform.IsFolder(argument)) {
    std::string folder = argument;
    if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return Quoted(argument) + " holds no key and is ignored; to convert the files of that " +
           "folder write " + Quoted("s=" + folder + "/*.*");
  }
  return Quoted(argument) + " holds no key and is ignored; a source is named as " +
         Quoted("s=folder/*.jpg") + ", and '-?' shows the help";
}

// Returns the advice for a source whose mask names a folder, or empty.
std::string SourceHint(const std::string& argument, size_t pos, Platform& platform) {
  std::string value = argument.substr(pos + 2);
  if (value.empty() || value.find_first_of("*?") != std::string::npos) return std::string();
  if (value.back() == '/' || !platform.IsFolder(value)) return std::string();
  return Quoted(argument) + " looks for files named " +
         Quoted(value.substr(FindLastChar(value, '/') + 1)) + ", not in that folder; to " +
         "convert the files of the folder write " + Quoted("s=" + value + "/*.*");
}

}  // namespace

std::vector<std::string> ArgumentHints(int argc, char** argv, Platform& platform) {
  std::vector<std::string> hints;
  bool numberTaken = false;  // the last hint already showed this argument joined to its switch
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    std::string next = i + 1 < argc ? argv[i + 1] : "";
    std::string lowered = argument;
    LowerCaseInPlace(lowered);
    std::string_view key = DecidingKey(argument);
    size_t pos = key.empty() ? std::string::npos : FindText(lowered, key);
    std::string hint;
    if (key.empty()) {
      if (!numberTaken) hint = NoKeyHint(argument, platform);
      numberTaken = false;
    } else if (const NumericKey* numeric = FindNumericKey(key)) {
      hint = NumericHint(argument, lowered, pos, *numeric, next);
      numberTaken = !hint.empty() && argument.size() == pos + key.size() &&
                    ReadsAsNumber(next, numeric->real);
    } else {
      numberTaken = false;
      if ((key == "d=" || key == "s=") && pos > 0) {
        std::string holder = lowered.substr(0, pos + 1);
        hint = Quoted(argument) + " is read as " +
               (key == "d=" ? "the destination " : "the source ") + Quoted(argument.substr(pos)) +
               ", from the key " + std::string(key) + " inside it";
        if (holder == "-cd") hint += "; for a colour depth write -cd" + argument.substr(pos + 2);
      } else if (key == "s=") {
        hint = SourceHint(argument, pos, platform);
      }
    }
    if (!hint.empty()) hints.push_back(hint);
  }
  return hints;
}

std::string NothingFoundText(const CConvertJob& job, bool subfolders, Platform& platform) {
  if (job.m_strMask.empty()) {
    return "nothing was looked for: no source was given; name one as " + Quoted("s=folder/*.jpg");
  }
  if (job.m_strSource.empty() || !platform.IsFolder(job.m_strSource)) {
    return "no file was found: the source folder " + Quoted(job.m_strSource) + " cannot be entered";
  }
  return "no file matches " + Quoted(job.m_strMask) + " in " + job.m_strSource +
         (subfolders ? " or below it" : "");
}
