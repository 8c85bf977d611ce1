// Manifests: the facts a reader looks for, then the text line by line.
#include "dumper/pe/Manifest.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

void PrintManifest(Printer& o, const pe::ManifestList& list, const pe::Context& ctx);

using namespace pe;

namespace {

void Fact(Printer& o, std::string_view label, const std::string& value) {
  if (value.empty()) return;
  Field(o, label).Name(value);
  o.Nl();
}

}  // namespace

void PrintManifest(Printer& o, const ManifestList& list, const Context& ctx) {
  bool first = true;
  for (const Manifest& m : list.manifests) {
    if (o.Exhausted()) return;
    if (!first) o.Nl();
    first = false;
    Field(o, "Resource");
    if (m.leaf.name.named) {
      o.Name(FromUtf16(m.leaf.name.name)).Text("  (named: not a manifest the loader looks for)");
    } else {
      o.Ch('#').Dec(m.leaf.name.id).Text("  (").Text(ManifestIdMeaning(m.leaf.name.id)).Ch(')');
    }
    o.Nl();
    Field(o, "Language").Text(m.leaf.lang.named ? std::string("(named)") : LanguageText(m.leaf.lang.id));
    o.Nl();
    Field(o, "Data").Text("RVA ").Hex(m.leaf.rva, 8).Text(", size ").Hex(m.leaf.size, 8);
    InSection(o, ctx, m.leaf.rva);
    o.Nl();
    Field(o, "Encoding").Text(m.encoding);
    o.Nl();
    if (m.hasExecutionLevel) {
      Field(o, "requestedExecutionLevel").Name(m.executionLevel.empty() ? "(no level)" : m.executionLevel);
      o.Nl();
      Fact(o, "uiAccess", m.uiAccess);
    }
    Fact(o, "dpiAware", m.dpiAware);
    Fact(o, "dpiAwareness", m.dpiAwareness);
    for (const std::string& os : m.supportedOs) {
      Field(o, "supportedOS").Name(os);
      std::string_view name = SupportedOsName(os);
      o.Text("  ").Text(name.empty() ? std::string_view("(not a known system)") : name);
      o.Nl();
    }
    for (const ManifestAssembly& a : m.dependencies) {
      Field(o, "dependentAssembly").Name(a.name);
      if (!a.version.empty()) o.Text("  version ").Name(a.version);
      if (!a.architecture.empty()) o.Text("  processorArchitecture ").Name(a.architecture);
      if (!a.publicKeyToken.empty()) o.Text("  publicKeyToken ").Name(a.publicKeyToken);
      if (!a.type.empty()) o.Text("  type ").Name(a.type);
      o.Nl();
    }
    Fact(o, "longPathAware", m.longPathAware);
    Fact(o, "activeCodePage", m.activeCodePage);
    Fact(o, "heapType", m.heapType);
    o.Nl();
    // The text, one listing line per line of it; tabs become spaces so that its
    // indentation reads as the author wrote it.
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
      o.Text("    ").Name(line);
      o.Nl();
    }
  }
}

KESTROVA_PART(Manifest)

}  // namespace kestrova::dumper::print
