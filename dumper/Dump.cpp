// Walks the table of parts: each part's records are parsed just before they
// are printed and dropped after, so memory stays near the file's size.
#include "dumper/Dump.h"
#include "dumper/lang/catalog/Common.h"
#include "dumper/lang/catalog/Titles.h"
#include "dumper/lang/catalog/Object.h"

#include <iterator>

#include "dumper/coff/Detect.h"
#include "dumper/io/Format.h"
#include "dumper/io/Reader.h"
#include "dumper/io/Spill.h"
#include "dumper/pe/Facts.h"
#include "dumper/pe/Parse.h"
#include "dumper/print/Part.h"
#include "dumper/print/Printers.h"
#include "dumper/print/json/JsonPrinter.h"
#include "dumper/print/text/TextPrinter.h"

namespace kestrova::dumper {

namespace {

struct PartEntry {
  pe::Area area;
  lang::Msg title;
  int anchor;
  void (*run)(print::PartRun&);
};

constexpr PartEntry kParts[] = {
#define PART(Id, title, titleZh, summary, summaryZh, anchor) {pe::Area::Id, lang::M::Title##Id, pe::anchor, &print::Run##Id},
#include "dumper/Parts.def"
#undef PART
};
static_assert(std::size(kParts) + 1 == pe::kAreaCount, "every part has its own area, after File");

constexpr lang::Msg kTitles[] = {
#define PART(Id, title, titleZh, summary, summaryZh, anchor) lang::M::Title##Id,
#include "dumper/Parts.def"
#undef PART
};

// Generous for any real image (its listing is at most a few times its size;
// ten times for a sparse export table), yet bounded for a file whose tables
// point at each other. JSON spells out its keys, so it gets more room.
std::uint64_t ListingBudget(std::uint64_t fileSize, bool json) {
  const std::uint64_t text = (std::uint64_t{4} << 20) + 16 * fileSize;
  return json ? 3 * text : text;
}

// What every part may write whatever the parts before it wrote: more than any
// part of a small structure (TLS, debug entries, a signature) needs in full.
constexpr std::uint64_t kPartShare = 64 * 1024;

bool Applies(int anchor, const pe::Headers& h) {
  if (anchor == pe::kAnchorFile || anchor == pe::kAnchorSummary) return true;
  if (h.kind != pe::FileKind::Pe || !h.opt.present) return false;
  return static_cast<std::size_t>(anchor) < h.dirs.size() && h.dirs[static_cast<std::size_t>(anchor)].rva != 0;
}

// Counts what it is given and keeps none of it.
class NullSink final : public Sink {
 public:
  void Write(std::string_view) override {}
};

void Run(std::span<const std::uint8_t> bytes, std::string_view displayName, print::Printer& o, PageRelease* pages,
         const Options& options) {
  io::Reader file(bytes);
  pe::Anomalies an;
  pe::Headers h = pe::ParseHeaders(file, an, pages, true, options.lang);
  pe::AddressMap map(file, h);
  pe::Facts facts;
  o.BeginDocument();
  // A file that is no PE image may still be a kind with parts of its own.
  std::string_view otherKind, otherKindJson;
  if (h.kind != pe::FileKind::Pe) {
    auto kind = [&](lang::Msg m, std::string_view json) {
      otherKind = o.L(m);
      otherKindJson = json;
    };
    switch (coff::DetectKind(file)) {
      case coff::Kind::Archive: kind(lang::M::KindArchive, "archive"); break;
      case coff::Kind::Object: kind(lang::M::KindObject, "COFF object"); break;
      case coff::Kind::BigObject: kind(lang::M::KindBigObject, "big COFF object"); break;
      case coff::Kind::LtcgObject: kind(lang::M::ObGlLtcg, "/GL object"); break;
      case coff::Kind::Ne: kind(lang::M::KindNe, "NE"); break;
      default: break;
    }
  }
  print::PrintIntro(o, displayName, h, otherKind, otherKindJson);
  facts.otherKind = otherKind;
  std::size_t left = 0;
  for (const PartEntry& p : kParts) left += Applies(p.anchor, h) ? 1u : 0u;
  const std::uint64_t budget = ListingBudget(bytes.size(), options.json);
  auto run = [&](const PartEntry& p) {
    // Each part may use what the listing has left, less the shares kept for
    // the parts after it, and never less than its own share.
    const std::uint64_t kept = kPartShare * left, used = o.Written();
    const std::uint64_t allowance = budget > used + kept ? budget - used - kept : 0;
    // Each part has its own work budget, so one that spends it hides no other.
    pe::Budget work(bytes.size());
    const pe::Context ctx{file, h, map, work, an, options, &facts};
    print::PartRun partRun(o, ctx, p.area, p.title, allowance > kPartShare ? allowance : kPartShare);
    p.run(partRun);
  };
  o.Open("parts");
  // The summary is made from what every other part found, yet shown first:
  // the other parts wait in a spill, it is written, then they follow.
  const PartEntry* summary = nullptr;
  io::Spill spill;
  o.Members(true);
  o.Divert(&spill);
  for (const PartEntry& p : kParts) {
    if (!Applies(p.anchor, h)) continue;
    if (p.anchor == pe::kAnchorSummary) {
      summary = &p;
      continue;
    }
    --left;
    run(p);
  }
  if (summary != nullptr) {
    // Once to learn how many lines it takes, so it can say where the others start.
    NullSink none;
    o.Divert(&none);
    const std::uint64_t before = o.Lines();
    o.Members(false);
    run(*summary);
    o.Divert(&none);
    facts.lineBase = o.Lines() - before;
    o.Divert(nullptr);
    o.Members(false);
    --left;
    run(*summary);
  }
  o.Divert(nullptr);
  spill.ReplayTo(o.Home());
  o.Members(true);
  o.Close();
  o.BeginClosing();
  print::PrintSummary(o, an);
  o.EndDocument();
}

void Dump(std::span<const std::uint8_t> bytes, std::string_view displayName, Sink& sink, PageRelease* pages,
          const Options& options) {
  if (options.json) {
    // JSON is a contract with scripts: its words stay English in every language.
    Options english = options;
    english.lang = lang::Lang::En;
    english.wrap = 0;
    print::JsonPrinter o(sink, ListingBudget(bytes.size(), true));
    Run(bytes, displayName, o, pages, english);
  } else {
    print::TextPrinter o(sink, ListingBudget(bytes.size(), false), options.lang, options.wrap);
    Run(bytes, displayName, o, pages, options);
  }
}

class StringSink final : public Sink {
 public:
  explicit StringSink(std::string& s) : s_(s) {}
  void Write(std::string_view text) override { s_.append(text); }

 private:
  std::string& s_;
};

}  // namespace

std::span<const lang::Msg> PartTitles() { return kTitles; }

void DumpImage(std::span<const std::uint8_t> bytes, std::string_view displayName, Sink& out) {
  DumpImage(bytes, displayName, out, nullptr);
}

void DumpImage(std::span<const std::uint8_t> bytes, std::string_view displayName, Sink& out, PageRelease* pages,
               const Options& options) {
  // The parsers report damage as values; the only thing left to throw is
  // allocation failure, which must not take the process down either.
  try {
    Dump(bytes, displayName, out, pages, options);
  } catch (...) {
    try {
      out.Write(options.json ? "\n{\"schema\":1,\"error\":\"out of memory; the listing stops here\"}\n"
                             : "\n" + std::string(lang::Text(lang::M::OutOfMemory, options.lang)) + "\n");
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
