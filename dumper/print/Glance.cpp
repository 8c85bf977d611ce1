// The summary that opens the listing: a line or two per question a reader
// brings, each answer with the evidence the parts below show in full.
#include <string>

#include "dumper/pe/Glance.h"
#include "dumper/print/KindsGlance.h"
#include "dumper/print/Part.h"
#include "dumper/lang/catalog/Common.h"
#include "dumper/lang/catalog/Titles.h"
#include "dumper/lang/catalog/Glance.h"

namespace kestrova::dumper::print {

using namespace pe;

namespace {

using lang::Msg;
namespace M = lang::M;

constexpr lang::Msg kTitles[] = {
    M::TitleAnomalies,  // the file as a whole has no part of its own: never shown here
#define PART(Id, title, titleZh, summary, summaryZh, anchor) M::Title##Id,
#include "dumper/Parts.def"
#undef PART
};

void Signatures(Printer& o, const Facts& f) {
  Field(o, M::GlSigned, "signed");
  if (f.signatures.empty()) {
    o.Say(f.signatureTable ? M::GlUnreadableSignature : M::GlNotSigned);
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
    o.Say(M::GlBy).Name("signer", s.signer.empty() ? o.L(M::GlSignerNotFound) : std::string_view(s.signer));
    if (!s.digestChecked) o.Word("digest", M::GlDigestNotChecked, "not checked");
    else o.Word("digest", s.digestMatches ? M::GlDigestMatches : M::GlDigestDiffers,
                s.digestMatches ? "matches" : "differs");
    if (!s.stampTime.empty()) {
      o.Say(M::GlSignedAt).Name("time", s.stampTime);
      if (!s.stampAuthority.empty())
        o.Say(M::GlTimeStampBy).Name("timeStampAuthority", s.stampAuthority).Say(M::GlCloseParen);
    }
    o.Nl();
  }
}

void Contents(Printer& o, const Facts& f) {
  if (f.exports != 0) {
    Field(o, M::GlExports, "exports").Dec(f.exports);
    if (f.forwarded != 0) o.Say(M::GlForwarded, {f.forwarded}).Fact("forwarded", f.forwarded);
    o.Nl();
  }
  if (f.importDlls != 0 || f.delayDlls != 0) {
    Field(o, M::GlImports);
    Count(o, "importDlls", f.importDlls, M::GlDllsOne, M::GlDllsMany);
    Count(o, "importFunctions", f.importFunctions, M::GlFunctionsOne, M::GlFunctionsMany);
    if (f.delayDlls != 0) {
      o.Say(M::GlDelayLoaded);
      Count(o, "delayDlls", f.delayDlls, M::GlDllsOne, M::GlDllsMany);
      Count(o, "delayFunctions", f.delayFunctions, M::GlFunctionsOne, M::GlFunctionsMany);
    }
    o.Nl();
  }
  if (f.depsWalked) {
    // The Dependencies part's verdict, repeated: the question most users bring.
    Field(o, M::GlWillItLoad, "loads");
    if (f.depsLoads) {
      o.Word({}, M::GlYes).Say(M::GlLoadsAll);
      Count(o, "modules", f.depsModules - 1, M::GlModulesFoundOne, M::GlModulesFoundMany);
      o.Say(M::GlEveryImportResolved);
    } else {
      o.Word({}, M::GlNo).Say(M::GlColon);
      NonZeroCounts counts(o, o.Language() == lang::Lang::ZhCN ? "" : " ");  // "否：缺失", "no: 1 DLL"
      counts.Add("dllsMissing", f.depsDllsMissing, M::GlDllsMissingOne, M::GlDllsMissingMany);
      counts.Add("functionsMissing", f.depsFunctionsMissing, M::GlFunctionsMissingOne, M::GlFunctionsMissingMany);
      counts.Add("badImages", f.depsBadImages, M::GlBadImagesOne, M::GlBadImagesMany);
      counts.Add("assembliesMissing", f.depsAssembliesMissing, M::GlAssembliesMissingOne,
                 M::GlAssembliesMissingMany);
    }
    o.Nl();
  }
  if (f.resources != 0) {
    Field(o, M::GlResources, "resources").Dec(f.resources);
    o.Nl();
  }
  if (f.clr) {
    Field(o, ".NET");
    Count(o, "types", f.clrTypes, M::GlTypesOne, M::GlTypesMany);
    Count(o, "methods", f.clrMethods, M::GlMethodsOne, M::GlMethodsMany);
    o.Nl();
  }
  if (!f.pdbPath.empty()) {
    Field(o, "PDB", "pdb").Name(f.pdbPath);
    o.Nl();
  }
}

// One finding a line, the label on the first; JSON: a list of strings.
void Findings(Printer& o, lang::Msg label, Key key, const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  Scoped list(o, Scoped::kList, key);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i == 0) o.Text("  ").Say(label);
    o.Col(kValueCol).Name(lines[i]);
    o.Nl();
  }
}

// Each shown part and the line its title stands on, a few to a line; the part
// that answers what the file is opened for first, when a part named one.
void WhereToLook(Printer& o, const Facts& f) {
  bool any = false;
  std::size_t width = 0;
  std::string piece;
  const std::size_t lead = f.leadArea < kAreaCount && f.startLine[f.leadArea] != 0 ? f.leadArea : 0;
  for (std::size_t i = lead == 0 ? 1 : 0; i < kAreaCount; ++i) {
    const std::size_t a = i == 0 ? lead : i;
    if (i != 0 && a == lead) continue;
    if (f.startLine[a] == 0 || a == static_cast<std::size_t>(Area::Glance)) continue;
    piece.clear();
    lang::Append(piece, M::GlPartAtLine, o.Language(), {o.L(kTitles[a]), f.lineBase + f.startLine[a]});
    const std::size_t title = lang::DisplayWidth(o.L(kTitles[a]));
    if (!any) {
      Field(o, M::GlWhereToLook);
    } else if (width + title > 60) {
      o.Say(M::ListSepAtLineEnd);
      o.Nl();
      o.Col(kValueCol);
      width = 0;
    } else {
      o.Say(M::ListSep);
    }
    any = true;
    o.Text(piece);
    width += title + 12;
  }
  if (any) o.Nl();
}

}  // namespace

void PrintGlance(Printer& o, const Glance& g, const Context& ctx) {
  const Facts& f = *g.facts;
  if (!g.image) {
    // A library, an object or an NE file answers what it is opened for.
    if (!PrintKindsGlance(o, f)) {
      if (!f.otherKind.empty()) Field(o, M::GlWhat, "what").Word({}, f.otherKind);
      else Field(o, M::GlWhat, "what").Word({}, M::GlNotImage, "unknown");
      o.Nl();
    }
  } else {
    Field(o, M::GlWhat).Word("bits", g.bits).Ch(' ').Word("what", g.what);
    if (!g.machine.empty()) o.Say(M::GlFor).Word("machine", g.machine);
    else o.Say(M::GlForMachine).Hex("machineCode", g.machineCode, 4);
    // A DLL runs in its host's subsystem, whatever its header says.
    if (g.what == M::GlExe) o.Say(M::GlSep).Word("subsystem", g.subsystem).Say(M::GlSubsystemSuffix);
    if (g.dotnet) o.Say(M::GlSep).Word("dotnet", *g.dotnet);
    o.Nl();
    Field(o, M::GlRunsOn);
    if (!g.oldestWindows.empty()) o.Word("oldestWindows", g.oldestWindows).Say(M::GlOrLater);
    else o.Word("oldestWindows", M::GlNoWindowsRelease, "none");
    o.Say(M::GlSubsystemVersion, {g.subsystemMajor, g.subsystemMinor});
    o.Fact("subsystemMajor", std::uint64_t{g.subsystemMajor}).Fact("subsystemMinor", std::uint64_t{g.subsystemMinor});
    if (!g.supportedOs.empty()) {
      o.Say(M::GlManifestNames);
      Scoped list(o, Scoped::kList, "supportedOS");
      for (std::size_t i = 0; i < g.supportedOs.size(); ++i) {
        if (i != 0) o.Say(M::ListSep);
        o.Word({}, g.supportedOs[i]);
      }
    }
    o.Nl();
    Field(o, M::GlEntryPoint, "entryPoint");
    if (g.entryPoint == 0) {
      o.Say(M::GlNone).Fact("entryPoint", std::uint64_t{0});
    } else {
      o.Hex(g.entryPoint, 8);
      InSection(o, ctx, g.entryPoint, "entrySection");
    }
    o.Nl();
    Field(o, M::GlHardening);
    {
      Scoped checks(o, Scoped::kObject, "hardening");
      for (std::size_t i = 0; i < g.hardening.size(); ++i) {
        const Hardening& c = g.hardening[i];
        if (i != 0) o.Say(M::ListSep);
        if (c.named) o.Say(*c.named);
        else o.Text(c.name);
        o.Ch(' ').Word(c.key, c.state);
        if (c.why) o.Say(M::GlBecause, {o.L(*c.why)});
        else if (!c.flag.empty()) o.Text(" (").Text(c.flag).Ch(')');
      }
    }
    o.Nl();
    Field(o, M::GlBuilt);
    if (g.repro) o.Word("linkTime", M::GlReproducible, "hash").Fact("reproducible", true);
    else if (g.linkTime == 0) o.Word("linkTime", M::GlNoLinkTime, "none");
    else o.Date("linkTime", g.linkTime).Say(M::GlLinkTimeStamp);
    o.Nl();
    const pe::Findings& id = g.identity;
    // The linker by name carries its version field; without a name, the field alone.
    if (!id.linker.empty()) {
      Field(o, M::GlLinkedBy, "linkedBy").Name(id.linker).Nl();
    } else {
      Field(o, M::GlLinker, "linker").Say(M::GlLinkerVersion, {g.linkerMajor, g.linkerMinor});
      o.Fact("linkerMajor", std::uint64_t{g.linkerMajor}).Fact("linkerMinor", std::uint64_t{g.linkerMinor}).Nl();
    }
    Findings(o, M::GlToolchain, "toolchain", id.toolchain);
    Findings(o, M::GlPacker, "packer", id.packer);
    Findings(o, M::GlInstaller, "installer", id.installer);
    Findings(o, M::GlPackingSigns, "packingSigns", id.signs);
  }
  Signatures(o, f);
  Contents(o, f);
  Field(o, M::GlAnomalies);
  if (g.anomalies == 0) o.Say(M::NoneFound).Fact("problems", std::uint64_t{0});
  else Count(o, "problems", g.anomalies, M::GlProblemsOne, M::GlProblemsMany);
  o.Nl();
  WhereToLook(o, f);
}

KESTROVA_PART(Glance)

}  // namespace kestrova::dumper::print
