// COFF objects: header, sections, symbols with their auxiliary records,
// linker directives, CodeView subsections, and what the object defines and needs.
#include "dumper/print/Object.h"

#include "dumper/kinds/Parts.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

using namespace pe;

namespace {

std::string_view ClassName(std::uint8_t c) {
  switch (c) {
    case 0: return "null";
    case 1: return "automatic";
    case 2: return "external";
    case 3: return "static";
    case 5: return "external def";
    case 6: return "label";
    case 100: return "block";
    case 101: return "function";
    case 102: return "end of struct";
    case 103: return "file";
    case 104: return "section";
    case 105: return "weak external";
    case 107: return "CLR token";
    case 0xFF: return "end of function";
    default: return "other";
  }
}

std::string_view SubsectionName(std::uint32_t kind) {
  switch (kind) {
    case 0xF1: return "symbols";
    case 0xF2: return "lines";
    case 0xF3: return "string table";
    case 0xF4: return "file checksums";
    case 0xF5: return "frame data";
    case 0xF6: return "inlinee lines";
    case 0xF7: return "cross-scope imports";
    case 0xF8: return "cross-scope exports";
    case 0xF9: return "IL lines";
    case 0xFA: return "function MDToken map";
    case 0xFB: return "type MDToken map";
    case 0xFC: return "merged assembly input";
    case 0xFD: return "COFF symbol RVAs";
    default: return (kind & 0x80000000u) != 0 ? "ignored" : "unknown";
  }
}

void SectionRef(Printer& o, const coff::Object& obj, std::int32_t n) {
  if (n == coff::kSectionUndefined) o.Word("section", "undefined");
  else if (n == coff::kSectionAbsolute) o.Word("section", "absolute");
  else if (n == coff::kSectionDebug) o.Word("section", "debug");
  else if (n > 0 && static_cast<std::uint64_t>(n) <= obj.sections.size())
    o.Name("section", obj.sections[static_cast<std::size_t>(n - 1)].name);
  else o.Text("#").Dec("section", static_cast<std::uint32_t>(n));
}

void Machine(Printer& o, std::uint16_t machine) {
  Field(o, "Machine").Hex(machine, 4);
  if (const Named* m = Find(Machines(), machine)) o.Text("  ").Word("machineName", m->name);
  o.Nl();
}

}  // namespace

void ObjectSummary(Printer& o, const coff::Object& obj, const Context& ctx, Anomalies& an, std::string_view indent) {
  std::uint64_t defined = 0, needed = 0;
  {
    Scoped list(o, Scoped::kList, "defines");
    coff::ForEachSymbol(obj, ctx.budget, an, [&](const coff::Symbol& s) {
      auto role = coff::RoleOf(s);
      if (role != coff::SymbolRole::Defined && role != coff::SymbolRole::Common) return;
      if (o.Exhausted()) return;
      ++defined;
      Scoped one(o, Scoped::kObject, {});
      o.Text(indent).Text("defines  ");
      if (role == coff::SymbolRole::Common) o.Word("section", "common");
      else SectionRef(o, obj, s.section);
      o.Col(indent.size() + 26).Name("name", s.name);
      Readable(o, s.name, ctx);
      o.Nl();
    });
  }
  // The second walk finds nothing the first did not report.
  Anomalies again;
  Scoped list(o, Scoped::kList, "needs");
  coff::ForEachSymbol(obj, ctx.budget, again, [&](const coff::Symbol& s) {
    auto role = coff::RoleOf(s);
    if (role != coff::SymbolRole::Undefined && role != coff::SymbolRole::Weak) return;
    if (o.Exhausted()) return;
    ++needed;
    Scoped one(o, Scoped::kObject, {});
    o.Text(indent).Text(role == coff::SymbolRole::Weak ? "needs    weak" : "needs").Col(indent.size() + 26).Name("name", s.name);
    Readable(o, s.name, ctx);
    o.Nl();
  });
  if (defined + needed == 0) {
    o.Text(indent).Text("(no external symbols)");
    o.Nl();
  }
}

void PrintObject(Printer& o, const ObjectPart& p, const Context& ctx) {
  const coff::Object& obj = p.o;
  const coff::FileHeader& h = obj.h;
  Machine(o, h.machine);
  Field(o, "Form");
  if (h.bigObject) o.Word("form", "big object").Text(", version ").Dec("bigVersion", h.bigVersion);
  else o.Word("form", "regular");
  o.Nl();
  Field(o, "NumberOfSections").Dec(h.numberOfSections);
  o.Nl();
  Field(o, "TimeDateStamp");
  Stamp(o, {}, h.timeDateStamp, StampStyle::Header);
  o.Nl();
  Field(o, "PointerToSymbolTable").Hex(h.pointerToSymbolTable, 8);
  o.Nl();
  Field(o, "NumberOfSymbols").Dec(h.numberOfSymbols);
  o.Nl();
  if (!h.bigObject) {
    Field(o, "Characteristics").Hex(h.characteristics, 4);
    o.Nl();
  }

  o.Nl();
  o.Text("  Sections");
  o.Nl();
  o.Text("    #  Name").Col(28).Text("RawSize   RawData   Relocs    Lines  Flags");
  o.Nl();
  {
    Scoped list(o, Scoped::kList, "sections");
    for (const coff::Section& s : obj.sections) {
      if (o.Exhausted()) break;
      Scoped one(o, Scoped::kObject, {});
      o.DecR("number", s.number, 5).Text("  ").Name("name", s.name).Col(28);
      o.Hex("sizeOfRawData", s.sizeOfRawData, 8).Text("  ").Hex("pointerToRawData", s.pointerToRawData, 8).Text("  ");
      o.DecR("relocations", s.numberOfRelocations, 6).Text("  ").DecR("lineNumbers", s.numberOfLinenumbers, 6).Text("  ");
      o.Hex("characteristics", s.characteristics, 8);
      if (s.relocOverflow) o.Text("  (relocation count from the first record)").Fact("relocOverflow", true);
      o.Nl();
    }
  }

  // Linker directives and CodeView subsections, by section.
  for (const coff::Section& s : obj.sections) {
    if (o.Exhausted()) break;
    if (s.name == ".drectve") {
      o.Nl();
      o.Text("  Linker directives (section ").Dec(s.number).Text(")");
      o.Nl();
      auto bytes = coff::SectionData(obj, s).Bytes();
      std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      Scoped list(o, Scoped::kList, "directives");
      coff::ForEachDirective(text, [&](std::string_view d) {
        if (o.Exhausted()) return;
        o.Text("    ").Name(d);
        o.Nl();
      });
    } else if (s.name == ".debug$S") {
      o.Nl();
      o.Text("  CodeView (section ").Dec(s.number).Text(")");
      o.Nl();
      Scoped list(o, Scoped::kList, "codeView");
      std::uint32_t sig = coff::ForEachDebugSubsection(
          coff::SectionData(obj, s), ctx.budget, ctx.an, Area::Object, [&](std::uint32_t kind, std::uint64_t at, std::uint32_t len) {
            if (o.Exhausted()) return;
            Scoped one(o, Scoped::kObject, {});
            o.Text("    at ").Hex("offset", at, 8).Text("  ").Hex("kind", kind, 8).Text("  ").Word("kindName", SubsectionName(kind));
            o.Text(", ").Dec("length", len).Text(" bytes");
            o.Nl();
          });
      if (sig != 4) {
        o.Text("    signature ").Dec("signature", sig).Text(" (not the C13 form; not decoded)");
        o.Nl();
      }
    }
  }

  o.Nl();
  o.Text("  Symbols");
  o.Nl();
  o.Text("    Index  Value     Section").Col(40).Text("Class").Col(56).Text("Name");
  o.Nl();
  {
    Scoped list(o, Scoped::kList, "symbols");
    coff::ForEachSymbol(obj, ctx.budget, ctx.an, [&](const coff::Symbol& s) {
      if (o.Exhausted()) return;
      Scoped one(o, Scoped::kObject, {});
      o.DecR("index", s.index, 9).Text("  ").Hex("value", s.value, 8).Text("  ");
      SectionRef(o, obj, s.section);
      o.Col(40).Word("class", ClassName(s.storageClass)).Col(56).Name("name", s.name);
      if ((s.type >> 4) == 2) o.Text("()").Fact("function", true);
      o.Nl();
      switch (coff::AuxKindOf(s)) {
        case coff::AuxKind::SectionDefinition: {
          auto a = coff::ReadAuxSection(obj, s);
          o.Text("           section: length ").Hex("length", a.length, 0).Text(", ").Dec("relocations", a.relocations);
          o.Text(" relocations, ").Dec("lineNumbers", a.linenumbers).Text(" line numbers, checksum ").Hex("checksum", a.checksum, 8);
          if (a.selection != 0) o.Text(", COMDAT selection ").Dec("selection", a.selection);
          if (a.selection == 5) o.Text(" (associative with section ").Dec("associated", a.number).Ch(')');
          o.Nl();
          break;
        }
        case coff::AuxKind::FunctionDefinition: {
          auto a = coff::ReadAuxFunction(obj, s);
          o.Text("           function: size ").Hex("totalSize", a.totalSize, 0).Text(", line numbers at ");
          o.Hex("pointerToLinenumber", a.pointerToLinenumber, 8).Text(", next function ").Dec("nextFunction", a.pointerToNextFunction);
          o.Nl();
          break;
        }
        case coff::AuxKind::WeakExternal: {
          auto a = coff::ReadAuxWeak(obj, s);
          o.Text("           weak external: default symbol ").Dec("tagIndex", a.tagIndex).Text(", search ");
          o.Dec("search", a.characteristics);
          o.Nl();
          break;
        }
        case coff::AuxKind::FileName:
          o.Text("           file: ").Name("file", coff::AuxFileName(obj, s));
          o.Nl();
          break;
        case coff::AuxKind::ClrToken: {
          auto a = coff::ReadAuxClr(obj, s);
          o.Text("           CLR token: symbol ").Dec("symbolIndex", a.symbolIndex);
          o.Nl();
          break;
        }
        default:
          break;
      }
    });
  }

  o.Nl();
  o.Text("  What the object defines and needs");
  o.Nl();
  Scoped summary(o, Scoped::kObject, "summary");
  Anomalies again;  // the symbol walk above reported what there is
  ObjectSummary(o, obj, ctx, again, "    ");
}

KESTROVA_PART(Object)

}  // namespace kestrova::dumper::print
