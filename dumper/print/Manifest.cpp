// Manifests: the facts a reader looks for, then the text line by line.
#include "dumper/pe/Manifest.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

void PrintManifest(Printer& o, const pe::ManifestList& list, const pe::Context& ctx);

using namespace pe;

namespace {

// A fact of the manifest under its element's name, when the manifest has it.
void Fact(Printer& o, std::string_view label, const std::string& value) {
  if (value.empty()) return;
  Field(o, label).Name(value);
  o.Nl();
}

}  // namespace

void PrintManifest(Printer& o, const ManifestList& list, const Context& ctx) {
  bool first = true;
  Scoped rows(o, Scoped::kList, "manifests");
  for (const Manifest& m : list.manifests) {
    if (o.Exhausted()) return;
    Scoped row(o, Scoped::kObject, {});
    if (!first) o.Nl();
    first = false;
    Field(o, "Resource");
    if (m.leaf.name.named) {
      o.Name("name", FromUtf16(m.leaf.name.name));
      o.Word("meaning", "  (named: not a manifest the loader looks for)", "named: not a manifest the loader looks for");
    } else {
      const std::string_view meaning = ManifestIdMeaning(m.leaf.name.id);
      o.Ch('#').Dec("name", m.leaf.name.id).Text("  (").Word("meaning", meaning).Ch(')');
    }
    o.Nl();
    Field(o, "Language");
    if (m.leaf.lang.named) {
      o.Text("(named)").FactName("lang", FromUtf16(m.leaf.lang.name));
    } else {
      o.Hex("lang", m.leaf.lang.id, 4);
      if (const Named* n = Find(Languages(), m.leaf.lang.id)) o.Text(" (").Word("locale", n->name).Ch(')');
    }
    o.Nl();
    Field(o, "Data").Text("RVA ").Hex("rva", m.leaf.rva, 8).Text(", size ").Hex("size", m.leaf.size, 8);
    InSection(o, ctx, m.leaf.rva);
    o.Nl();
    Field(o, "Encoding", "encoding").Word({}, m.encoding);
    o.Nl();
    if (m.hasExecutionLevel) {
      Field(o, "requestedExecutionLevel");
      if (m.executionLevel.empty()) o.Word({}, "(no level)", "");
      else o.Name(m.executionLevel);
      o.Nl();
      Fact(o, "uiAccess", m.uiAccess);
    }
    Fact(o, "dpiAware", m.dpiAware);
    Fact(o, "dpiAwareness", m.dpiAwareness);
    {
      Scoped systems(o, Scoped::kList, "supportedOS");
      for (const std::string& os : m.supportedOs) {
        Scoped one(o, Scoped::kObject, {});
        Field(o, "supportedOS", "Id").Name(os);
        std::string_view name = SupportedOsName(os);
        o.Fact("known", !name.empty());
        if (name.empty()) o.Text("  (not a known system)");
        else o.Text("  ").Word("name", name);
        o.Nl();
      }
    }
    {
      Scoped assemblies(o, Scoped::kList, "dependentAssemblies");
      for (const ManifestAssembly& a : m.dependencies) {
        Scoped one(o, Scoped::kObject, {});
        Field(o, "dependentAssembly", "name").Name(a.name);
        if (!a.version.empty()) o.Text("  version ").Name("version", a.version);
        if (!a.architecture.empty()) o.Text("  processorArchitecture ").Name("processorArchitecture", a.architecture);
        if (!a.publicKeyToken.empty()) o.Text("  publicKeyToken ").Name("publicKeyToken", a.publicKeyToken);
        if (!a.type.empty()) o.Text("  type ").Name("type", a.type);
        o.Nl();
      }
    }
    Fact(o, "longPathAware", m.longPathAware);
    Fact(o, "activeCodePage", m.activeCodePage);
    Fact(o, "heapType", m.heapType);
    o.Nl();
    // The text, one listing line per line of it; tabs become spaces so that its
    // indentation reads as the author wrote it.
    Scoped lines(o, Scoped::kList, "lines");
    std::string_view t = m.text;
    std::string line;
    while (!t.empty() && !o.Exhausted()) {
      std::size_t nl = t.find('\n');
      std::string_view l = t.substr(0, nl);
      t = nl == std::string_view::npos ? std::string_view{} : t.substr(nl + 1);
      if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
      line.clear();
      for (char c : l) {
        if (c == '\t') line.append(4 - line.size() % 4, ' ');
        else line.push_back(c);
      }
      o.Text("    ").Name({}, line);
      o.Nl();
    }
  }
}

KESTROVA_PART(Manifest)

}  // namespace kestrova::dumper::print
