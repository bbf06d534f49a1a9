#include "batch/convert.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "batch/collect.h"
#include "batch/gated_platform.h"
#include "batch/naming.h"
#include "batch/output_path.h"
#include "batch/progress.h"
#include "batch/report.h"
#include "batch/update.h"
#include "batch/work_pool.h"
#include "codec/image_interface.h"

// Several files are decoded, transformed and encoded at once, while this thread alone makes
// every decision in list order: what is printed, which folder is made, which name is free,
// and when an output takes its name. A question about a name that an earlier, unfinished
// file may still create waits for that file, and outputs are published in list order, so
// the console text and the files are those of a run that handles one file after the other.

namespace {

// Pages of fewer pixels than this (a 256 x 256 thumbnail) are saved one after the other by the
// file's own task.
constexpr uint64_t kPageTaskMinPixels = 256 * 256;

// One save that a file's work makes.
struct PageTask {
  int page = 0;
  std::string target;           // the name the output takes
  bool intoSingleFile = false;  // target is the batch's single file
  bool loaded = false;          // the image could be read again for this page
  std::string temp;             // complete output, when the save succeeded
  std::string why;              // why the page was not read again or not saved
  std::string note;             // a save that converted a stand-in: what stood in, and why
  // When the pages of a file run as tasks of their own: the interface that reads this page
  // (none for page 0, which the file's own reads), the task's own save records, and its end.
  std::unique_ptr<CImageInterface> codec;
  CConvertSettings settings;
  std::future<void> worked;
};

// A source file from its decisions to its console line.
struct FileJob {
  std::string text;    // console text known so far
  size_t printed = 0;  // of which this much is on the console
  std::string source;
  std::unique_ptr<CImageInterface> codec;
  CConvertSettings settings;  // the work's own save records
  bool split = false;
  bool pagesAsTasks = false;    // each page is a task of its own, on any free worker
  std::vector<PageTask> tasks;  // empty when the file ended with its decisions
  std::future<void> worked;
  std::vector<std::string> reasons;  // for the user, once the console line is complete
  bool converted = true;
  int skippedPages = 0;
  std::atomic<bool> firstPageFailed{false};  // later pages need not be saved
  size_t finished = 0;                       // tasks published (or given up) so far
  bool pageZeroSaved = false;
};

// Returns the output folder's problem in words.
std::string FolderWords(const std::string& folder, Platform& platform) {
  std::string why = platform.WhyNotWritable(folder);
  return "the output folder " + folder + " cannot be used" + (why.empty() ? "" : ": " + why);
}

SaveHeader* CurrentRecord(CConvertSettings& settings) {
  switch (settings.m_nFormat) {
    case kFormatBmp:
      return &settings.m_bmp;
    case kFormatTif:
      return &settings.m_tif;
    case kFormatGif:
      return &settings.m_gif;
    case kFormatJpg:
      return &settings.m_jpg;
    default:
      return nullptr;
  }
}

int SaveWithCodec(CImageInterface& codec, CConvertSettings& s, const std::string& path) {
  switch (s.m_nFormat) {
    case kFormatBmp:
      return codec.Save(path.c_str(), &s.m_bmp);
    case kFormatTif:
      return codec.Save(path.c_str(), &s.m_tif);
    case kFormatGif:
      return codec.Save(path.c_str(), &s.m_gif);
    case kFormatJpg:
      return codec.Save(path.c_str(), &s.m_jpg);
    default:
      return 0;
  }
}

// Returns the note of a save that succeeded with a stand-in for the original (empty when the
// original itself was converted).
std::string StandInNote(const CImageInterface& codec) {
  const Failure& failure = codec.LastFailure();
  return failure.kind == FailureKind::kNone ? "" : FailureWords(failure);
}

// Saves page task.page of the image codec has loaded into a temporary file beside the task's
// target; on success task.temp names it (and task.note tells of a stand-in), otherwise
// task.why says what failed.
void SaveTask(CImageInterface& codec, CConvertSettings& settings, PageTask& task,
              Platform& platform) {
  SaveHeader* record = CurrentRecord(settings);
  if (record == nullptr) return;
  record->nPage = task.page;
  std::string temp;
  if (!platform.CreateTempFile(FolderOf(task.target), &temp)) {
    task.why = FolderWords(FolderOf(task.target), platform);
  } else if (SaveWithCodec(codec, settings, temp) != 0) {
    task.temp = temp;
    task.note = StandInNote(codec);
  } else {
    task.why = FailureWords(codec.LastFailure());
    platform.DiscardTempFile(temp);
  }
}

// The work of one file, on any thread: every page into a temporary file beside its target.
// Nothing here decides a name or touches a name other than its own temporary files. pageDone
// (when set) is called once each page's work is over, in page order.
void DoWork(FileJob& job, Platform& platform, const std::function<void()>& pageDone = nullptr) {
  for (size_t k = 0; k < job.tasks.size(); ++k) {
    PageTask& task = job.tasks[k];
    if (k > 0 && job.codec->Load(job.source.c_str()) == 0) {
      task.why = FailureWords(job.codec->LastFailure());
      continue;
    }
    task.loaded = true;
    SaveTask(*job.codec, job.settings, task, platform);
    job.codec->CloseHandle();
    bool firstFailed = k == 0 && task.temp.empty();  // publishing empties temp
    if (pageDone) pageDone();
    if (firstFailed) break;  // no later page is tried
  }
}

// The work of one page of a file whose pages run as tasks of their own, on any thread. The
// pages take turns with the file's decoder, in page order; each turn ends as soon as the page
// has been decoded, so that the next page decodes while this one is encoded.
void DoPage(FileJob& job, size_t k, Platform& platform) {
  PageTask& task = job.tasks[k];
  CImageInterface& codec = k == 0 ? *job.codec : *task.codec;
  try {
    if (k > 0 && job.firstPageFailed.load()) {
      codec.CloseHandle();  // its turn passes; its output would be dropped anyway
      return;
    }
    if (k > 0 && codec.Load(job.source.c_str()) == 0) {
      task.why = FailureWords(codec.LastFailure());
      return;
    }
    task.loaded = true;
    SaveTask(codec, task.settings, task, platform);
  } catch (...) {
    // Whatever the work did not finish counts as not saved.
  }
  codec.CloseHandle();
  if (k == 0 && task.temp.empty()) job.firstPageFailed = true;
}

void AddTask(FileJob& file, int page, std::string target, bool intoSingleFile) {
  PageTask& task = file.tasks.emplace_back();
  task.page = page;
  task.target = std::move(target);
  task.intoSingleFile = intoSingleFile;
}

std::string SingleFileName(const CConvertSettings& s) {
  return std::string(s.m_szSingleFile, strnlen(s.m_szSingleFile, sizeof s.m_szSingleFile));
}

class Coordinator {
 public:
  Coordinator(CConvertJob& job, CConvertSettings& settings, Platform& platform, int jobs,
              Reporter& reporter)
      : job_(job),
        settings_(settings),
        platform_(platform),
        reporter_(reporter),
        gated_(platform, [this](const std::string& path) { Settle(path); }),
        sourceFolder_(SourceFolderFullPath(job, platform)),
        extension_(FormatExtension(settings.m_nFormat)),
        // One file more than workers is decided ahead, so that a worker that finishes early
        // finds its next file ready instead of waiting for the oldest file's turn.
        limit_(jobs > 1 ? static_cast<size_t>(jobs) + 1 : 1),
        cores_(jobs > 1 ? std::make_shared<CoreBudget>() : nullptr),
        pool_(jobs > 1 ? jobs : 0, cores_.get()) {}

  bool Run() {
    for (size_t i = 0; i < job_.m_files.size(); ++i) {
      while (queue_.size() >= limit_) FinishOldest();
      queue_.push_back(Decide(i));
      FileJob& file = *queue_.back();
      if (file.pagesAsTasks) {
        for (size_t k = 0; k < file.tasks.size(); ++k) {
          file.tasks[k].worked = Submit([&file, k, this] { DoPage(file, k, platform_); });
        }
      } else if (!file.tasks.empty()) {
        auto promise = std::make_shared<std::promise<void>>();
        file.worked = promise->get_future();
        // One file at a time, the work runs right here and its file is the console's front:
        // each page takes its name and shows its piece as soon as it is saved. A page that
        // would replace the source itself waits until every page has been read.
        std::function<void()> pageDone;
        bool replacesSource = false;
        for (const PageTask& task : file.tasks) replacesSource |= task.target == file.source;
        if (!cores_ && !replacesSource) {
          pageDone = [&file, this] {
            FinishPage(file);
            Emit(file);
          };
        }
        pool_.Submit([&file, promise, pageDone, this] {
          try {
            DoWork(file, platform_, pageDone);
          } catch (...) {
            // Whatever the work did not finish counts as not saved.
          }
          promise->set_value();
        });
      }
      PrintFront();
    }
    while (!queue_.empty()) FinishOldest();
    return allConverted_;
  }

 private:
  // Returns the end of task, run by the pool.
  std::future<void> Submit(std::function<void()> task) {
    auto promise = std::make_shared<std::promise<void>>();
    std::future<void> done = promise->get_future();
    pool_.Submit([task = std::move(task), promise] {
      task();
      promise->set_value();
    });
    return done;
  }

  // Returns once no unfinished file may still create path.
  void Settle(const std::string& path) {
    while (pending_.count(path) != 0) FinishOldest();
  }

  // Makes folder usable. Every missing level below the destination is created, so that a
  // file two levels down converts even when nothing lay in the level between. Returns true
  // when the folder can be written.
  bool PrepareFolder(const std::string& folder) {
    if (gated_.IsWritable(folder)) return true;
    const std::string& dest = job_.m_strDest;
    size_t pos = folder.compare(0, dest.size(), dest) == 0 ? dest.size() : 0;
    while (pos != std::string::npos) {
      pos = folder.find('/', pos + 1);
      std::string level = folder.substr(0, pos);
      if (!level.empty() && !gated_.IsWritable(level)) gated_.MakeDir(level);
    }
    return gated_.IsWritable(folder);
  }

  std::string FreePagePath(const std::string& outputPath, int page) {
    std::string path = PagePath(outputPath, page, extension_);
    if (!Overwrite()) path = MakeUniqueName(path, extension_, gated_);
    return path;
  }

  // With -u as with -ov, every output takes its own name.
  bool Overwrite() const { return settings_.m_bOverwrite != 0 || settings_.m_bUpdate != 0; }

  std::unique_ptr<FileJob> Decide(size_t index) {
    CConvertSettings& s = settings_;
    auto file = std::make_unique<FileJob>();
    file->source = job_.m_files[index];
    file->text = StatusText(kStatusName, DisplayName(file->source));
    // An earlier file's output may be this very source (outputs beside their sources, -ov).
    Settle(file->source);
    std::string relative = RelativePath(file->source, sourceFolder_);
    std::string outputPath =
        job_.m_strDest + "/" + (s.m_bSingleFile != 0 ? SingleFileName(s) : relative);
    // -u skips a source whose outputs are all there and not older. A whole-file output is
    // judged without reading the source; page outputs need its page count. The single file
    // of single-file mode says nothing about any one source, so there every source is converted.
    bool update = s.m_bUpdate != 0 && s.m_bSingleFile == 0;
    std::string wanted = ApplyExtension(relative, outputPath, extension_);
    if (update && s.m_bSeparatePages == 0 && UpToDate({wanted}, file->source, gated_)) {
      file->text += StatusText(kStatusUpToDate, "");
      return file;
    }
    // With no earlier file left to finish, this file's text is the console's next: its name
    // shows while the file is read.
    if (queue_.empty()) Emit(*file);
    file->codec = std::make_unique<CImageInterface>();
    if (file->codec->Load(file->source.c_str()) == 0) {
      file->text += StatusText(kStatusLoadFailed, "");
      Fail(*file, -1, FailureWords(file->codec->LastFailure()));
      return file;
    }
    int pageCount = file->codec->GetPageCount();
    if (update && s.m_bSeparatePages != 0 &&
        UpToDate(OutputsOf(wanted, true, pageCount, extension_), file->source, gated_)) {
      file->codec->CloseHandle();
      file->text += StatusText(kStatusUpToDate, "");
      return file;
    }
    file->text += StatusText(kStatusLoaded, "");
    if (queue_.empty()) Emit(*file);
    if (!PrepareFolder(FolderOf(outputPath))) {
      file->codec->CloseHandle();
      // The line is closed like any failed file's, so the next file starts a line of its own.
      file->text += StatusText(kStatusConvertFailed, "");
      Fail(*file, -1, FolderWords(FolderOf(outputPath), gated_));
      return file;
    }
    outputPath = ApplyExtension(relative, outputPath, extension_);
    if (index == 0 && Overwrite() && s.m_bSingleFile != 0) {
      DeleteExisting(outputPath, gated_);
    }
    if (!Overwrite() && s.m_bSingleFile == 0) {
      outputPath = MakeUniqueName(outputPath, extension_, gated_);
    }
    file->split = s.m_bSeparatePages != 0 && pageCount >= 2;
    if (file->split) {
      // A TIFF collecting a whole batch takes page 0 under the single file's own name.
      bool intoSingleFile = s.m_nFormat == kFormatTif && s.m_bSingleFile != 0;
      AddTask(*file, 0, intoSingleFile ? outputPath : FreePagePath(outputPath, 0), intoSingleFile);
      for (int page = 1; page < pageCount; ++page) {
        AddTask(*file, page, FreePagePath(outputPath, page), false);
      }
    } else {
      AddTask(*file, 0, outputPath, s.m_bSingleFile != 0);
    }
    for (const PageTask& task : file->tasks) ++pending_[task.target];
    file->settings = s;
    file->codec->ShareCores(cores_);
    // Pages run as tasks of their own, on as many workers as are free; unless they are so
    // small that handing each over and saving two at once into one folder costs more than
    // the second worker gains, as with thousands of thumbnails in one TIFF.
    file->pagesAsTasks = file->split && cores_ && file->codec->PagePixels(0) >= kPageTaskMinPixels;
    if (file->pagesAsTasks) {
      for (size_t k = 0; k < file->tasks.size(); ++k) {
        file->tasks[k].settings = s;
        if (k > 0) file->tasks[k].codec = file->codec->NextPage();
      }
    }
    return file;
  }

  // The one file of single-file mode may be replaced by this batch's own later saves; a file
  // of that name from before the batch only with -ov.
  bool MayReplace(const PageTask& task) const {
    if (Overwrite()) return true;
    return task.intoSingleFile && singleFileWritten_;
  }

  // Gives a saved output its name. Without replace an existing file of that name is never
  // written over, even one that appeared after the name was found free. Returns true when
  // the output took its name.
  bool Publish(PageTask& task) {
    if (task.temp.empty()) return false;
    bool published = platform_.PublishFile(task.temp, task.target, MayReplace(task));
    if (!published) platform_.DiscardTempFile(task.temp);
    task.temp.clear();
    if (published && task.intoSingleFile) singleFileWritten_ = true;
    return published;
  }

  void Finish(FileJob& file) {
    if (file.worked.valid()) file.worked.wait();
    for (PageTask& task : file.tasks) {
      if (task.worked.valid()) task.worked.wait();
    }
    while (file.finished < file.tasks.size()) FinishPage(file);
    if (file.split && file.pageZeroSaved) file.text += StatusText(kStatusReady, "");
    for (const PageTask& task : file.tasks) {
      auto it = pending_.find(task.target);
      if (it != pending_.end() && --it->second == 0) pending_.erase(it);
    }
  }

  // Publishes the next page of file whose work is over, or gives it up, and adds its piece
  // to the file's console text.
  void FinishPage(FileJob& file) {
    size_t k = file.finished++;
    PageTask& task = file.tasks[k];
    if (k > 0 && !file.pageZeroSaved) {
      if (!task.temp.empty()) platform_.DiscardTempFile(task.temp);
      task.temp.clear();
      return;
    }
    int page = file.split ? task.page : -1;
    if (!task.loaded) {
      // A page that cannot be read again is skipped without a word on the console.
      ++file.skippedPages;
      Fail(file, page, "skipped, it could not be read again: " + task.why);
      return;
    }
    SaveHeader* record = CurrentRecord(settings_);
    if (record != nullptr) record->nPage = task.page;
    bool saveFailed = task.temp.empty();
    bool saved = Publish(task);
    if (saveFailed) {
      Fail(file, page, task.why);
    } else if (!saved) {
      std::string why = platform_.WhyNotPublished(task.target);
      Fail(file, page,
           "the output " + task.target + " cannot take its name" + (why.empty() ? "" : ": " + why));
    } else if (!task.note.empty()) {
      // Converted all the same; the user learns what stood in for the original.
      Note(file, page, task.note);
    }
    if (k == 0) file.pageZeroSaved = saved;
    if (!file.split) {
      file.text += StatusText(saved ? kStatusReady : kStatusConvertFailed, "");
    } else {
      file.text += StatusText(saved ? kStatusPageSaved : kStatusConvertFailed, "");
    }
  }

  void FinishOldest() {
    Finish(*queue_.front());
    PrintFront();
    const FileJob& done = *queue_.front();
    reporter_.FileDone(done.reasons, done.converted, done.skippedPages);
    queue_.pop_front();
    PrintFront();
  }

  // Records that file (or its page, -1 for the whole file) was not converted, and why.
  void Fail(FileJob& file, int page, const std::string& why) {
    allConverted_ = false;
    file.converted = false;
    Note(file, page, why);
  }

  // Records a line for the user about file (or its page, -1 for the whole file).
  void Note(FileJob& file, int page, const std::string& text) {
    std::string where = file.source;
    if (page >= 0) where += ", page " + std::to_string(page);
    file.reasons.push_back(where + ": " + text);
  }

  // Prints what is new of file's line, at once, with the status line out of the way.
  void Emit(FileJob& file) {
    if (file.printed == file.text.size()) return;
    reporter_.BeforeOutput();
    std::fwrite(file.text.data() + file.printed, 1, file.text.size() - file.printed, stdout);
    std::fflush(stdout);
    file.printed = file.text.size();
    reporter_.AfterOutput();
  }

  // Prints what is new of the oldest file's line; later files wait their turn.
  void PrintFront() {
    if (!queue_.empty()) Emit(*queue_.front());
  }

  CConvertJob& job_;
  CConvertSettings& settings_;
  Platform& platform_;
  Reporter& reporter_;
  GatedPlatform gated_;
  std::string sourceFolder_;  // the full path every entry begins with
  std::string extension_;
  size_t limit_;  // files between their decisions and their console line
  std::deque<std::unique_ptr<FileJob>> queue_;
  std::map<std::string, int> pending_;  // names that unfinished files may still create
  bool singleFileWritten_ = false;
  bool allConverted_ = true;
  std::shared_ptr<CoreBudget> cores_;  // idle cores of the pool, none with one job at a time
  WorkPool pool_;                      // last: its threads end before anything they use
};

}  // namespace

bool ConvertFiles(CConvertJob& job, CConvertSettings& settings, Platform& platform,
                  Reporter* reporter) {
  Reporter silent(platform, nullptr);
  Reporter& report = reporter != nullptr ? *reporter : silent;
  std::string& dest = job.m_strDest;
  while (dest.size() >= 2 && dest.back() == '"') dest.pop_back();
  if (!platform.IsWritable(dest)) platform.MakeDir(dest);
  if (!platform.IsWritable(dest)) {
    std::string why = platform.WhyNotWritable(dest);
    report.Say("the destination folder " + dest + " cannot be used" +
               (why.empty() ? "" : ": " + why) + "; nothing was converted");
    return false;
  }
  if (!platform.IsFolder(dest)) {
    // Every file will fail to be saved in it; the console lines say so file by file.
    report.Say("the destination " + dest + " is a file, not a folder; nothing can be saved in it");
  }
  if (!dest.empty() && dest.back() == '/') dest.pop_back();
  settings.m_tif.bSingleFile = settings.m_bSingleFile;
  int jobs = settings.m_nJobs >= 1 ? settings.m_nJobs : platform.ProcessorCount();
  return Coordinator(job, settings, platform, jobs, report).Run();
}
