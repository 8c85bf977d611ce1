// tdump --diff: the comparison's rules on snapshots made here, and its listing.
// The real pairs (DLLs built with one change each, Wine's two builds) are
// checked against llvm-readobj by tests/corpus/crosscheck_diff.py.
#include <gtest/gtest.h>

#include "dumper/compare/Compare.h"
#include "dumper/print/Comparison.h"
#include "dumper/print/json/JsonPrinter.h"
#include "dumper/print/text/TextPrinter.h"
#include "dumper/lang/catalog/Compare.h"
#include "dumper/lang/catalog/Glance.h"
#include "tests/dumper/Golden.h"

namespace kestrova::dumper::testing {
namespace {

using compare::Export;
using compare::Snapshot;
namespace M = lang::M;

class StringSink final : public io::Sink {
 public:
  void Write(std::string_view t) override { s.append(t); }
  std::string s;
};

Export Fn(std::uint64_t ordinal, std::string name, std::int32_t args = -1) {
  Export e;
  e.ordinal = ordinal;
  e.name = std::move(name);
  e.args = args;
  return e;
}

// One of each kind of change, and the unchanged around them.
std::pair<Snapshot, Snapshot> Pair() {
  Snapshot a, b;
  a.kind = b.kind = compare::Kind::Pe;
  Export fwd = Fn(5, "Fwd"), data = Fn(6, "Thing");
  fwd.forward = "KERNEL32.Sleep";
  a.exports = {Fn(1, "Add", 8), Fn(2, "Sub", 8), Fn(3, "Mul", 0), Fn(4, "Gone"), fwd, data, Fn(7, ""), Fn(8, "Named")};
  fwd.forward = "kernel32.SleepEx";
  Export nowData = data;
  nowData.data = true;
  // Add pops more, Mul moves, Gone is gone, Fwd goes elsewhere, Thing is data now,
  // Named is left with its ordinal only, and New comes.
  b.exports = {Fn(1, "Add", 12), Fn(2, "Sub", 8), Fn(9, "Mul", 0), fwd, nowData, Fn(7, ""), Fn(8, ""), Fn(10, "New")};
  a.imports = {{"KERNEL32.dll", "Sleep", 0, false}, {"ws2_32.dll", "", 3, true}};
  b.imports = {{"kernel32.dll", "Sleep", 0, false}, {"user32.dll", "MessageBoxW", 0, false}};
  a.dlls = {"KERNEL32.dll", "ws2_32.dll"};
  b.dlls = {"kernel32.dll", "user32.dll"};
  a.facts = {{"machine", M::CmpMachine, {}, {"I386", {}}, true}, {"aslr", {}, "ASLR", {{}, M::GlYes}, false},
             {"fileVersion", M::CmpFileVersion, {}, {"1.0.0.0", {}}, false}};
  b.facts = {{"machine", M::CmpMachine, {}, {"I386", {}}, true}, {"aslr", {}, "ASLR", {{}, M::GlNo}, false},
             {"fileVersion", M::CmpFileVersion, {}, {"1.0.0.1", {}}, false}};
  return {a, b};
}

std::string Listing(const compare::Comparison& c, lang::Lang l, bool json = false) {
  StringSink out;
  if (json) {
    print::JsonPrinter o(out, UINT64_MAX);
    print::PrintComparison(o, "old.dll", "new.dll", c);
  } else {
    print::TextPrinter o(out, UINT64_MAX, l);
    print::PrintComparison(o, "old.dll", "new.dll", c);
  }
  return out.s;
}

TEST(Compare, EachKindOfChangeAndItsVerdict) {
  auto [a, b] = Pair();
  const compare::Comparison c = compare::Compare(a, b);
  EXPECT_TRUE(c.BreaksCallers());
  ExpectGolden("comparison", Listing(c, lang::Lang::En));
  ExpectGolden("comparison_zh", Listing(c, lang::Lang::ZhCN));
  ExpectGolden("comparison.json", Listing(c, lang::Lang::En, true));
}

// Only additions and harmless changes: compatible; nothing at all: identical.
TEST(Compare, AdditionsAreCompatibleAndARebuildIsIdentical) {
  auto [a, b] = Pair();
  EXPECT_TRUE(compare::Compare(a, a).Identical());
  Snapshot more = a;
  more.exports.push_back(Fn(11, "Extra"));
  more.facts[1].value.word = M::GlNo;
  const compare::Comparison c = compare::Compare(a, more);
  EXPECT_FALSE(c.BreaksCallers());
  EXPECT_FALSE(c.Identical());
  EXPECT_NE(Listing(c, lang::Lang::En).find("compatible: only additions, and changes that break no caller (2 changes)\n"),
            std::string::npos);
}

// An export without a name is known by its ordinal alone: when that ordinal now
// holds a function the old file had under its name elsewhere, the unnamed one is gone.
TEST(Compare, AnUnnamedExportWhoseOrdinalAnotherTookIsRemoved) {
  Snapshot a, b;
  a.kind = b.kind = compare::Kind::Pe;
  a.exports = {Fn(1, ""), Fn(2, "Moved"), Fn(3, "")};
  b.exports = {Fn(1, "Moved"), Fn(3, "Named")};
  const compare::Comparison c = compare::Compare(a, b);
  ASSERT_EQ(c.exportsRemoved.size(), 1u);
  EXPECT_EQ(c.exportsRemoved[0].ordinal, 1u);  // ordinal 3 only gained a name
  ASSERT_EQ(c.exportsAdded.size(), 1u);
  EXPECT_EQ(c.exportsAdded[0].name, "Named");
  EXPECT_EQ(c.breaks[static_cast<std::size_t>(compare::Break::OrdinalMoved)], 1u);
}

}  // namespace
}  // namespace kestrova::dumper::testing
