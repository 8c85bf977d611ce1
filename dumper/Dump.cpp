// Walks the table of parts: each part's records are parsed just before they
// are printed and dropped after, so memory stays near the file's size.
#include "dumper/Dump.h"

#include <iterator>

#include "dumper/io/Format.h"
#include "dumper/io/Reader.h"
#include "dumper/pe/Parse.h"
#include "dumper/print/Part.h"
#include "dumper/print/Printers.h"

namespace kestrova::dumper {

namespace {

struct PartEntry {
  pe::Area area;
  std::string_view title;
  int anchor;
  void (*run)(print::PartRun&);
};

constexpr PartEntry kParts[] = {
#define PART(Id, title, summary, anchor) {pe::Area::Id, title, pe::anchor, &print::Run##Id},
#include "dumper/Parts.def"
#undef PART
};
static_assert(std::size(kParts) + 1 == pe::kAreaCount, "every part has its own area, after File");

constexpr std::string_view kTitles[] = {
#define PART(Id, title, summary, anchor) title,
#include "dumper/Parts.def"
#undef PART
};

// Generous for any real image (its listing is at most a few times its size;
// ten times for a sparse export table), yet bounded for a file whose tables
// point at each other.
std::uint64_t ListingBudget(std::uint64_t fileSize) { return (std::uint64_t{4} << 20) + 16 * fileSize; }

bool Applies(int anchor, const pe::Headers& h) {
  if (anchor == pe::kAnchorFile) return true;
  if (h.kind != pe::FileKind::Pe || !h.opt.present) return false;
  return static_cast<std::size_t>(anchor) < h.dirs.size() && h.dirs[static_cast<std::size_t>(anchor)].rva != 0;
}

void Run(std::span<const std::uint8_t> bytes, std::string_view displayName, Sink& sink, PageRelease* pages,
         const Options& options) {
  io::Reader file(bytes);
  pe::Anomalies an;
  print::Out o(sink, ListingBudget(bytes.size()));
  pe::Headers h = pe::ParseHeaders(file, an, pages);
  pe::AddressMap map(file, h);
  pe::Budget budget(bytes.size());
  const pe::Context ctx{file, h, map, budget, an, options};
  print::PrintIntro(o, displayName, h);
  for (const PartEntry& p : kParts) {
    if (!Applies(p.anchor, h)) continue;
    print::PartRun run(o, ctx, p.area, p.title);
    p.run(run);
  }
  const bool cut = o.Exhausted();
  o.Close();
  if (cut) {
    // Said where the listing stops, and again in the summary.
    an.Note(pe::Area::File, "listing cut short: it outgrew " + io::Dec(ListingBudget(bytes.size())) +
                                " bytes, far more than a file of this size can describe");
    o.Nl();
    print::AreaAnomalies(o, an, pe::Area::File);
  }
  print::PrintSummary(o, an);
}

class StringSink final : public Sink {
 public:
  explicit StringSink(std::string& s) : s_(s) {}
  void Write(std::string_view text) override { s_.append(text); }

 private:
  std::string& s_;
};

}  // namespace

std::span<const std::string_view> PartTitles() { return kTitles; }

void DumpImage(std::span<const std::uint8_t> bytes, std::string_view displayName, Sink& out) {
  DumpImage(bytes, displayName, out, nullptr);
}

void DumpImage(std::span<const std::uint8_t> bytes, std::string_view displayName, Sink& out, PageRelease* pages,
               const Options& options) {
  // The parsers report damage as values; the only thing left to throw is
  // allocation failure, which must not take the process down either.
  try {
    Run(bytes, displayName, out, pages, options);
  } catch (...) {
    try {
      out.Write("\n  ! error: out of memory; the listing stops here\n");
    } catch (...) {
    }
  }
}

std::string DumpToString(std::span<const std::uint8_t> bytes, std::string_view displayName, const Options& options) {
  std::string s;
  StringSink sink(s);
  DumpImage(bytes, displayName, sink, nullptr, options);
  return s;
}

}  // namespace kestrova::dumper
