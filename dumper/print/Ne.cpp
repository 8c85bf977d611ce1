// NE executables: header, segments, resources, names, module references,
// entries, and what the relocations import.
#include <algorithm>
#include <vector>

#include "dumper/kinds/Parts.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

using namespace pe;

namespace {

std::string_view OsName(std::uint8_t os) {
  switch (os) {
    case 0: return "unknown";
    case 1: return "OS/2";
    case 2: return "Windows";
    case 3: return "European DOS 4";
    case 4: return "Windows 386";
    case 5: return "Borland Operating System Services";
    default: return "other";
  }
}

void Names(Printer& o, const std::vector<ne::Name>& names, std::string_view title, Key key) {
  if (names.empty()) return;
  o.Nl();
  o.Text("  ").Text(title);
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
  Field(o, "Signature").Text("\"NE\" at file offset 0x").Hex("offset", h.offset, 0);
  o.Nl();
  Field(o, "Linker version").Dec("linkerVersion", h.linkerVersion).Ch('.').Dec("linkerRevision", h.linkerRevision);
  o.Nl();
  Field(o, "Target OS").Dec("targetOs", h.targetOs).Text("  ").Word("targetOsName", OsName(h.targetOs));
  o.Nl();
  Field(o, "Expected Windows version").Dec("windowsMajor", h.expectedWindows >> 8u).Ch('.');
  o.Dec("windowsMinor", h.expectedWindows & 0xFFu);
  o.Nl();
  Field(o, "Flags").Hex(h.flags, 4);
  o.Text((h.flags & 0x8000) != 0 ? "  library" : "  program");
  o.Nl();
  Field(o, "Automatic data segment").Dec(h.autoDataSegment);
  o.Nl();
  Field(o, "Heap, stack").Hex("heapSize", h.heapSize, 4).Text(", ").Hex("stackSize", h.stackSize, 4);
  o.Nl();
  Field(o, "Entry CS:IP").Hex("cs", h.cs, 4).Ch(':').Hex("ip", h.ip, 4);
  o.Nl();
  Field(o, "Stack SS:SP").Hex("ss", h.ss, 4).Ch(':').Hex("sp", h.sp, 4);
  o.Nl();
  Field(o, "CRC").Hex(h.crc, 8);
  o.Nl();
  Field(o, "Alignment shift").Dec(h.alignmentShift);
  o.Nl();

  o.Nl();
  o.Text("  Segments");
  o.Nl();
  o.Text("    #  File offset  Length    Min alloc  Flags");
  o.Nl();
  {
    Scoped list(o, Scoped::kList, "segments");
    for (const ne::Segment& s : m.segments) {
      if (o.Exhausted()) break;
      Scoped one(o, Scoped::kObject, {});
      o.DecR("number", s.number, 5).Text("  ").Hex("fileOffset", s.fileOffset, 8).Text("     ").Hex("length", s.length, 5);
      o.Text("     ").Hex("minAlloc", s.minAlloc, 5).Text("      ").Hex("flags", s.flags, 4);
      o.Text((s.flags & ne::kSegData) != 0 ? "  data" : "  code");
      if ((s.flags & ne::kSegHasRelocs) != 0) o.Text(", relocations");
      o.Nl();
    }
  }

  if (!m.resourceTypes.empty()) {
    o.Nl();
    o.Text("  Resources (alignment shift ").Dec("resourceShift", m.resourceShift).Ch(')');
    o.Nl();
    Scoped types(o, Scoped::kList, "resources");
    for (const ne::ResourceType& t : m.resourceTypes) {
      if (o.Exhausted()) break;
      Scoped one(o, Scoped::kObject, {});
      o.Text("    type ");
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
        o.Text("  at ").Hex("fileOffset", r.fileOffset, 8).Text(", ").Hex("length", r.length, 0).Text(" bytes");
        o.Nl();
      }
    }
  }

  Names(o, m.residentNames, "Resident names (the first is the module's)", "residentNames");
  Names(o, m.nonResidentNames, "Non-resident names (the first is the description)", "nonResidentNames");

  if (!m.moduleRefs.empty()) {
    o.Nl();
    o.Text("  Module references");
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
    o.Text("  Entries");
    o.Nl();
    o.Text("    Ordinal  Kind     Seg:Offset  Flags");
    o.Nl();
    Scoped list(o, Scoped::kList, "entries");
    for (const ne::Entry& e : m.entries) {
      if (o.Exhausted()) break;
      Scoped one(o, Scoped::kObject, {});
      o.Text("    ").DecR("ordinal", e.ordinal, 7).Text("  ");
      if (e.Constant()) {
        o.Word("kind", "const  ", "constant").Text("     ").Hex("value", e.offset, 4);
      } else {
        o.Word("kind", e.movable ? "movable" : "fixed  ", e.movable ? "movable" : "fixed");
        o.Text("  ").Hex("segment", e.segment, 2).Ch(':').Hex("offset", e.offset, 4);
      }
      o.Text("     ").Hex("flags", e.flags, 2);
      if ((e.flags & 1) != 0) o.Text("  exported");
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
  o.Text("  Imports (from ").Dec("relocations", fixups).Text(" relocations)");
  o.Nl();
  Scoped list(o, Scoped::kList, "imports");
  for (const Import& i : imports) {
    if (o.Exhausted()) break;
    Scoped one(o, Scoped::kObject, {});
    o.Text("    imports ");
    if (i.module.empty()) o.Text("(module ").Dec("moduleIndex", i.moduleIndex).Ch(')');
    else o.Name("module", i.module);
    o.Ch('.');
    if (i.name.empty()) o.Dec("ordinal", i.ordinal);
    else o.Name("name", i.name);
    o.Nl();
  }
}

KESTROVA_PART(Ne)

}  // namespace kestrova::dumper::print
