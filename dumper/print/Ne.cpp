// NE executables: header, segments, resources, names, module references,
// entries, and what the relocations import.
#include <algorithm>
#include <vector>

#include "dumper/kinds/Parts.h"
#include "dumper/lang/catalog/Ne.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

using namespace pe;

namespace {

namespace M = lang::M;

void Names(Printer& o, const std::vector<ne::Name>& names, lang::Msg title, Key key) {
  if (names.empty()) return;
  o.Nl();
  o.Text("  ").Say(title);
  o.Nl();
  Scoped list(o, Scoped::kList, key);
  for (const ne::Name& n : names) {
    if (o.Exhausted()) return;
    Scoped one(o, Scoped::kObject, {});
    o.Text("    ").DecR("ordinal", n.ordinal, 5).Text("  ").Name("name", n.text);
    o.Nl();
  }
}

}  // namespace

void PrintNe(Printer& o, const ne::Module& m, const Context& ctx) {
  const ne::Header& h = m.h;
  Field(o, M::NeSignature).Say(M::NeSignatureAt).Hex("offset", h.offset, 0);
  o.Nl();
  Field(o, M::NeLinkerVersion).Dec("linkerVersion", h.linkerVersion).Ch('.').Dec("linkerRevision", h.linkerRevision);
  o.Nl();
  Field(o, M::NeGlTargetOs).Dec("targetOs", h.targetOs).Text("  ").Word("targetOsName", ne::OsName(h.targetOs));
  o.Nl();
  Field(o, M::NeExpectedWindows).Dec("windowsMajor", h.expectedWindows >> 8u).Ch('.');
  o.Dec("windowsMinor", h.expectedWindows & 0xFFu);
  o.Nl();
  Field(o, M::NeFlags).Hex(h.flags, 4);
  o.Say((h.flags & 0x8000) != 0 ? M::NeLibrary : M::NeProgram);
  o.Nl();
  Field(o, M::NeAutoData).Dec(h.autoDataSegment);
  o.Nl();
  Field(o, M::NeHeapStack).Hex("heapSize", h.heapSize, 4).Say(M::NeSep).Hex("stackSize", h.stackSize, 4);
  o.Nl();
  Field(o, M::NeEntryCsIp).Hex("cs", h.cs, 4).Ch(':').Hex("ip", h.ip, 4);
  o.Nl();
  Field(o, M::NeStackSsSp).Hex("ss", h.ss, 4).Ch(':').Hex("sp", h.sp, 4);
  o.Nl();
  Field(o, M::NeCrc).Hex(h.crc, 8);
  o.Nl();
  Field(o, M::NeAlignment).Dec(h.alignmentShift);
  o.Nl();

  o.Nl();
  o.Say(M::NeSegments);
  o.Nl();
  o.Say(M::NeSegmentsHeader);
  o.Nl();
  {
    Scoped list(o, Scoped::kList, "segments");
    for (const ne::Segment& s : m.segments) {
      if (o.Exhausted()) break;
      Scoped one(o, Scoped::kObject, {});
      o.DecR("number", s.number, 5).Text("  ").Hex("fileOffset", s.fileOffset, 8).Text("     ").Hex("length", s.length, 5);
      o.Text("     ").Hex("minAlloc", s.minAlloc, 5).Text("      ").Hex("flags", s.flags, 4);
      o.Say((s.flags & ne::kSegData) != 0 ? M::NeSegData : M::NeSegCode);
      if ((s.flags & ne::kSegHasRelocs) != 0) o.Say(M::NeSegRelocs);
      o.Nl();
    }
  }

  if (!m.resourceTypes.empty()) {
    o.Nl();
    o.Say(M::NeResources).Dec("resourceShift", m.resourceShift).Say(M::NeClose);
    o.Nl();
    Scoped types(o, Scoped::kList, "resources");
    for (const ne::ResourceType& t : m.resourceTypes) {
      if (o.Exhausted()) break;
      Scoped one(o, Scoped::kObject, {});
      o.Say(M::NeResType);
      if (t.name.empty()) o.Dec("typeId", t.id);
      else o.Name("typeName", t.name);
      o.Nl();
      Scoped list(o, Scoped::kList, "entries");
      for (const ne::Resource& r : t.resources) {
        if (o.Exhausted()) break;
        Scoped e(o, Scoped::kObject, {});
        o.Text("      ");
        if (r.name.empty()) o.Dec("id", r.id);
        else o.Name("name", r.name);
        o.Say(M::NeResAt).Hex("fileOffset", r.fileOffset, 8).Say(M::NeSep).Hex("length", r.length, 0).Say(M::NeBytes);
        o.Nl();
      }
    }
  }

  Names(o, m.residentNames, M::NeResidentNames, "residentNames");
  Names(o, m.nonResidentNames, M::NeNonResidentNames, "nonResidentNames");

  if (!m.moduleRefs.empty()) {
    o.Nl();
    o.Say(M::NeModuleRefs);
    o.Nl();
    Scoped list(o, Scoped::kList, "moduleReferences");
    for (std::string_view r : m.moduleRefs) {
      if (o.Exhausted()) break;
      o.Text("    ").Name(r);
      o.Nl();
    }
  }

  if (!m.entries.empty()) {
    o.Nl();
    o.Say(M::NeEntries);
    o.Nl();
    o.Say(M::NeEntriesHeader);
    o.Nl();
    Scoped list(o, Scoped::kList, "entries");
    for (const ne::Entry& e : m.entries) {
      if (o.Exhausted()) break;
      Scoped one(o, Scoped::kObject, {});
      o.Text("    ").DecR("ordinal", e.ordinal, 7).Text("  ");
      // The columns by position: the kinds' words differ in width by language.
      if (e.Constant()) {
        o.Word("kind", M::NeKindConstant, "constant").Col(25).Hex("value", e.offset, 4);
      } else {
        o.Word("kind", e.movable ? M::NeKindMovable : M::NeKindFixed);
        o.Col(22).Hex("segment", e.segment, 2).Ch(':').Hex("offset", e.offset, 4);
      }
      o.Col(34).Hex("flags", e.flags, 2);
      if ((e.flags & 1) != 0) o.Say(M::NeExported);
      o.Nl();
    }
  }

  // The relocations, summarised as what they import: each module.ordinal or module.name once.
  struct Import {
    std::string_view module, name;
    std::uint16_t ordinal;
    std::uint16_t moduleIndex;  // shown when the number names no module
    bool operator<(const Import& x) const {
      if (module != x.module) return module < x.module;
      if (moduleIndex != x.moduleIndex) return moduleIndex < x.moduleIndex;
      return name != x.name ? name < x.name : ordinal < x.ordinal;
    }
    bool operator==(const Import& x) const = default;
  };
  std::vector<Import> imports;
  std::uint64_t fixups = 0;
  ne::ForEachRelocation(m, ctx.budget, ctx.an, [&](const ne::Relocation& r) {
    ++fixups;
    if (r.kind == ne::RelocKind::ImportOrdinal) imports.push_back({r.module, {}, r.ordinal, r.module.empty() ? r.moduleIndex : std::uint16_t{0}});
    else if (r.kind == ne::RelocKind::ImportName) imports.push_back({r.module, r.name, 0, r.module.empty() ? r.moduleIndex : std::uint16_t{0}});
  });
  std::sort(imports.begin(), imports.end());
  imports.erase(std::unique(imports.begin(), imports.end()), imports.end());
  o.Nl();
  o.Say(M::NeImportsHead).Dec("relocations", fixups).Say(M::NeImportsTail);
  o.Nl();
  Scoped list(o, Scoped::kList, "imports");
  for (const Import& i : imports) {
    if (o.Exhausted()) break;
    Scoped one(o, Scoped::kObject, {});
    o.Say(M::NeImports);
    if (i.module.empty()) o.Say(M::NeModuleNumber).Dec("moduleIndex", i.moduleIndex).Say(M::NeClose);
    else o.Name("module", i.module);
    o.Ch('.');
    if (i.name.empty()) o.Dec("ordinal", i.ordinal);
    else o.Name("name", i.name);
    o.Nl();
  }
}

KESTROVA_PART(Ne)

}  // namespace kestrova::dumper::print
