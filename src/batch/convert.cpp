#include "batch/convert.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "batch/collect.h"
#include "batch/naming.h"
#include "batch/output_path.h"
#include "batch/progress.h"
#include "codec/image_interface.h"

namespace {

// The state of one batch: what every file needs and what the batch has learnt so far.
struct Batch {
  CConvertJob& job;
  CConvertSettings& settings;
  Platform& platform;
  CImageInterface codec;
  std::string sourceFolder;  // the full path every entry begins with
  std::string extension;
  bool singleFileWritten = false;  // this batch has published the single file once
  bool allConverted = true;
};

SaveHeader* CurrentRecord(CConvertSettings& settings) {
  switch (settings.m_nFormat) {
    case kFormatBmp: return &settings.m_bmp;
    case kFormatTif: return &settings.m_tif;
    case kFormatGif: return &settings.m_gif;
    case kFormatJpg: return &settings.m_jpg;
    default: return nullptr;
  }
}

int SaveWithCodec(Batch& batch, const std::string& path) {
  CConvertSettings& s = batch.settings;
  switch (s.m_nFormat) {
    case kFormatBmp: return batch.codec.Save(path.c_str(), &s.m_bmp);
    case kFormatTif: return batch.codec.Save(path.c_str(), &s.m_tif);
    case kFormatGif: return batch.codec.Save(path.c_str(), &s.m_gif);
    case kFormatJpg: return batch.codec.Save(path.c_str(), &s.m_jpg);
    default: return 0;
  }
}

// Saves page of the loaded image under target. The image goes into a temporary file beside
// target first and takes target's name only once complete, so a failed save or an
// interruption leaves no partial file and an older file of that name as it was. Without
// replace an existing target is never written over, even one that appeared after its name
// was found free. Returns true on success.
bool SavePage(Batch& batch, const std::string& target, int page, bool replace) {
  SaveHeader* record = CurrentRecord(batch.settings);
  if (record == nullptr) return false;
  record->nPage = page;
  std::string temp;
  if (!batch.platform.CreateTempFile(FolderOf(target), &temp)) return false;
  if (SaveWithCodec(batch, temp) != 0 && batch.platform.PublishFile(temp, target, replace)) {
    return true;
  }
  batch.platform.DiscardTempFile(temp);
  return false;
}

// The one file that single-file mode writes may be replaced by this batch's own later saves;
// a file of that name from before the batch only with -ov.
bool MayReplace(const Batch& batch) {
  return batch.settings.m_bOverwrite != 0 ||
         (batch.settings.m_bSingleFile != 0 && batch.singleFileWritten);
}

void NoteSaved(Batch& batch, bool saved) {
  if (saved && batch.settings.m_bSingleFile != 0) batch.singleFileWritten = true;
  if (!saved) batch.allConverted = false;
}

// Makes folder usable. Every missing level below the destination is created, so that a
// file two levels down converts even when nothing lay in the level between. Returns true
// when the folder can be written.
bool PrepareFolder(Batch& batch, const std::string& folder) {
  Platform& platform = batch.platform;
  if (platform.IsWritable(folder)) return true;
  const std::string& dest = batch.job.m_strDest;
  size_t pos = folder.compare(0, dest.size(), dest) == 0 ? dest.size() : 0;
  while (pos != std::string::npos) {
    pos = folder.find('/', pos + 1);
    std::string level = folder.substr(0, pos);
    if (!level.empty() && !platform.IsWritable(level)) platform.MakeDir(level);
  }
  return platform.IsWritable(folder);
}

void SingleSave(Batch& batch, const std::string& outputPath) {
  bool saved = SavePage(batch, outputPath, 0, MayReplace(batch));
  NoteSaved(batch, saved);
  ReportStatus(saved ? kStatusReady : kStatusConvertFailed, "");
  batch.codec.CloseHandle();
}

std::string FreePagePath(Batch& batch, const std::string& outputPath, int page) {
  std::string path = PagePath(outputPath, page, batch.extension);
  if (batch.settings.m_bOverwrite == 0) path = MakeUniqueName(path, batch.extension,
                                                             batch.platform);
  return path;
}

void SplitPages(Batch& batch, const std::string& source, const std::string& outputPath,
                int pageCount) {
  CConvertSettings& s = batch.settings;
  // A TIFF collecting a whole batch takes page 0 under the single file's own name.
  bool intoSingleFile = s.m_nFormat == kFormatTif && s.m_bSingleFile != 0;
  std::string first = intoSingleFile ? outputPath : FreePagePath(batch, outputPath, 0);
  bool saved = SavePage(batch, first, 0, intoSingleFile ? MayReplace(batch)
                                                        : s.m_bOverwrite != 0);
  NoteSaved(batch, saved);
  batch.codec.CloseHandle();
  if (!saved) {
    ReportStatus(kStatusConvertFailed, "");
    return;
  }
  ReportStatus(kStatusPageSaved, "");
  for (int page = 1; page < pageCount; ++page) {
    if (batch.codec.Load(source.c_str()) == 0) {
      batch.allConverted = false;  // the page is skipped without a word, but not converted
      continue;
    }
    std::string path = FreePagePath(batch, outputPath, page);
    bool pageSaved = SavePage(batch, path, page, s.m_bOverwrite != 0);
    NoteSaved(batch, pageSaved);
    batch.codec.CloseHandle();
    ReportStatus(pageSaved ? kStatusPageSaved : kStatusConvertFailed, "");
  }
  ReportStatus(kStatusReady, "");
}

std::string SingleFileName(const CConvertSettings& s) {
  return std::string(s.m_szSingleFile, strnlen(s.m_szSingleFile, sizeof s.m_szSingleFile));
}

void ConvertEntry(Batch& batch, size_t index) {
  CConvertSettings& s = batch.settings;
  const std::string source = batch.job.m_files[index];
  ReportStatus(kStatusName, DisplayName(source));
  if (batch.codec.Load(source.c_str()) == 0) {
    ReportStatus(kStatusLoadFailed, "");
    batch.allConverted = false;
    return;
  }
  ReportStatus(kStatusLoaded, "");
  std::string relative = RelativePath(source, batch.sourceFolder);
  std::string outputPath = batch.job.m_strDest + "/" +
                           (s.m_bSingleFile != 0 ? SingleFileName(s) : relative);
  if (!PrepareFolder(batch, FolderOf(outputPath))) {
    batch.codec.CloseHandle();
    // The line is closed like any failed file's, so the next file starts a line of its own.
    ReportStatus(kStatusConvertFailed, "");
    batch.allConverted = false;
    return;
  }
  outputPath = ApplyExtension(relative, outputPath, batch.extension);
  if (index == 0 && s.m_bOverwrite != 0 && s.m_bSingleFile != 0) {
    DeleteExisting(outputPath, batch.platform);
  }
  if (s.m_bOverwrite == 0 && s.m_bSingleFile == 0) {
    outputPath = MakeUniqueName(outputPath, batch.extension, batch.platform);
  }
  int pageCount = batch.codec.GetPageCount();
  if (s.m_bSeparatePages != 0 && pageCount >= 2) {
    SplitPages(batch, source, outputPath, pageCount);
  } else {
    SingleSave(batch, outputPath);
  }
}

}  // namespace

bool ConvertFiles(CConvertJob& job, CConvertSettings& settings, Platform& platform) {
  std::string& dest = job.m_strDest;
  while (dest.size() >= 2 && dest.back() == '"') dest.pop_back();
  if (!platform.IsWritable(dest)) platform.MakeDir(dest);
  if (!platform.IsWritable(dest)) return false;
  Batch batch{job, settings, platform, {}, SourceFolderFullPath(job, platform),
              FormatExtension(settings.m_nFormat)};
  if (!dest.empty() && dest.back() == '/') dest.pop_back();
  settings.m_tif.bSingleFile = settings.m_bSingleFile;
  for (size_t i = 0; i < job.m_files.size(); ++i) {
    ConvertEntry(batch, i);
    std::fflush(stdout);
  }
  return batch.allConverted;
}
