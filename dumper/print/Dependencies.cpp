// Dependencies: the verdict first, then every DLL of the closure as a tree
// (in full where a module first appears, as a reference after), then what fails.
#include "dumper/lang/catalog/Dependencies.h"
#include "dumper/print/Part.h"
#include "dumper/system/Dependencies.h"

namespace kestrova::dumper::print {

void PrintDependencies(Printer& o, const system::Closure& c, const pe::Context& ctx);

using namespace system;
namespace M = lang::M;

namespace {

lang::Msg FailureWords(Failure f) {
  switch (f) {
    case Failure::DllNotFound: return M::DepDllNotFound;
    case Failure::ContractWithoutHost: return M::DepContractWithoutHost;
    case Failure::WrongMachine: return M::DepWrongMachine;
    case Failure::BadImage: return M::DepBadImage;
    case Failure::NameMissing: return M::DepNameMissing;
    case Failure::OrdinalMissing: return M::DepOrdinalMissing;
    case Failure::ForwardDllMissing: return M::DepForwardDllMissing;
    case Failure::ForwardNameMissing: return M::DepForwardNameMissing;
    case Failure::ForwardTooDeep: return M::DepForwardTooDeep;
    case Failure::AssemblyMissing: return M::DepAssemblyMissing;
  }
  return M::DepDllNotFound;
}

std::string_view FailureKey(Failure f) {
  switch (f) {
    case Failure::DllNotFound: return "dllNotFound";
    case Failure::ContractWithoutHost: return "apiSetWithoutHost";
    case Failure::WrongMachine: return "wrongMachine";
    case Failure::BadImage: return "badImage";
    case Failure::NameMissing: return "nameMissing";
    case Failure::OrdinalMissing: return "ordinalMissing";
    case Failure::ForwardDllMissing: return "forwardDllMissing";
    case Failure::ForwardNameMissing: return "forwardNameMissing";
    case Failure::ForwardTooDeep: return "forwardTooDeep";
    case Failure::AssemblyMissing: return "assemblyMissing";
  }
  return "?";
}

// Why nothing was resolved: the walk and the command line give it in English,
// as JSON keeps it; the listing says it in its own language, by the entry whose
// English text it is. A folder in it is shown as any name from outside.
constexpr lang::Msg kReasons[] = {
    M::DepWhyNoSystemBecause,  M::DepWhyNoSystem,    M::DepWhyNotImage,     M::DepWhyImportsNothing,
    M::DepWhyNoWindowsIn,      M::DepWhyCannotList,  M::DepWhyNoSystem32In, M::DepWhyNamesOne,
    M::DepWhyCannotReadOthers, M::DepWhySystemFolderUnknown,
};

void Reason(Printer& o, std::string_view why) {
  for (const lang::Msg m : kReasons) {
    const std::string_view en = lang::Text(m, lang::Lang::En);
    const std::size_t at = en.find("{0}");
    if (at == std::string_view::npos) {
      if (why != en) continue;
      o.Say(m);
      return;
    }
    const std::string_view head = en.substr(0, at), tail = en.substr(at + 3);
    if (why.size() < head.size() + tail.size() || !why.starts_with(head) || !why.ends_with(tail)) continue;
    const std::string_view inner = why.substr(head.size(), why.size() - head.size() - tail.size());
    const std::string_view said = o.L(m);
    const std::size_t place = said.find("{0}");
    o.Text(said.substr(0, place));
    if (m == M::DepWhyNoSystemBecause) Reason(o, inner);  // the system's own reason, within
    else o.Name(kNoKey, inner);
    o.Text(said.substr(place + 3));
    return;
  }
  o.Name(kNoKey, why);
}

void Verdict(Printer& o, const Closure& c) {
  Field(o, M::DepVerdict, "verdict");
  const std::size_t reached = c.modules.size() - 1;  // the program itself aside
  if (c.WillLoad()) {
    o.Word({}, M::DepWillLoad, "loads");
    Count(o, "modules", reached, M::DepAllModulesOne, M::DepAllModulesMany);
    o.Say(M::DepEveryImportResolved);
  } else {
    o.Word({}, M::DepWillNotLoad, "fails");
    NonZeroCounts counts(o, "");
    counts.Add("dllsMissing", c.dllsMissing, M::DepDllsMissingOne, M::DepDllsMissingMany);
    counts.Add("functionsMissing", c.functionsMissing, M::DepFunctionsMissingOne, M::DepFunctionsMissingMany);
    counts.Add("wrongMachine", c.wrongMachine, M::DepWrongMachineOne, M::DepWrongMachineMany);
    counts.Add("badImages", c.badImages, M::DepBadImagesOne, M::DepBadImagesMany);
    counts.Add("assembliesMissing", c.assembliesMissing, M::DepAssembliesMissingOne, M::DepAssembliesMissingMany);
  }
  if (c.delayedFailures != 0) Count(o, "delayedFailures", c.delayedFailures, M::DepDelayedOne, M::DepDelayedMany);
  if (c.cutModules || c.cutWork) {
    o.Say(c.cutModules ? M::DepCutModules : M::DepCutWork);
    o.Fact("walkCut", true);
  }
  o.Nl();
}

void Edge(Printer& o, const Closure& c, const system::Edge& e, std::size_t depth, bool seen) {
  Scoped row(o, Scoped::kObject, {});
  o.Fact("depth", std::uint64_t{depth});
  o.Text(std::string(2 * depth, ' ')).Name("dll", e.imported);
  if (e.delay) o.Say(M::DepDelayLoad).Fact("delay", true);
  if (e.forward) o.Say(M::DepForwarder).Fact("forwarder", true);
  if (e.contract == ApiSetHit::Kind::Host) {
    o.Say(M::DepApiSetTo).Name("apiSetHost", e.host);
    if (e.exception) o.Say(M::DepForThisImporter).Fact("apiSetException", true);
  }
  o.Col(kValueCol);
  if (e.module < 0 && !e.assembly.empty()) {
    // Held by an assembly that was not bound: the loader never searches the folders for it.
    o.Word("rule", M::DepRuleSideBySide).Say(M::DepSep);
    o.Word("sxs", e.sxsJudged ? M::DepNotInWinSxs : M::DepNoWinSxs, e.sxsJudged ? "notInWinSxS" : "noWinSxS");
    o.Say(M::DepColon).Name("assembly", e.assembly);
  } else if (e.module < 0) {
    o.Word("rule", e.cut ? M::DepNotWalked : M::DepRuleNotFound, e.cut ? "notWalked" : "notFound");
  } else {
    const Node& n = c.modules[static_cast<std::size_t>(e.module)];
    const Rule rule = e.rule == Rule::Loaded ? n.rule : e.rule;
    o.Word("rule", RuleWords(rule));
    if (!e.assembly.empty()) o.Say(M::DepOpenParen).Name("assembly", e.assembly).Say(M::DepCloseParen);
    o.Text("  ").Name("path", n.path);
    if (n.damage != 0) {
      Count(o, "anomalies", n.damage, M::DepAnomaliesOne, M::DepAnomaliesMany);
    }
    if (seen) o.Say(M::DepSeeAbove).Fact("seen", true);
  }
  o.Nl();
}

// Depth first, with a stack of our own: each module's edges are listed where it
// first appears, so the rows are at most the edges of the closure.
void Tree(Printer& o, const Closure& c) {
  Scoped list(o, Scoped::kList, "tree");
  std::vector<bool> shown(c.modules.size(), false);
  shown[0] = true;
  struct Item {
    const system::Edge* edge;
    std::size_t depth;
  };
  std::vector<Item> stack;
  for (auto e = c.modules[0].edges.rbegin(); e != c.modules[0].edges.rend(); ++e) stack.push_back({&*e, 1});
  while (!stack.empty() && !o.Exhausted()) {
    const Item it = stack.back();
    stack.pop_back();
    const std::int32_t m = it.edge->module;
    const bool seen = m >= 0 && shown[static_cast<std::size_t>(m)];
    Edge(o, c, *it.edge, it.depth, seen);
    if (m < 0 || seen) continue;
    shown[static_cast<std::size_t>(m)] = true;
    const Node& n = c.modules[static_cast<std::size_t>(m)];
    for (auto e = n.edges.rbegin(); e != n.edges.rend(); ++e) stack.push_back({&*e, it.depth + 1});
  }
}

// The manifest's dependent assemblies: the version asked for, the one bound and its folder.
void Assemblies(Printer& o, const Closure& c) {
  if (c.assemblies.empty()) return;
  Scoped list(o, Scoped::kList, "sideBySide");
  for (const SxsBinding& b : c.assemblies) {
    Scoped row(o, Scoped::kObject, {});
    Field(o, M::DepSideBySide).Name("assembly", b.asked.name).Ch(' ').Name("version", b.asked.version);
    if (!b.folder.empty()) {
      o.Text(" -> ").Name("bound", b.version).Text("  ").Name("folder", b.folder);
    } else {
      o.Text("  ").Word("sxs", b.judged ? M::DepNotInWinSxs : M::DepNoWinSxs, b.judged ? "notInWinSxS" : "noWinSxS");
    }
    o.Nl();
  }
}

void Problems(Printer& o, const Closure& c) {
  if (c.problems.empty()) return;
  o.Nl();
  o.Say(M::DepWhatFails).Nl();
  Scoped list(o, Scoped::kList, "problems");
  for (const Problem& p : c.problems) {
    if (o.Exhausted()) return;
    Scoped row(o, Scoped::kObject, {});
    o.Text("    ").Word("when", p.delayed ? M::DepWhenCalled : M::DepAtStart, p.delayed ? "whenCalled" : "atStart");
    o.Text("  ").Word("kind", FailureWords(p.kind), FailureKey(p.kind)).Say(M::DepColon);
    o.Name("importer", c.modules[p.importer].name).Text(" -> ");
    if (!p.dll.empty()) o.Name("dll", p.dll);
    if (!p.function.empty()) o.Ch(' ').Name("function", p.function);
    if (!p.forward.empty()) o.Say(M::DepForwardsTo).Name("forward", p.forward).Say(M::DepCloseParen);
    if (!p.assembly.empty()) o.Say(M::DepAssembly).Name("assembly", p.assembly);
    o.Nl();
  }
}

}  // namespace

void PrintDependencies(Printer& o, const Closure& c, const pe::Context& ctx) {
  if (c.modules.empty()) {
    Field(o, M::DepVerdict, "verdict").Word({}, M::DepNotResolved, "unresolved");
    Reason(o, c.why);
    o.FactName("why", c.why);
    o.Nl();
    return;
  }
  Verdict(o, c);
  if (const Environment* env = ctx.options.deps) {
    Field(o, M::DepWindowsFolder).Name("windows", env->view.windows);
    o.Nl();
    Field(o, M::DepKnownDlls).Word("knownDllsFrom",
                                   env->view.knownFrom == SystemView::KnownFrom::Registry    ? M::DepKnownFromRegistry
                                   : env->view.knownFrom == SystemView::KnownFrom::SystemReg ? M::DepKnownFromSystemReg
                                                                                               : M::DepKnownFromFixedList);
    o.Nl();
    Field(o, M::DepAppFolder).Name("appDir", env->appDir);
    o.Nl();
  }
  Assemblies(o, c);
  o.Nl();
  Tree(o, c);
  Problems(o, c);
}

KESTROVA_PART(Dependencies)

}  // namespace kestrova::dumper::print
