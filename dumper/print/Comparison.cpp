// The comparison's listing: the verdict and the two files, then what breaks
// callers before what does not, each kind under a heading with its count.
#include "dumper/print/Comparison.h"

#include "dumper/banner.h"
#include "dumper/print/Printers.h"
#include "dumper/lang/catalog/Compare.h"

namespace kestrova::dumper::print {

namespace {

using compare::Break;
using compare::Comparison;
using compare::Export;
using compare::ExportChange;
using compare::FactChange;
using compare::Import;
using compare::Value;
namespace M = lang::M;

std::uint64_t Changes(const Comparison& c) {
  std::uint64_t n = c.exportsRemoved.size() + c.exportsAdded.size() + c.exportsChanged.size() + c.importsAdded.size() +
                    c.importsRemoved.size() + c.dllsAdded.size() + c.dllsRemoved.size() + c.facts.size();
  for (const auto* v : {&c.typesAdded, &c.typesRemoved, &c.methodsAdded, &c.methodsRemoved, &c.membersAdded,
                        &c.membersRemoved, &c.symbolsAdded, &c.symbolsRemoved, &c.needsAdded, &c.needsRemoved})
    n += v->size();
  return n;
}

void Verdict(Printer& o, const Comparison& c) {
  Field(o, M::CmpVerdict, "verdict");
  if (c.Identical()) {
    o.Word({}, M::CmpIdentical, "identical");
  } else if (!c.BreaksCallers()) {
    o.Word({}, M::CmpCompatible, "compatible");
    Count(o, "changes", Changes(c), M::CmpChangesOne, M::CmpChangesMany);
  } else {
    o.Word({}, M::CmpBreaks, "breaks");
    Scoped counts(o, Scoped::kObject, "breaks");
    NonZeroCounts n(o, "");
    auto add = [&](Break b, Key k, lang::Msg one, lang::Msg many) { n.Add(k, c.breaks[static_cast<std::size_t>(b)], one, many); };
    add(Break::HeaderChanged, "machine", M::CmpBrMachineOne, M::CmpBrMachineMany);
    add(Break::ExportRemoved, "exportsRemoved", M::CmpBrExportRemovedOne, M::CmpBrExportRemovedMany);
    add(Break::NameDropped, "namesDropped", M::CmpBrNameDroppedOne, M::CmpBrNameDroppedMany);
    add(Break::OrdinalMoved, "ordinalsMoved", M::CmpBrOrdinalMovedOne, M::CmpBrOrdinalMovedMany);
    add(Break::ForwarderChanged, "forwardersChanged", M::CmpBrForwarderOne, M::CmpBrForwarderMany);
    add(Break::DataOrCode, "dataOrCode", M::CmpBrDataOne, M::CmpBrDataMany);
    add(Break::ArgsChanged, "argSizesChanged", M::CmpBrArgsOne, M::CmpBrArgsMany);
    add(Break::TypeRemoved, "typesRemoved", M::CmpBrTypeRemovedOne, M::CmpBrTypeRemovedMany);
    add(Break::MethodRemoved, "methodsRemoved", M::CmpBrMethodRemovedOne, M::CmpBrMethodRemovedMany);
    add(Break::SymbolRemoved, "symbolsRemoved", M::CmpBrSymbolRemovedOne, M::CmpBrSymbolRemovedMany);
  }
  o.Nl();
}

// A heading with the count, then one row a line; in JSON a list under `key`.
template <class T, class Row>
void Section(Printer& o, lang::Msg heading, Key key, const std::vector<T>& items, Row row) {
  if (items.empty()) return;
  o.Nl();
  o.Say(heading, {items.size()});
  o.Nl();
  Scoped list(o, Scoped::kList, key);
  for (const T& x : items) {
    o.Text("  ");
    row(x);
    o.Nl();
  }
}

void Names(Printer& o, lang::Msg heading, Key key, const std::vector<std::string>& names) {
  Section(o, heading, key, names, [&](const std::string& s) { o.Name(s); });
}

void Who(Printer& o, const Export& e) {
  o.DecR("ordinal", e.ordinal, 7).Text("  ");
  if (e.name.empty()) o.Say(M::CmpNoName).Fact("noName", true);
  else o.Name("name", e.name);
}

void ExportRow(Printer& o, const Export& e) {
  Scoped one(o, Scoped::kObject, {});
  Who(o, e);
  if (!e.forward.empty()) o.Text("  -> ").Name("forwarder", e.forward);
  else if (e.data) o.Say(M::CmpData).Fact("data", true);
}

void Forwarder(Printer& o, Key k, std::string_view f) {
  if (f.empty()) o.Say(M::CmpOwnCode);
  else o.Name(k, f);
}

void ChangeRow(Printer& o, const ExportChange& ch) {
  using What = ExportChange::What;
  Scoped one(o, Scoped::kObject, {});
  Who(o, ch.before);
  o.Col(kValueCol);
  switch (ch.what) {
    case What::Ordinal:
      o.Say(M::CmpChOrdinal, {ch.before.ordinal, ch.after.ordinal}).FactName("change", "ordinal");
      o.Fact("newOrdinal", ch.after.ordinal);
      break;
    case What::Forwarder:
    case What::Unforwarded:
      o.Say(M::CmpChForwarder).FactName("change", "forwarder");
      Forwarder(o, "oldForwarder", ch.before.forward);
      o.Text(" -> ");
      Forwarder(o, "newForwarder", ch.after.forward);
      break;
    case What::DataOrCode:
      o.Say(ch.after.data ? M::CmpChBecameData : M::CmpChBecameCode)
          .FactName("change", ch.after.data ? "becameData" : "becameFunction");
      break;
    case What::Args:
      o.Say(M::CmpChArgs, {ch.before.args, ch.after.args}).FactName("change", "argBytes");
      o.Fact("oldArgBytes", static_cast<std::uint64_t>(ch.before.args)).Fact("newArgBytes", static_cast<std::uint64_t>(ch.after.args));
      break;
    case What::NameDropped: o.Say(M::CmpChNameDropped).FactName("change", "nameDropped"); break;
  }
  o.Fact("breaks", ch.breaks);
}

void ImportRow(Printer& o, const Import& i) {
  Scoped one(o, Scoped::kObject, {});
  o.Name("dll", i.dll).Text("  ");
  if (i.byOrdinal) o.Ch('#').Dec("ordinal", i.ordinal);
  else o.Name("function", i.name);
}

void FactValue(Printer& o, Key k, const Value& v, bool missing) {
  if (missing) o.Say(M::CmpNotThere);
  else if (v.word) o.Word(k, *v.word);
  else o.Name(k, v.text);
}

void FactRow(Printer& o, const FactChange& ch) {
  Scoped one(o, Scoped::kObject, {});
  if (ch.before.label) o.Say(*ch.before.label);
  else o.Text(ch.before.name);
  o.FactName("field", ch.before.key).Col(kValueCol);
  FactValue(o, "old", ch.before.value, ch.beforeMissing);
  o.Text(" -> ");
  FactValue(o, "new", ch.after.value, ch.afterMissing);
  if (ch.before.breaks) o.Fact("breaks", true);
}

}  // namespace

lang::Msg KindWord(compare::Kind k) {
  switch (k) {
    case compare::Kind::Archive: return M::KindArchive;
    case compare::Kind::Object: return M::KindObject;
    case compare::Kind::Ne: return M::KindNe;
    case compare::Kind::Pe: return M::CmpKindPe;
    default: return M::KindNotExecutable;
  }
}

std::string_view KindJson(compare::Kind k) {
  switch (k) {
    case compare::Kind::Archive: return "archive";
    case compare::Kind::Object: return "COFF object";
    case compare::Kind::Ne: return "NE";
    case compare::Kind::Pe: return "PE";
    default: return "unknown";
  }
}

void PrintComparison(Printer& o, std::string_view before, std::string_view after, const Comparison& c) {
  o.BeginDocument();
  o.Word("tool", kBanner);
  o.Nl();
  o.Nl();
  Verdict(o, c);
  Field(o, M::CmpOldFile, "old").Name(before);
  o.Nl();
  Field(o, M::CmpNewFile, "new").Name(after);
  o.Nl();
  Field(o, M::CmpKind, "kind").Word({}, KindWord(c.kind), KindJson(c.kind));
  o.Nl();
  Section(o, M::CmpExportsRemoved, "exportsRemoved", c.exportsRemoved, [&](const Export& e) { ExportRow(o, e); });
  Section(o, M::CmpExportsChanged, "exportsChanged", c.exportsChanged, [&](const ExportChange& ch) { ChangeRow(o, ch); });
  Section(o, M::CmpExportsAdded, "exportsAdded", c.exportsAdded, [&](const Export& e) { ExportRow(o, e); });
  Names(o, M::CmpDllsAdded, "dllsAdded", c.dllsAdded);
  Names(o, M::CmpDllsRemoved, "dllsRemoved", c.dllsRemoved);
  Section(o, M::CmpImportsAdded, "importsAdded", c.importsAdded, [&](const Import& i) { ImportRow(o, i); });
  Section(o, M::CmpImportsRemoved, "importsRemoved", c.importsRemoved, [&](const Import& i) { ImportRow(o, i); });
  Section(o, M::CmpHeaders, "headers", c.facts, [&](const FactChange& ch) { FactRow(o, ch); });
  Names(o, M::CmpTypesRemoved, "typesRemoved", c.typesRemoved);
  Names(o, M::CmpMethodsRemoved, "methodsRemoved", c.methodsRemoved);
  Names(o, M::CmpTypesAdded, "typesAdded", c.typesAdded);
  Names(o, M::CmpMethodsAdded, "methodsAdded", c.methodsAdded);
  Names(o, M::CmpSymbolsRemoved, "symbolsRemoved", c.symbolsRemoved);
  Names(o, M::CmpSymbolsAdded, "symbolsAdded", c.symbolsAdded);
  Names(o, M::CmpMembersRemoved, "membersRemoved", c.membersRemoved);
  Names(o, M::CmpMembersAdded, "membersAdded", c.membersAdded);
  Names(o, M::CmpNeedsAdded, "needsAdded", c.needsAdded);
  Names(o, M::CmpNeedsRemoved, "needsRemoved", c.needsRemoved);
  o.EndDocument();
}

}  // namespace kestrova::dumper::print
