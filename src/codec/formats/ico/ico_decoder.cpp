// The ICO and CUR decoder. Every entry of the directory is a page, the largest first (an icon
// holds one picture at several sizes and depths: a single conversion takes the best one, and
// page splitting gives every entry). A page is decoded by a decoder over its entry's bytes
// alone: the PNG decoder for PNG entries, the icon BMP decoder (ico_bmp.h) for the others.
#include <memory>
#include <vector>

#include "codec/formats/formats.h"
#include "codec/formats/ico/ico_bmp.h"
#include "codec/formats/ico/ico_directory.h"

namespace {

class IcoDecoder : public Decoder {
 public:
  IcoDecoder(std::unique_ptr<InputFile> file, std::vector<IcoEntry> entries)
      : file_(std::move(file)), entries_(std::move(entries)) {}

  int PageCount() override { return static_cast<int>(entries_.size()); }

  bool Probe(int page, PageGeometry* geometry) override {
    if (page < 0 || page >= PageCount()) return Fail(FailureKind::kMisuse);
    *geometry = {entries_[page].width, entries_[page].height, 1};
    return true;
  }

  bool StartPage(int page, const DecodeRequest& request, PageInfo* info) override {
    started_ = false;
    if (page < 0 || page >= PageCount()) return Fail(FailureKind::kMisuse);
    if (page != openPage_ || entry_ == nullptr) {
      entry_.reset();
      openPage_ = -1;
      const IcoEntry& entry = entries_[page];
      Failure why;
      std::unique_ptr<InputFile> bytes = InputFile::OpenRange(*file_, entry.offset, entry.size);
#ifdef XEVRA_HAVE_PNG
      if (entry.png) entry_ = OpenPngDecoder(std::move(bytes), &why);
#else
      if (entry.png) why = {FailureKind::kUnsupported, "PNG entries are not read by this build"};
#endif
      if (!entry.png) entry_ = OpenIcoBmpDecoder(std::move(bytes), &why);
      if (entry_ == nullptr)
        return Fail(why.kind == FailureKind::kNone ? FailureKind::kCorrupt : why.kind, why.text);
      openPage_ = page;
    }
    if (!entry_->StartPage(0, request, info)) return Pass();
    // The entry's own header decides the size; the directory said the same when it was read.
    if (info->width != entries_[page].width || info->height != entries_[page].height) {
      return Fail(FailureKind::kCorrupt, "entry's size changed");
    }
    started_ = true;
    return true;
  }

  bool ReadRows(uint8_t* rows, size_t stride, int count) override {
    if (!started_) return Fail(FailureKind::kMisuse);
    if (!entry_->ReadRows(rows, stride, count)) {
      started_ = false;
      return Pass();
    }
    return true;
  }

 private:
  // Returns false with the entry decoder's reason as this decoder's.
  bool Pass() {
    const Failure& why = entry_->LastFailure();
    return Fail(why.kind == FailureKind::kNone ? FailureKind::kCorrupt : why.kind, why.text);
  }

  std::unique_ptr<InputFile> file_;
  std::vector<IcoEntry> entries_;   // one a page
  std::unique_ptr<Decoder> entry_;  // over the bytes of page openPage_
  int openPage_ = -1;
  bool started_ = false;
};

}  // namespace

std::unique_ptr<Decoder> OpenIcoDecoder(std::unique_ptr<InputFile> file, Failure* failure) {
  if (file == nullptr) return Refuse(failure, FailureKind::kReadError);
  std::vector<IcoEntry> entries;
  Failure why;
  if (!ReadIcoDirectory(*file, &entries, &why)) return Refuse(failure, why.kind, why.text);
  return std::make_unique<IcoDecoder>(std::move(file), std::move(entries));
}
