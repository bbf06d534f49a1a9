#include "batch/report.h"

#include <algorithm>

namespace {

// The status line is redrawn at most this often, so that a fast batch does not spend its
// time on the terminal.
constexpr int64_t kRedrawMs = 100;

// The status line lives on the line below the cursor, so that it never covers a console line
// that is still growing; the cursor is put back where standard output left it. Index (ESC D)
// and reverse index (ESC M) first make sure there is a line below, scrolling if need be.
constexpr const char* kDrawStart = "\033D\033M\0337\033D\r";
constexpr const char* kDrawEnd = "\033[K\0338";
constexpr const char* kErase = "\0337\033D\r\033[2K\0338";

std::string KindWords(FailureKind kind) {
  switch (kind) {
    case FailureKind::kNone:
      return "the save failed";
    case FailureKind::kNotAnImage:
    case FailureKind::kNotThisFormat:
      return "not an image that xevra reads";
    case FailureKind::kTruncated:
      return "the file ends early";
    case FailureKind::kReadError:
      return "the file cannot be read";
    case FailureKind::kUnsupported:
      return "a kind of image that xevra does not decode";
    case FailureKind::kTooLarge:
      return "over the size limit";
    case FailureKind::kCorrupt:
      return "the image data is damaged";
    case FailureKind::kMisuse:
      return "xevra could not decode it (an error of its own)";
    case FailureKind::kWriteError:
      return "the output could not be written";
  }
  return "it could not be converted";
}

// Returns seconds as "m:ss", or "h:mm:ss" from an hour on.
std::string Clock(int64_t seconds) {
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  }
  return text;
}

std::string Plural(int count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::string FailureWords(const Failure& failure) {
  std::string words = KindWords(failure.kind);
  if (failure.kind == FailureKind::kNotAnImage && !failure.text.empty()) {
    return words + "; it looks like " + failure.text;
  }
  if (failure.row > 0) {
    words += ", at row " + std::to_string(failure.row) + " of " + std::to_string(failure.rows);
  }
  if (!failure.text.empty()) words += ": " + failure.text;
  return words;
}

Reporter::Reporter(Platform& platform, std::FILE* sink)
    : platform_(platform), sink_(sink), terminal_(sink != nullptr && platform.IsErrorTerminal()) {}

void Reporter::Say(const std::string& text) {
  if (sink_ == nullptr) return;
  Erase();
  std::fprintf(sink_, "xevra: %s\n", text.c_str());
}

void Reporter::Start(int total) {
  total_ = total;
  startMs_ = platform_.MonotonicMilliseconds();
  Draw(true);
}

void Reporter::BeforeOutput() { Erase(); }

void Reporter::AfterOutput() { Draw(false); }

void Reporter::FileDone(const std::vector<std::string>& reasons, bool converted, int skippedPages) {
  for (const std::string& reason : reasons) Say(reason);
  ++(converted ? converted_ : failed_);
  skippedPages_ += skippedPages;
  Draw(false);
}

void Reporter::Finish() {
  Erase();
  terminal_ = false;  // nothing is drawn after the end
  int notConverted = total_ - converted_;
  if (notConverted <= 0 && skippedPages_ == 0) return;
  std::string summary = Plural(converted_, "file converted", "files converted") + ", " +
                        Plural(notConverted, "file not converted", "files not converted");
  if (skippedPages_ > 0) summary += ", " + Plural(skippedPages_, "page skipped", "pages skipped");
  Say(summary);
}

void Reporter::Erase() {
  if (!drawn_) return;
  std::fputs(kErase, sink_);
  std::fflush(sink_);
  drawn_ = false;
}

void Reporter::Draw(bool force) {
  if (!terminal_ || total_ <= 0) return;
  int64_t now = platform_.MonotonicMilliseconds();
  if (!force && everDrawn_ && now - drawnMs_ < kRedrawMs) return;
  std::string line = StatusLine(now);
  int columns = platform_.ErrorTerminalColumns();
  // One column stays free, so that a full line never wraps the cursor onto the next one.
  if (columns > 1 && line.size() >= static_cast<size_t>(columns)) line.resize(columns - 1);
  std::fprintf(sink_, "%s%s%s", kDrawStart, line.c_str(), kDrawEnd);
  std::fflush(sink_);
  drawn_ = true;
  everDrawn_ = true;
  drawnMs_ = now;
}

std::string Reporter::StatusLine(int64_t now) const {
  int done = converted_ + failed_;
  int64_t elapsedMs = std::max<int64_t>(0, now - startMs_);
  char text[160];
  std::snprintf(text, sizeof text, "[%d/%d files %3d%%", done, total_,
                static_cast<int>(100LL * done / total_));
  std::string line = text;
  if (done > 0 && elapsedMs > 0) {
    double rate = done * 1000.0 / static_cast<double>(elapsedMs);
    int64_t leftSeconds = static_cast<int64_t>((total_ - done) / rate + 0.5);
    std::snprintf(text, sizeof text, "  %.1f files/s  %s elapsed  %s left]", rate,
                  Clock(elapsedMs / 1000).c_str(), Clock(leftSeconds).c_str());
  } else {
    std::snprintf(text, sizeof text, "  %s elapsed]", Clock(elapsedMs / 1000).c_str());
  }
  return line + text;
}
