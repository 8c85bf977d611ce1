#pragma once
// What every part's parser is handed: the file, its headers, the address map,
// the work budget and the anomaly sink. And the few reads that many parts share.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dumper/io/Reader.h"
#include "dumper/lang/Lang.h"
#include "dumper/pe/Image.h"
#include "dumper/pe/Options.h"

namespace kestrova::dumper::pe {

// Longest name read from the file; longer ones are cut and reported.
inline constexpr std::size_t kMaxName = 4096;

// RVA to file bytes, the way the loader lays the image out.
class AddressMap {
 public:
  AddressMap(const io::Reader& file, const Headers& h);
  // The image from `rva` to the end of what holds it (its section as mapped,
  // or the header area): file bytes, then the zeros the loader fills the rest
  // with. Nothing when `rva` lies outside the image.
  std::optional<io::Reader> View(std::uint64_t rva) const;
  std::optional<std::uint64_t> ToOffset(std::uint64_t rva) const;
  // Index of the section whose virtual range holds `rva`, or kNoSection.
  int SectionOf(std::uint64_t rva) const;
  bool InHeaders(std::uint64_t rva) const { return rva < headerBytes_; }
  // Whether `rva` lies inside the image as mapped (headers or a section).
  bool InImage(std::uint64_t rva) const {
    return flat_ ? rva < imageEnd_ : InHeaders(rva) || SectionOf(rva) != kNoSection;
  }
  // The loader maps this image as the file is laid out (alignment below a page).
  bool Flat() const { return flat_; }

 private:
  const io::Reader& file_;
  const std::vector<Section>& sections_;
  std::vector<std::uint32_t> byAddress_;  // section indices sorted by virtual address
  // A table is read in address order while what it points at lies in one other
  // section, so the two sections found last are most often the next answer;
  // without overlaps a section that holds the address is the only answer.
  bool overlap_ = false;
  mutable std::atomic<int> recent_[2] = {-1, -1};
  std::uint64_t headerBytes_ = 0;
  bool flat_ = false;
  std::uint64_t imageEnd_ = 0;  // flat images: SizeOfImage
};

// Caps the total work of the table walks: no table entry of a real image is
// shared, so the file's size bounds their sum; tables that reuse each other
// (a loop made of pointers) run into this instead of into time.
class Budget {
 public:
  explicit Budget(std::uint64_t fileSize) : left_(fileSize / 2 + 4096) {}
  bool Take() {
    if (left_ == 0) return false;
    --left_;
    return true;
  }
  // Takes `n` steps at once (a table whose size is known up front); false, and
  // nothing taken, when fewer are left.
  bool Take(std::uint64_t n) {
    if (n > left_) return false;
    left_ -= n;
    return true;
  }

 private:
  std::uint64_t left_;
};

struct Facts;

struct Context {
  const io::Reader& file;
  const Headers& h;
  const AddressMap& map;
  Budget& budget;
  Anomalies& an;
  const Options& options;
  // Where parsers note what the summary opening the listing needs; null when
  // nobody asks (a part tested on its own).
  Facts* facts = nullptr;
};

// A data directory opened for reading.
struct DirectoryView {
  bool present = false;  // the entry is not zero
  bool backed = false;   // and file bytes back its start
  std::uint32_t rva = 0, size = 0;
  io::Reader data;       // from the directory's start to the end of what backs it
};

// Directory `index`; when it is present but no file data backs it, reports
// "<what> is not backed by file data" at its RVA.
DirectoryView OpenDirectory(const Context& ctx, int index, Area area, std::string_view what);
DirectoryView OpenDirectory(const Context& ctx, int index, Area area, lang::Msg what);

// A name read from the file and whether it was whole (NUL seen within kMaxName).
struct NameRead {
  std::string_view text;
  bool ok = false;
};

// What a name is, for its warning ("export name 12"). Tables read tens of
// thousands of names, so the text is only put together when there is a warning.
class What {
 public:
  What(const char* text) : text_(text) {}  // NOLINT: a plain label
  What(std::string_view text) : text_(text) {}  // NOLINT
  What(std::string_view text, std::uint64_t number) : text_(text), number_(number), numbered_(true) {}
  What(std::string_view text, std::string_view tail) : text_(text), tail_(tail) {}
  // A label from the catalog; its "{0}", if any, is the number or the tail.
  What(lang::Msg m) : entry_(m) {}  // NOLINT: a plain label
  What(const lang::Entry& e) : entry_(lang::Msg(e)) {}  // NOLINT: M::Foo as it is written
  What(lang::Msg m, std::uint64_t number) : number_(number), numbered_(true), entry_(m) {}
  What(lang::Msg m, std::string_view tail) : tail_(tail), entry_(m) {}
  std::string Str(lang::Lang l) const;

 private:
  std::string_view text_, tail_;
  std::uint64_t number_ = 0;
  bool numbered_ = false;
  std::optional<lang::Msg> entry_;
};

// The NUL-terminated name at `off` of `view`; reports "<what> has no terminating
// NUL" or "<what> is longer than the name limit; cut" at the offset where it stops.
NameRead NameIn(const Context& ctx, const io::Reader& view, std::uint64_t off, Area area, const What& what);
// The same at an RVA; reports "<what> is not backed by file data" when nothing maps there.
NameRead NameAt(const Context& ctx, std::uint64_t rva, Area area, const What& what);

// Visits the `entrySize`-byte entries of a table in `view`, in order, until
// `last(index, offset)` says an entry ends the table (it is not visited) or
// `each(index, offset)` returns false. Stops with a warning when the entries run
// off the end of the view (`endText`) or the budget runs out (`budgetText`).
template <class Last, class Each>
void WalkEntries(const Context& ctx, const io::Reader& view, std::uint64_t entrySize, Area area,
                 std::string_view endText, std::string_view budgetText, Last last, Each each) {
  for (std::uint64_t i = 0;; ++i) {
    std::uint64_t at = i * entrySize;
    if (!view.Has(at, entrySize)) {
      ctx.an.AtOffset(area, view.Base() + at, std::string(endText));
      return;
    }
    if (last(i, at)) return;
    if (!ctx.budget.Take()) {
      ctx.an.AtOffset(area, view.Base() + at, std::string(budgetText));
      return;
    }
    if (!each(i, at)) return;
  }
}

}  // namespace kestrova::dumper::pe
