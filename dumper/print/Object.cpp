// COFF objects: header, sections, symbols with their auxiliary records,
// linker directives, CodeView subsections, and what the object defines and needs.
#include "dumper/print/Object.h"

#include "dumper/kinds/Parts.h"
#include "dumper/lang/catalog/Object.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

using namespace pe;

namespace {

namespace M = lang::M;

lang::Msg ClassName(std::uint8_t c) {
  switch (c) {
    case 0: return M::ObClassNull;
    case 1: return M::ObClassAutomatic;
    case 2: return M::ObClassExternal;
    case 3: return M::ObClassStatic;
    case 5: return M::ObClassExternalDef;
    case 6: return M::ObClassLabel;
    case 100: return M::ObClassBlock;
    case 101: return M::ObClassFunction;
    case 102: return M::ObClassEndOfStruct;
    case 103: return M::ObClassFile;
    case 104: return M::ObClassSection;
    case 105: return M::ObClassWeakExternal;
    case 107: return M::ObClassClrToken;
    case 0xFF: return M::ObClassEndOfFunction;
    default: return M::ObClassOther;
  }
}

lang::Msg SubsectionName(std::uint32_t kind) {
  switch (kind) {
    case 0xF1: return M::ObSubSymbols;
    case 0xF2: return M::ObSubLines;
    case 0xF3: return M::ObSubStrings;
    case 0xF4: return M::ObSubChecksums;
    case 0xF5: return M::ObSubFrameData;
    case 0xF6: return M::ObSubInlineeLines;
    case 0xF7: return M::ObSubImports;
    case 0xF8: return M::ObSubExports;
    case 0xF9: return M::ObSubIlLines;
    case 0xFA: return M::ObSubFuncTokens;
    case 0xFB: return M::ObSubTypeTokens;
    case 0xFC: return M::ObSubMergedInput;
    case 0xFD: return M::ObSubSymbolRvas;
    default: return (kind & 0x80000000u) != 0 ? M::ObSubIgnored : M::ObSubUnknown;
  }
}

void SectionRef(Printer& o, const coff::Object& obj, std::int32_t n) {
  if (n == coff::kSectionUndefined) o.Word("section", M::ObSecUndefined);
  else if (n == coff::kSectionAbsolute) o.Word("section", M::ObSecAbsolute);
  else if (n == coff::kSectionDebug) o.Word("section", M::ObSecDebug);
  else if (n > 0 && static_cast<std::uint64_t>(n) <= obj.sections.size())
    o.Name("section", obj.sections[static_cast<std::size_t>(n - 1)].name);
  else o.Text("#").Dec("section", static_cast<std::uint32_t>(n));
}

void Machine(Printer& o, std::uint16_t machine) {
  Field(o, M::ObMachine).Hex(machine, 4);
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
      o.Text(indent).Say(M::ObDefines);
      if (role == coff::SymbolRole::Common) o.Word("section", M::ObSecCommon);
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
    o.Text(indent).Say(role == coff::SymbolRole::Weak ? M::ObNeedsWeak : M::ObNeeds).Col(indent.size() + 26).Name("name", s.name);
    Readable(o, s.name, ctx);
    o.Nl();
  });
  if (defined + needed == 0) {
    o.Text(indent).Say(M::ObNoExternals);
    o.Nl();
  }
}

// A /GL object: its header, and why there is nothing more to show.
void PrintLtcg(Printer& o, const coff::LtcgHeader& h) {
  Machine(o, h.machine);
  Field(o, M::ObForm).Word("form", M::ObFormLtcg).Say(M::ObVersion).Dec("version", h.version);
  o.Nl();
  Field(o, "TimeDateStamp");
  Stamp(o, {}, h.timeDateStamp, StampStyle::Header);
  o.Nl();
  o.Nl();
  o.Say(M::ObLtcgRest);
  o.Nl();
}

void PrintObject(Printer& o, const ObjectPart& p, const Context& ctx) {
  if (p.ltcg.present) {
    PrintLtcg(o, p.ltcg);
    return;
  }
  const coff::Object& obj = p.o;
  const coff::FileHeader& h = obj.h;
  Machine(o, h.machine);
  Field(o, M::ObForm);
  if (h.bigObject) o.Word("form", M::ObFormBig).Say(M::ObVersion).Dec("bigVersion", h.bigVersion);
  else o.Word("form", M::ObFormRegular);
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
  o.Say(M::ObSectionsTitle);
  o.Nl();
  o.Say(M::ObSectionsHeader).Col(28).Say(M::ObSectionsColumns);
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
      if (s.relocOverflow) o.Say(M::ObRelocOverflow).Fact("relocOverflow", true);
      o.Nl();
    }
  }

  // Linker directives and CodeView subsections, by section.
  for (const coff::Section& s : obj.sections) {
    if (o.Exhausted()) break;
    if (s.name == ".drectve") {
      o.Nl();
      o.Say(M::ObDirectives).Dec(s.number).Say(M::ObSectionClose);
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
      o.Say(M::ObCodeView).Dec(s.number).Say(M::ObSectionClose);
      o.Nl();
      Scoped list(o, Scoped::kList, "codeView");
      std::uint32_t sig = coff::ForEachDebugSubsection(
          coff::SectionData(obj, s), ctx.budget, ctx.an, Area::Object, obj.lang, [&](std::uint32_t kind, std::uint64_t at, std::uint32_t len) {
            if (o.Exhausted()) return;
            Scoped one(o, Scoped::kObject, {});
            o.Say(M::ObSubAt).Hex("offset", at, 8).Text("  ").Hex("kind", kind, 8).Text("  ").Word("kindName", SubsectionName(kind));
            o.Say(M::ObSep).Dec("length", len).Say(M::ObBytes);
            o.Nl();
          });
      if (sig != 4) {
        o.Say(M::ObCvSignature).Dec("signature", sig).Say(M::ObCvNotC13);
        o.Nl();
      }
    }
  }

  o.Nl();
  o.Say(M::ObSymbolsTitle);
  o.Nl();
  o.Say(M::ObSymbolsHeader).Col(40).Say(M::ObColClass).Col(56).Say(M::ObColName);
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
          o.Say(M::ObAuxSection).Hex("length", a.length, 0).Say(M::ObSep).Dec("relocations", a.relocations);
          o.Say(M::ObAuxRelocations).Dec("lineNumbers", a.linenumbers).Say(M::ObAuxLineNumbers).Hex("checksum", a.checksum, 8);
          if (a.selection != 0) o.Say(M::ObAuxComdat).Dec("selection", a.selection);
          if (a.selection == 5) o.Say(M::ObAuxAssociative).Dec("associated", a.number).Say(M::ObSectionClose);
          o.Nl();
          break;
        }
        case coff::AuxKind::FunctionDefinition: {
          auto a = coff::ReadAuxFunction(obj, s);
          o.Say(M::ObAuxFunction).Hex("totalSize", a.totalSize, 0).Say(M::ObAuxLinesAt);
          o.Hex("pointerToLinenumber", a.pointerToLinenumber, 8).Say(M::ObAuxNextFunction).Dec("nextFunction", a.pointerToNextFunction);
          o.Nl();
          break;
        }
        case coff::AuxKind::WeakExternal: {
          auto a = coff::ReadAuxWeak(obj, s);
          o.Say(M::ObAuxWeak).Dec("tagIndex", a.tagIndex).Say(M::ObAuxSearch);
          o.Dec("search", a.characteristics);
          o.Nl();
          break;
        }
        case coff::AuxKind::FileName:
          o.Say(M::ObAuxFile).Name("file", coff::AuxFileName(obj, s));
          o.Nl();
          break;
        case coff::AuxKind::ClrToken: {
          auto a = coff::ReadAuxClr(obj, s);
          o.Say(M::ObAuxClr).Dec("symbolIndex", a.symbolIndex);
          o.Nl();
          break;
        }
        default:
          break;
      }
    });
  }

  o.Nl();
  o.Say(M::ObSummaryTitle);
  o.Nl();
  Scoped summary(o, Scoped::kObject, "summary");
  Anomalies again;  // the symbol walk above reported what there is
  ObjectSummary(o, obj, ctx, again, "    ");
}

KESTROVA_PART(Object)

}  // namespace kestrova::dumper::print
