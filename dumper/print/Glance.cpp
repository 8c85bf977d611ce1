// The summary that opens the listing: a line or two per question a reader
// brings, each answer with the evidence the parts below show in full.
#include <string>

#include "dumper/pe/Glance.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

using namespace pe;

namespace {

constexpr std::string_view kTitles[] = {
    "",
#define PART(Id, title, summary, anchor) title,
#include "dumper/Parts.def"
#undef PART
};

void Signatures(Printer& o, const Facts& f) {
  Field(o, "Signed", "signed");
  if (f.signatures.empty()) {
    o.Text(f.signatureTable ? "a certificate table without a signature that could be read" : "not signed");
    o.Fact({}, false);
    if (f.signatureTable) o.Fact("signatureUnreadable", true);
    o.Nl();
    return;
  }
  o.Fact({}, true);
  Scoped list(o, Scoped::kList, "signatures");
  bool first = true;
  for (const SignatureFacts& s : f.signatures) {
    Scoped one(o, Scoped::kObject, {});
    if (!first) o.Col(kValueCol);
    first = false;
    o.Text("by ").Name("signer", s.signer.empty() ? std::string_view("(signer not found)") : std::string_view(s.signer));
    if (!s.digestChecked) o.Word("digest", ", digest not checked", "not checked");
    else o.Word("digest", s.digestMatches ? ", digest matches the file" : ", digest DIFFERS: the file was changed after signing",
                s.digestMatches ? "matches" : "differs");
    if (!s.stampTime.empty()) {
      o.Text(", signed ").Name("time", s.stampTime);
      if (!s.stampAuthority.empty()) o.Text(" (time stamp by ").Name("timeStampAuthority", s.stampAuthority).Ch(')');
    }
    o.Nl();
  }
}

void Contents(Printer& o, const Facts& f) {
  if (f.exports != 0) {
    Field(o, "Exports", "exports").Dec(f.exports);
    if (f.forwarded != 0) o.Text(" (").Dec("forwarded", f.forwarded).Text(" forwarded)");
    o.Nl();
  }
  if (f.importDlls != 0 || f.delayDlls != 0) {
    Field(o, "Imports");
    Count(o, "importDlls", f.importDlls, "DLL, ", "DLLs, ");
    Count(o, "importFunctions", f.importFunctions, "function", "functions");
    if (f.delayDlls != 0) {
      o.Text("; delay-loaded ");
      Count(o, "delayDlls", f.delayDlls, "DLL, ", "DLLs, ");
      Count(o, "delayFunctions", f.delayFunctions, "function", "functions");
    }
    o.Nl();
  }
  if (f.depsWalked) {
    // The Dependencies part's verdict, repeated: the question most users bring.
    Field(o, "Will it load", "loads");
    if (f.depsLoads) {
      o.Word({}, "yes", "yes").Text(": all ");
      Count(o, "modules", f.depsModules - 1, "module found", "modules found");
      o.Text(", every import resolved");
    } else {
      o.Word({}, "no", "no").Text(":");
      NonZeroCounts counts(o, " ");
      counts.Add("dllsMissing", f.depsDllsMissing, "DLL missing", "DLLs missing");
      counts.Add("functionsMissing", f.depsFunctionsMissing, "function missing", "functions missing");
      counts.Add("badImages", f.depsBadImages, "DLL it cannot use (0xC000007B)", "DLLs it cannot use (0xC000007B)");
      counts.Add("assembliesMissing", f.depsAssembliesMissing, "side-by-side assembly missing",
                 "side-by-side assemblies missing");
    }
    o.Nl();
  }
  if (f.resources != 0) {
    Field(o, "Resources", "resources").Dec(f.resources);
    o.Nl();
  }
  if (f.clr) {
    Field(o, ".NET");
    Count(o, "types", f.clrTypes, "type, ", "types, ");
    Count(o, "methods", f.clrMethods, "method", "methods");
    o.Nl();
  }
  if (!f.pdbPath.empty()) {
    Field(o, "PDB", "pdb").Name(f.pdbPath);
    o.Nl();
  }
}

// Each shown part and the line its title stands on, a few to a line.
// One finding a line, the label on the first; JSON: a list of strings.
void Findings(Printer& o, std::string_view label, Key key, const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  Scoped list(o, Scoped::kList, key);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    o.Text(i == 0 ? "  " : "").Text(i == 0 ? label : "").Col(kValueCol).Name(lines[i]);
    o.Nl();
  }
}

void WhereToLook(Printer& o, const Facts& f) {
  bool any = false;
  std::size_t width = 0;
  for (std::size_t a = 1; a < kAreaCount; ++a) {
    if (f.startLine[a] == 0 || a == static_cast<std::size_t>(Area::Glance)) continue;
    const std::string_view title = kTitles[a];
    if (!any) Field(o, "Where to look");
    else if (width + title.size() > 60) {
      o.Ch(',');
      o.Nl();
      o.Col(kValueCol);
      width = 0;
    } else {
      o.Text(", ");
    }
    any = true;
    o.Text(title).Text(" line ").Dec(kNoKey, f.lineBase + f.startLine[a]);
    width += title.size() + 12;
  }
  if (any) o.Nl();
}

}  // namespace

void PrintGlance(Printer& o, const Glance& g, const Context& ctx) {
  const Facts& f = *g.facts;
  if (!g.image && !f.otherKind.empty()) {
    Field(o, "What", "what").Word({}, f.otherKind);
    o.Nl();
  } else if (!g.image) {
    Field(o, "What", "what").Word({}, "not a Windows image: what it is and what built it cannot be told", "unknown");
    o.Nl();
  } else {
    Field(o, "What").Word("bits", g.bits).Ch(' ').Word("what", g.what);
    if (!g.machine.empty()) o.Text(" for ").Word("machine", g.machine);
    else o.Text(" for machine 0x").Hex("machineCode", g.machineCode, 4);
    // A DLL runs in its host's subsystem, whatever its header says.
    if (g.what == "EXE") o.Text(", ").Word("subsystem", g.subsystem).Text(" subsystem");
    if (!g.dotnet.empty()) o.Text(", ").Word("dotnet", g.dotnet);
    o.Nl();
    Field(o, "Runs on");
    if (!g.oldestWindows.empty()) o.Word("oldestWindows", g.oldestWindows).Text(" or later");
    else o.Word("oldestWindows", "no Windows release", "none");
    o.Text(" (subsystem version ").Dec("subsystemMajor", g.subsystemMajor).Ch('.');
    o.Dec("subsystemMinor", g.subsystemMinor).Ch(')');
    if (!g.supportedOs.empty()) {
      o.Text("; the manifest names ");
      Scoped list(o, Scoped::kList, "supportedOS");
      for (std::size_t i = 0; i < g.supportedOs.size(); ++i) o.Text(i == 0 ? "" : ", ").Word({}, g.supportedOs[i]);
    }
    o.Nl();
    Field(o, "Entry point", "entryPoint");
    if (g.entryPoint == 0) {
      o.Text("none").Fact("entryPoint", std::uint64_t{0});
    } else {
      o.Hex(g.entryPoint, 8);
      InSection(o, ctx, g.entryPoint, "entrySection");
    }
    o.Nl();
    Field(o, "Hardening");
    {
      Scoped checks(o, Scoped::kObject, "hardening");
      for (std::size_t i = 0; i < g.hardening.size(); ++i) {
        const Hardening& c = g.hardening[i];
        o.Text(i == 0 ? "" : ", ").Text(c.name).Ch(' ').Word(c.key, c.state);
        if (!c.why.empty()) o.Text(" (").Text(c.why).Ch(')');
      }
    }
    o.Nl();
    Field(o, "Built");
    if (g.repro) o.Word("linkTime", "reproducible build: the stamp is a hash", "hash").Fact("reproducible", true);
    else if (g.linkTime == 0) o.Word("linkTime", "no link time stamp", "none");
    else o.Date("linkTime", g.linkTime).Text(" (the link time stamp)");
    o.Nl();
    const pe::Findings& id = g.identity;
    // The linker by name carries its version field; without a name, the field alone.
    if (!id.linker.empty()) {
      Field(o, "Linked by", "linkedBy").Name(id.linker).Nl();
    } else {
      Field(o, "Linker", "linker").Text("version ").Dec("linkerMajor", g.linkerMajor).Ch('.');
      o.Dec("linkerMinor", g.linkerMinor).Nl();
    }
    Findings(o, "Toolchain", "toolchain", id.toolchain);
    Findings(o, "Packer", "packer", id.packer);
    Findings(o, "Installer", "installer", id.installer);
    Findings(o, "Packing signs", "packingSigns", id.signs);
  }
  Signatures(o, f);
  Contents(o, f);
  Field(o, "Anomalies");
  if (g.anomalies == 0) o.Text("none found").Fact("problems", std::uint64_t{0});
  else Count(o, "problems", g.anomalies, "problem, listed at the end", "problems, listed at the end");
  o.Nl();
  WhereToLook(o, f);
}

KESTROVA_PART(Glance)

}  // namespace kestrova::dumper::print
