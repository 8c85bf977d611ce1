// Dependencies: the verdict first, then every DLL of the closure as a tree
// (in full where a module first appears, as a reference after), then what fails.
#include "dumper/print/Part.h"
#include "dumper/system/Dependencies.h"

namespace kestrova::dumper::print {

void PrintDependencies(Printer& o, const system::Closure& c, const pe::Context& ctx);

using namespace system;

namespace {

std::string_view FailureWords(Failure f) {
  switch (f) {
    case Failure::DllNotFound: return "DLL not found";
    case Failure::ContractWithoutHost: return "API set without a host";
    case Failure::WrongMachine: return "wrong machine (0xC000007B)";
    case Failure::BadImage: return "not a valid image (0xC000007B)";
    case Failure::NameMissing: return "function missing";
    case Failure::OrdinalMissing: return "ordinal missing";
    case Failure::ForwardDllMissing: return "forwarder to a missing DLL";
    case Failure::ForwardNameMissing: return "forwarder to a missing function";
    case Failure::ForwardTooDeep: return "forwarders nested too deep";
    case Failure::AssemblyMissing: return "side-by-side assembly not in WinSxS (the process is not created)";
  }
  return "?";
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

void Verdict(Printer& o, const Closure& c) {
  Field(o, "Verdict", "verdict");
  const std::size_t reached = c.modules.size() - 1;  // the program itself aside
  if (c.WillLoad()) {
    o.Word({}, "will load: ", "loads").Text("all ");
    Count(o, "modules", reached, "module found", "modules found");
    o.Text(", every import resolved");
  } else {
    o.Word({}, "will not load: ", "fails");
    NonZeroCounts counts(o, "");
    counts.Add("dllsMissing", c.dllsMissing, "DLL missing", "DLLs missing");
    counts.Add("functionsMissing", c.functionsMissing, "function missing", "functions missing");
    counts.Add("wrongMachine", c.wrongMachine, "DLL for the wrong machine (0xC000007B)",
               "DLLs for the wrong machine (0xC000007B)");
    counts.Add("badImages", c.badImages, "DLL not a valid image", "DLLs not valid images");
    counts.Add("assembliesMissing", c.assembliesMissing, "side-by-side assembly missing",
               "side-by-side assemblies missing");
  }
  if (c.delayedFailures != 0) {
    o.Text("; ");
    Count(o, "delayedFailures", c.delayedFailures, "failure", "failures");
    o.Text(" only when a delay-loaded DLL is first called");
  }
  if (c.cutModules || c.cutWork) {
    o.Text(c.cutModules ? " (walk stopped at the module bound)" : " (walk stopped at the work bound)");
    o.Fact("walkCut", true);
  }
  o.Nl();
}

void Edge(Printer& o, const Closure& c, const system::Edge& e, std::size_t depth, bool seen) {
  Scoped row(o, Scoped::kObject, {});
  o.Fact("depth", std::uint64_t{depth});
  o.Text(std::string(2 * depth, ' ')).Name("dll", e.imported);
  if (e.delay) o.Text(" (delay-load)").Fact("delay", true);
  if (e.forward) o.Text(" (forwarder)").Fact("forwarder", true);
  if (e.contract == ApiSetHit::Kind::Host) {
    o.Text(" api set -> ").Name("apiSetHost", e.host);
    if (e.exception) o.Text(" (for this importer)").Fact("apiSetException", true);
  }
  o.Col(kValueCol);
  if (e.module < 0 && !e.assembly.empty()) {
    // Held by an assembly that was not bound: the loader never searches the folders for it.
    o.Word("rule", "side-by-side").Text(", ").Word("sxs", e.sxsJudged ? "not in WinSxS" : "no WinSxS to look in",
                                                   e.sxsJudged ? "notInWinSxS" : "noWinSxS");
    o.Text(": ").Name("assembly", e.assembly);
  } else if (e.module < 0) {
    o.Word("rule", e.cut ? "not walked: module bound" : "not found", e.cut ? "notWalked" : "notFound");
  } else {
    const Node& n = c.modules[static_cast<std::size_t>(e.module)];
    const Rule rule = e.rule == Rule::Loaded ? n.rule : e.rule;
    o.Word("rule", RuleName(rule));
    if (!e.assembly.empty()) o.Text(" (").Name("assembly", e.assembly).Ch(')');
    o.Text("  ").Name("path", n.path);
    if (n.damage != 0) {
      o.Text("  (");
      Count(o, "anomalies", n.damage, "anomaly in it", "anomalies in it");
      o.Ch(')');
    }
    if (seen) o.Text("  (see above)").Fact("seen", true);
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
    Field(o, "Side-by-side").Name("assembly", b.asked.name).Ch(' ').Name("version", b.asked.version);
    if (!b.folder.empty()) {
      o.Text(" -> ").Name("bound", b.version).Text("  ").Name("folder", b.folder);
    } else {
      o.Text("  ").Word("sxs", b.judged ? "not in WinSxS" : "no WinSxS to look in", b.judged ? "notInWinSxS" : "noWinSxS");
    }
    o.Nl();
  }
}

void Problems(Printer& o, const Closure& c) {
  if (c.problems.empty()) return;
  o.Nl();
  o.Text("  What fails").Nl();
  Scoped list(o, Scoped::kList, "problems");
  for (const Problem& p : c.problems) {
    if (o.Exhausted()) return;
    Scoped row(o, Scoped::kObject, {});
    o.Text("    ").Word("when", p.delayed ? "when called" : "at start   ", p.delayed ? "whenCalled" : "atStart");
    o.Text("  ").Word("kind", FailureWords(p.kind), FailureKey(p.kind)).Text(": ");
    o.Name("importer", c.modules[p.importer].name).Text(" -> ");
    if (!p.dll.empty()) o.Name("dll", p.dll);
    if (!p.function.empty()) o.Ch(' ').Name("function", p.function);
    if (!p.forward.empty()) o.Text(" (forwards to ").Name("forward", p.forward).Ch(')');
    if (!p.assembly.empty()) o.Text("assembly ").Name("assembly", p.assembly);
    o.Nl();
  }
}

}  // namespace

void PrintDependencies(Printer& o, const Closure& c, const pe::Context& ctx) {
  if (c.modules.empty()) {
    Field(o, "Verdict", "verdict").Word({}, "not resolved: ", "unresolved").Name("why", c.why);
    o.Nl();
    return;
  }
  Verdict(o, c);
  if (const Environment* env = ctx.options.deps) {
    Field(o, "Windows folder").Name("windows", env->view.windows);
    o.Nl();
    Field(o, "KnownDLLs").Word("knownDllsFrom",
                               env->view.knownFrom == SystemView::KnownFrom::Registry    ? "the registry"
                               : env->view.knownFrom == SystemView::KnownFrom::SystemReg ? "the prefix's system.reg"
                                                                                           : "the list Windows 10 keeps");
    o.Nl();
    Field(o, "Application folder").Name("appDir", env->appDir);
    o.Nl();
  }
  Assemblies(o, c);
  o.Nl();
  Tree(o, c);
  Problems(o, c);
}

KESTROVA_PART(Dependencies)

}  // namespace kestrova::dumper::print
