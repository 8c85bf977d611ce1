// Runs the parsers and printers in listing order. Each table is parsed just
// before it is printed and dropped after, so memory stays near the file's size.
#include "dumper/Dump.h"

#include "dumper/io/Format.h"
#include "dumper/io/Reader.h"
#include "dumper/pe/Parse.h"
#include "dumper/print/Printers.h"

namespace kestrova::dumper {

namespace {

// Generous for any real image (its listing is at most a few times its size;
// ten times for a sparse export table), yet bounded for a file whose tables
// point at each other.
std::uint64_t ListingBudget(std::uint64_t fileSize) { return (std::uint64_t{4} << 20) + 16 * fileSize; }

void Run(std::span<const std::uint8_t> bytes, std::string_view displayName, Sink& sink, PageRelease* pages) {
  io::Reader file(bytes);
  pe::Anomalies an;
  print::Out o(sink, ListingBudget(bytes.size()));
  pe::Headers h = pe::ParseHeaders(file, an, pages);
  print::PrintIntro(o, displayName, h);
  print::PrintDos(o, h, an);
  print::PrintCoff(o, h, an);
  print::PrintOptional(o, h, an);
  print::PrintDirectories(o, h, an);
  print::PrintSections(o, h, an);
  if (h.kind == pe::FileKind::Pe && h.opt.present) {
    pe::AddressMap map(file, h);
    pe::Budget budget(bytes.size());
    {
      pe::ImportTable t = pe::ParseImports(file, h, map, budget, an);
      print::PrintImports(o, h, t, an);
    }
    {
      pe::BoundImportTable t = pe::ParseBoundImports(file, h, map, an);
      print::PrintBoundImports(o, t, an);
    }
    {
      pe::ImportTable t = pe::ParseDelayImports(file, h, map, budget, an);
      print::PrintDelayImports(o, h, t, an);
    }
    {
      pe::ExportTable t = pe::ParseExports(file, h, map, an);
      pe::ExportWalker walker(t, map, an);
      print::PrintExports(o, t, walker, an);
    }
  }
  if (o.Exhausted()) {
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

void DumpImage(std::span<const std::uint8_t> bytes, std::string_view displayName, Sink& out) {
  DumpImage(bytes, displayName, out, nullptr);
}

void DumpImage(std::span<const std::uint8_t> bytes, std::string_view displayName, Sink& out, PageRelease* pages) {
  // The parsers report damage as values; the only thing left to throw is
  // allocation failure, which must not take the process down either.
  try {
    Run(bytes, displayName, out, pages);
  } catch (...) {
    try {
      out.Write("\n  ! error: out of memory; the listing stops here\n");
    } catch (...) {
    }
  }
}

std::string DumpToString(std::span<const std::uint8_t> bytes, std::string_view displayName) {
  std::string s;
  StringSink sink(s);
  DumpImage(bytes, displayName, sink);
  return s;
}

}  // namespace kestrova::dumper
