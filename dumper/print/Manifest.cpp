// Manifests: the facts a reader looks for, then the text line by line.
#include <optional>

#include "dumper/lang/catalog/Manifest.h"
#include "dumper/pe/Manifest.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

void PrintManifest(Printer& o, const pe::ManifestList& list, const pe::Context& ctx);

using namespace pe;
namespace M = lang::M;

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
    Field(o, M::ManResource);
    if (m.leaf.name.named) o.Name("name", FromUtf16(m.leaf.name.name));
    else o.Ch('#').Dec("name", m.leaf.name.id);
    o.Say(M::ManParenOpen).Word("meaning", m.leaf.name.named ? lang::Msg(M::ManNamed) : ManifestIdMeaning(m.leaf.name.id));
    o.Say(M::ManParenClose);
    o.Nl();
    Field(o, M::ManLanguage);
    if (m.leaf.lang.named) {
      o.Say(M::ManLangNamed).FactName("lang", FromUtf16(m.leaf.lang.name));
    } else {
      o.Hex("lang", m.leaf.lang.id, 4);
      if (const Named* n = Find(Languages(), m.leaf.lang.id)) {
        o.Say(M::ManLocaleOpen);
        if (const auto w = LanguageWord(m.leaf.lang.id)) o.Word("locale", *w);
        else o.Word("locale", n->name);
        o.Say(M::ManParenClose);
      }
    }
    o.Nl();
    Field(o, M::ManData).Text("RVA ").Hex("rva", m.leaf.rva, 8).Say(M::ManSize).Hex("size", m.leaf.size, 8);
    InSection(o, ctx, m.leaf.rva);
    o.Nl();
    Field(o, M::ManEncoding, "encoding").Word({}, m.encoding);
    o.Nl();
    if (m.hasExecutionLevel) {
      Field(o, "requestedExecutionLevel");
      if (m.executionLevel.empty()) o.Word({}, M::ManNoLevel, "");
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
        const std::optional<lang::Msg> name = SupportedOs(os);
        o.Fact("known", name.has_value());
        if (!name) o.Say(M::ManUnknownOs);
        else o.Text("  ").Word("name", *name);
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
