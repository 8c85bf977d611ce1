// The export directory.
#include "dumper/pe/ExportUse.h"
#include "dumper/pe/Parse.h"
#include "dumper/pe/Relocations.h"
#include "dumper/print/Part.h"
#include "dumper/lang/catalog/Exports.h"
#include "dumper/system/Closure.h"
#include "dumper/system/ImportedArgs.h"

namespace kestrova::dumper::print {

using namespace pe;
namespace M = lang::M;

namespace {

// What the rows said, for the legend under the table.
struct Shown {
  bool on = true;  // the marks are wanted at all
  bool inferred = false, data = false;
};

// " (stdcall, 3 dwords)": the convention that pops `bytes`, and the count in
// dwords when it is whole ones.
void Pops(Printer& o, std::uint16_t bytes, std::string_view name) {
  // A C++ name says its own convention (thiscall pops too); the code only that the callee pops.
  o.Say(M::ExpOpenParen).Word("args", name.starts_with("?") ? M::ExpCalleePops : M::ExpStdcall, "stdcall");
  if (bytes % 4 == 0) o.Say(bytes == 4 ? M::ExpDwordsOne : M::ExpDwordsMany, {bytes / 4u});
}

// A forwarder's callers pop what its target pops: its decorated name says so,
// or the target found in the DLL it names. Nothing is said when neither does.
void Forwarded(Printer& o, system::ImportedArgs& follow, const ExportEntry& e, std::string_view name, Shown& shown) {
  if (auto bytes = DecoratedBytes(name)) {
    o.Say(M::ExpArgs).Dec("argBytes", *bytes);
    Pops(o, *bytes, name);
    o.Say(M::ExpByName).Word("argsFrom", "", "name");
    return;
  }
  const ArgSize there = follow.Forwarded(e.forwardTo);
  if (there.kind == ArgSize::Kind::Stdcall) {
    o.Say(M::ExpArgs).Dec("argBytes", there.bytes);
    Pops(o, there.bytes, name);
  } else if (there.kind == ArgSize::Kind::NoArgs) {
    o.Say(M::ExpArgs).Dec("argBytes", 0).Say(M::ExpOpenParen).Word("args", M::ExpCdeclOrNone, "cdeclOrNone");
  } else {
    return;
  }
  o.Say(M::ExpAsTarget).Word("argsFrom", "", "forwarder");
  shown.inferred = true;
}

// What a caller needs beyond the address: that the export is data, or on
// 32-bit x86 how many bytes of arguments the function pops.
void Usage(Printer& o, ExportUse& use, system::ImportedArgs& follow, const ExportEntry& e, std::string_view name, Shown& shown) {
  if (e.forwarder && shown.on && use.I386()) {
    Forwarded(o, follow, e, name, shown);
    return;
  }
  if (e.forwarder || e.rva == 0 || !shown.on) return;
  switch (use.Data(e.rva, name)) {
    case DataReason::NotData: break;
    case DataReason::Section: shown.data = true; o.Text("  ").Word("data", M::ExpData, "section"); return;
    case DataReason::Relocation: shown.data = true; o.Text("  ").Word("data", M::ExpData, "relocation"); return;
    case DataReason::Name: shown.data = true; o.Text("  ").Word("data", M::ExpData, "name"); return;
  }
  ExportUse::Named a = use.ArgsOf(e.rva, name, e.ordinal);
  if (a.code.kind == ArgSize::Kind::None) return;
  if (a.decorated) {
    o.Say(M::ExpArgs).Dec("argBytes", *a.decorated);
    Pops(o, *a.decorated, name);
    o.Say(M::ExpByName).Word("argsFrom", "", "name");
    return;
  }
  shown.inferred = true;
  std::string_view from = "code";
  switch (a.code.kind) {
    case ArgSize::Kind::Stdcall:
      o.Say(M::ExpArgs).Dec("argBytes", a.code.bytes);
      Pops(o, a.code.bytes, name);
      o.Say(M::ExpCloseParen);
      break;
    case ArgSize::Kind::NoArgs:
      o.Say(M::ExpArgs).Dec("argBytes", 0).Say(M::ExpOpenParen).Word("args", M::ExpCdeclOrNone, "cdeclOrNone");
      o.Say(M::ExpCloseParen);
      break;
    case ArgSize::Kind::Conflict:
      o.Say(M::ExpArgs).Dec("argBytes", a.code.bytes).Say(M::ExpOr).Dec("argBytesOther", a.code.other);
      o.Say(M::ExpOpenParen).Word("args", M::ExpPathsDiffer, "conflict").Say(M::ExpCloseParen);
      break;
    case ArgSize::Kind::ViaImport: {
      std::string_view dll;
      const ImportFunction* f = use.SlotImport(a.code.importSlot, dll);
      if (f == nullptr) {
        o.Say(M::ExpArgs).Word("args", M::ExpAs, "viaImport").Say(M::ExpSlotBefore);
        o.Hex("importSlot", a.code.importSlot, 8).Say(M::ExpSlotAfter);
        break;
      }
      auto target = [&] {
        o.Name("jumpsToDll", dll).Ch(' ');
        if (f->byOrdinal) o.Ch('#').Dec("jumpsToOrdinal", f->ordinal);
        else o.Name("jumpsToFunction", f->name);
      };
      const ArgSize there = follow.Of(dll, *f);
      if (there.kind == ArgSize::Kind::Stdcall) {
        // Settled by the code it jumps to, in the DLL found for it.
        o.Say(M::ExpArgs).Dec("argBytes", there.bytes);
        Pops(o, there.bytes, name);
        o.Say(M::ExpAsComma);
        target();
        o.Say(M::ExpCloseParen);
        from = "import";
      } else if (there.kind == ArgSize::Kind::NoArgs) {
        o.Say(M::ExpArgs).Dec("argBytes", 0).Say(M::ExpOpenParen).Word("args", M::ExpCdeclOrNone, "cdeclOrNone");
        o.Say(M::ExpAsComma);
        target();
        o.Say(M::ExpCloseParen);
        from = "import";
      } else {
        o.Say(M::ExpArgs).Word("args", M::ExpAs, "viaImport").Ch(' ');
        target();
        o.Say(M::ExpJumpsThere);
      }
      break;
    }
    default: o.Say(M::ExpArgs).Word("args", M::ExpUnknown, "unknown"); break;
  }
  o.Word("argsFrom", "", from);
}

}  // namespace

void PrintExports(Printer& o, const ExportTable& t, const Context& ctx) {
  if (t.present) {
    ExportWalker walker(t, ctx);
    Field(o, M::ExpDirectory).Text("RVA ").Hex("rva", t.rva, 8).Say(M::ExpDirectorySize).Hex("size", t.size, 8);
    o.Nl();
    // The DLL's own name; without one, "nameRva" 0 says so.
    Field(o, M::ExpName, "name");
    if (t.nameRva == 0) o.Say(M::ExpNoDllName);
    else o.Name("name", t.name);
    o.Say(M::ExpNameAt).Hex("nameRva", t.nameRva, 8);
    o.Nl();
    DirectoryStamp(o, t.characteristics, t.timeDateStamp, t.majorVersion, t.minorVersion);
    Field(o, M::ExpBase).Dec("Base", t.base);
    o.Nl();
    Field(o, "NumberOfFunctions").Dec("NumberOfFunctions", t.numberOfFunctions);
    o.Nl();
    Field(o, "NumberOfNames").Dec("NumberOfNames", t.numberOfNames);
    o.Nl();
    Field(o, "AddressOfFunctions").Hex("AddressOfFunctions", t.addressOfFunctions, 8);
    o.Nl();
    Field(o, "AddressOfNames").Hex("AddressOfNames", t.addressOfNames, 8);
    o.Nl();
    Field(o, "AddressOfNameOrdinals").Hex("AddressOfNameOrdinals", t.addressOfNameOrdinals, 8);
    o.Nl();
    o.Nl();
    // One line per ordinal and name: ordinal, hint (name table index), RVA, name, forwarder target.
    // In JSON one row each; an ordinal with two names gives two rows, as in the listing.
    o.Say(M::ExpHeading);
    o.Nl();
    std::uint64_t unnamed = 0, used = 0;
    // The imports and relocations the usage rules read, parsed again on the
    // side: their own parts have reported their damage already.
    Anomalies quiet;
    Budget sideWork(ctx.file.Size());
    const Context side{ctx.file, ctx.h, ctx.map, sideWork, quiet, ctx.options};
    Shown shown;
    shown.on = ctx.options.exportUsage;
    // Only 32-bit x86 code is walked, and only its walks look at the imports.
    constexpr std::uint16_t kMachineI386 = 0x14C;
    const bool i386 = ctx.h.coff.machine == kMachineI386 && !ctx.h.opt.pe32plus;
    const ImportTable imports = i386 && shown.on ? ParseImports(side) : ImportTable{};
    const RelocationTable relocations = shown.on ? ParseRelocations(side) : RelocationTable{};
    ExportUse use(ctx, t, &imports, &relocations);
    // Thunks and forwarders followed into the DLLs they lead to: those the
    // Dependencies part found, or where the loader would look (without a
    // system, the application folder).
    system::ImportedArgs follow(ctx.options.deps, ctx.facts != nullptr ? &ctx.facts->depsPaths : nullptr);
    {
      Scoped rows(o, Scoped::kList, "exports");
      ExportEntry e;
      while (!o.Exhausted() && walker.Next(e)) {
        if (e.rva == 0 && e.nameCount == 0) {
          Scoped row(o, Scoped::kObject, {});
          o.Text("  ").DecR("ordinal", e.ordinal, 7).Text("      -  ").Hex("rva", 0, 8).Say(M::ExpEmptySlot);
          o.Fact("emptySlot", true);
          o.Nl();
          continue;
        }
        ++used;
        if (e.nameCount == 0) {
          ++unnamed;
          Scoped row(o, Scoped::kObject, {});
          o.Text("  ").DecR("ordinal", e.ordinal, 7).Text("      -  ").Hex("rva", e.rva, 8).Say(M::ExpNoName);
          o.Fact("noName", true);
          if (e.forwarder) o.Text("  -> ").Name("forwarder", e.forwardTo);
          Usage(o, use, follow, e, {}, shown);
          o.Nl();
          continue;
        }
        for (std::uint32_t k = 0; k < e.nameCount; ++k) {
          ExportName n = walker.Name(e, k);
          Scoped row(o, Scoped::kObject, {});
          o.Text("  ").DecR("ordinal", e.ordinal, 7).Ch(' ').DecR("hint", n.index, 6).Text("  ");
          o.Hex("rva", e.rva, 8).Text("  ");
          if (n.name.empty() && !n.ok) {
            o.Say(M::ExpNameNotReadable).Fact("nameNotReadable", true).Hex("nameRva", n.rva, 0).Say(M::ExpCloseParen);
          } else {
            o.Name("name", n.name);
          }
          if (e.forwarder) o.Text("  -> ").Name("forwarder", e.forwardTo);
          Usage(o, use, follow, e, n.name, shown);
          Readable(o, n.name, ctx);
          o.Nl();
        }
      }
    }
    // Names whose ordinal points past the address table: they export nothing.
    if (!t.strayNames.empty() && !o.Exhausted()) {
      Scoped rows(o, Scoped::kList, "strayNames");
      for (std::size_t i = 0; i < t.strayNames.size() && !o.Exhausted(); ++i) {
        std::uint32_t entry = 0;
        ExportName n = walker.StrayName(i, entry);
        Scoped row(o, Scoped::kObject, {});
        o.Text("        ?  ").DecR("hint", n.index, 6).Text("  --------  ").Name("name", n.name);
        o.Say(M::ExpStrayEntry).Dec("addressTableEntry", entry).Say(M::ExpStrayMissing);
        o.Nl();
      }
    }
    // Counts the rows above already give.
    o.Say(M::ExpCountsOpen);
    Count(o, kNoKey, used, M::ExpOrdinalsOne, M::ExpOrdinalsMany);
    o.Say(M::ExpInUse, {unnamed});
    Count(o, kNoKey, walker.Unused(), M::ExpEmptySlotsOne, M::ExpEmptySlotsMany);
    o.Nl();
    if (shown.inferred) {
      o.Say(M::ExpLegendArgs);
      o.Nl();
    }
    if (shown.data) {
      o.Say(M::ExpLegendData);
      o.Nl();
    }
  }
}

KESTROVA_PART(Exports)

}  // namespace kestrova::dumper::print
