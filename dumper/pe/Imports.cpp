// Import, delay-load import and bound import directories.
#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Imports.h"
#include "dumper/pe/Facts.h"
#include "dumper/pe/KnownOrdinals.h"
#include "dumper/pe/Parse.h"

namespace kestrova::dumper::pe {

using io::Hex;
namespace M = lang::M;

namespace {

// Walks one lookup table. `vaBias` is taken off hint/name references for the
// old delay-load form, which stores addresses instead of RVAs.
void WalkThunks(const Context& ctx, Area area, ImportDll& dll, std::uint32_t tableRva, std::uint32_t slotBase,
                std::uint64_t vaBias) {
  const AddressMap& map = ctx.map;
  Anomalies& an = ctx.an;
  const lang::Lang l = ctx.options.lang;
  const bool wide = ctx.h.opt.pe32plus;
  const std::uint64_t step = wide ? 8 : 4;
  auto view = map.View(tableRva);
  std::string who = dll.nameOk ? std::string(dll.name) : lang::Say(l, M::ImpDescriptorAt, {Hex(dll.descriptorRva)});
  if (!view && tableRva != slotBase && vaBias == 0) {
    // The loader takes the names from the IAT when the lookup table lies outside the image.
    an.AtRva(area, tableRva, lang::Say(l, M::ImpLookupOutside, {who}));
    tableRva = slotBase;
    view = map.View(tableRva);
  }
  if (!view) {
    an.AtRva(area, tableRva, lang::Say(l, M::ImpLookupNotBacked, {who}));
    return;
  }
  const std::string endText = lang::Say(l, M::ImpLookupRunsOff, {who});
  auto entry = [&](std::uint64_t at) { return wide ? *view->U64(at) : std::uint64_t{*view->U32(at)}; };
  WalkEntries(ctx, *view, step, area, endText, lang::Say(l, M::ImpTooManyEntries),
              [&](std::uint64_t, std::uint64_t at) { return entry(at) == 0; },
              [&](std::uint64_t, std::uint64_t at) {
    const std::uint64_t v = entry(at);
    ImportFunction fn;
    fn.thunk = v;
    std::uint64_t slot = std::uint64_t{slotBase} + at;
    fn.slotRva = static_cast<std::uint32_t>(slot);
    if (slot > UINT32_MAX) an.AtRva(area, slotBase, lang::Say(l, M::ImpIatPast4Gb, {who}));
    const std::uint64_t flag = wide ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 31);
    if (v & flag) {
      fn.byOrdinal = true;
      fn.ordinal = static_cast<std::uint16_t>(v & 0xFFFF);
      if ((v & ~flag) > 0xFFFF)
        an.AtOffset(area, view->Base() + at, lang::Say(l, M::ImpOrdinalHighBits, {Hex(v)}));
    } else {
      std::uint64_t ref = v;
      if (vaBias != 0 && ref >= vaBias) ref -= vaBias;
      if (wide && (ref >> 31) != 0) {
        an.AtOffset(area, view->Base() + at, lang::Say(l, M::ImpNeitherOrdinalNorName, {Hex(v)}));
        ref &= 0x7FFFFFFF;
      }
      fn.nameRva = static_cast<std::uint32_t>(ref);
      auto nv = map.View(ref);
      if (!nv || !nv->Has(0, 2)) {
        an.AtRva(area, ref, lang::Say(l, M::ImpHintNameNotBacked, {who}));
      } else {
        fn.hint = *nv->U16(0);
        NameRead n = NameIn(ctx, *nv, 2, area, What(M::ImpNameFrom, who));
        fn.name = n.text;
        fn.nameOk = n.ok;
      }
    }
    if (fn.byOrdinal && dll.nameOk) fn.knownName = KnownOrdinalName(dll.name, fn.ordinal);
    dll.functions.push_back(fn);
    return true;
  });
}

// The directory's fields into the table; its data, when file bytes back it.
DirectoryView OpenImportTable(const Context& ctx, int index, Area area, lang::Msg what, ImportTable& t) {
  DirectoryView dir = OpenDirectory(ctx, index, area, what);
  t.present = dir.present;
  t.rva = dir.rva;
  t.size = dir.size;
  return dir;
}

}  // namespace

ImportTable ParseImports(const Context& ctx) {
  ImportTable t;
  DirectoryView dir = OpenImportTable(ctx, kDirImport, Area::Imports, M::ImpImportDirectory, t);
  if (!dir.backed) return t;
  const io::Reader& view = dir.data;
  auto read = [&](std::uint64_t at) {
    io::Cursor c(view, at);
    ImportDll d;
    d.descriptorRva = static_cast<std::uint32_t>(t.rva + at);
    d.lookupRva = c.U32(); d.timeDateStamp = c.U32(); d.forwarderChain = c.U32(); d.nameRva = c.U32(); d.iatRva = c.U32();
    return d;
  };
  ImportDll d;  // the descriptor the walk is at: read once, when checked for the end
  WalkEntries(ctx, view, 20, Area::Imports,
              lang::Say(ctx.options.lang, M::ImpDescriptorsRunOff), lang::Say(ctx.options.lang, M::ImpTooManyDescriptors),
              [&](std::uint64_t, std::uint64_t at) {
                d = read(at);
                if (d.lookupRva == 0 && d.timeDateStamp == 0 && d.forwarderChain == 0 && d.nameRva == 0 && d.iatRva == 0)
                  return true;
                if (d.nameRva == 0 || d.iatRva == 0) {
                  ctx.an.AtOffset(Area::Imports, view.Base() + at,
                                  lang::Say(ctx.options.lang, M::ImpDescriptorEndsTable));
                  return true;
                }
                return false;
              },
              [&](std::uint64_t, std::uint64_t) {
                NameRead n = NameAt(ctx, d.nameRva, Area::Imports, What(M::ImpDllName));
                d.name = n.text;
                d.nameOk = n.ok;
                std::uint32_t table = d.lookupRva != 0 ? d.lookupRva : d.iatRva;
                if (d.lookupRva == 0 && d.timeDateStamp != 0)
                  ctx.an.AtRva(Area::Imports, d.iatRva, lang::Say(ctx.options.lang, M::ImpBoundNoLookup));
                WalkThunks(ctx, Area::Imports, d, table, d.iatRva, 0);
                if (ctx.facts) NoteImport(ctx.facts->marks, d);
                if (ctx.facts) {
                  ++ctx.facts->importDlls;
                  ctx.facts->importFunctions += d.functions.size();
                }
                t.dlls.push_back(std::move(d));
                return true;
              });
  return t;
}

ImportTable ParseDelayImports(const Context& ctx) {
  ImportTable t;
  DirectoryView dir = OpenImportTable(ctx, kDirDelayImport, Area::DelayImports, M::ImpDelayDirectory, t);
  if (!dir.backed) return t;
  const io::Reader& view = dir.data;
  auto read = [&](std::uint64_t at) {
    io::Cursor c(view, at);
    ImportDll d;
    d.descriptorRva = static_cast<std::uint32_t>(t.rva + at);
    d.attributes = c.U32(); d.nameRva = c.U32(); d.moduleHandleRva = c.U32(); d.iatRva = c.U32();
    d.lookupRva = c.U32(); d.boundIatRva = c.U32(); d.unloadIatRva = c.U32(); d.timeDateStamp = c.U32();
    return d;
  };
  ImportDll d;  // the descriptor the walk is at: read once, when checked for the end
  WalkEntries(ctx, view, 32, Area::DelayImports,
              lang::Say(ctx.options.lang, M::ImpDelayRunOff), lang::Say(ctx.options.lang, M::ImpTooManyDelay),
              [&](std::uint64_t, std::uint64_t at) {
                d = read(at);
                if (d.nameRva != 0) return false;
                if (d.attributes != 0 || d.iatRva != 0 || d.lookupRva != 0)
                  ctx.an.AtOffset(Area::DelayImports, view.Base() + at, lang::Say(ctx.options.lang, M::ImpDelayNoName));
                return true;
              },
              [&](std::uint64_t, std::uint64_t at) {
                // Bit 0 clear: the early form, which stores virtual addresses. The
                // program's own helper reads the table, and some mix in RVAs: a field
                // below the image base cannot be an address, so it is taken as an RVA.
                std::uint64_t bias = 0;
                if ((d.attributes & 1) == 0) {
                  d.usesVas = true;
                  bias = ctx.h.opt.imageBase;
                  bool mixed = false;
                  auto rebase = [&](std::uint32_t& v) {
                    if (v == 0) return;
                    if (v >= bias) v = static_cast<std::uint32_t>(v - static_cast<std::uint32_t>(bias));
                    else mixed = true;
                  };
                  rebase(d.nameRva); rebase(d.moduleHandleRva); rebase(d.iatRva); rebase(d.lookupRva);
                  rebase(d.boundIatRva); rebase(d.unloadIatRva);
                  if (mixed)
                    ctx.an.AtOffset(Area::DelayImports, view.Base() + at,
                                    lang::Say(ctx.options.lang, M::ImpDelayMixed));
                }
                NameRead n = NameAt(ctx, d.nameRva, Area::DelayImports, What(M::ImpDelayDllName));
                d.name = n.text;
                d.nameOk = n.ok;
                if (d.lookupRva == 0) {
                  ctx.an.AtOffset(Area::DelayImports, view.Base() + at + 16,
                                  d.nameOk ? lang::Say(ctx.options.lang, M::ImpDelayNoNameTable, {d.name})
                                           : lang::Say(ctx.options.lang, M::ImpDelayNoNameTableUnnamed));
                } else {
                  WalkThunks(ctx, Area::DelayImports, d, d.lookupRva, d.iatRva, bias);
                }
                if (ctx.facts) {
                  ++ctx.facts->delayDlls;
                  ctx.facts->delayFunctions += d.functions.size();
                }
                t.dlls.push_back(std::move(d));
                return true;
              });
  return t;
}

BoundImportTable ParseBoundImports(const Context& ctx) {
  BoundImportTable t;
  Anomalies& an = ctx.an;
  const lang::Lang l = ctx.options.lang;
  DirectoryView dir = OpenDirectory(ctx, kDirBoundImport, Area::BoundImports, M::ImpBoundDirectory);
  t.present = dir.present;
  t.offset = dir.rva;
  t.size = dir.size;
  if (!dir.backed) return t;
  const io::Reader* view = &dir.data;
  auto readRef = [&](std::uint64_t at, BoundRef& r) {
    io::Cursor c(*view, at);
    r.offset = view->Base() + at;
    r.timeDateStamp = c.U32(); r.nameOffset = c.U16(); r.count = c.U16();
    return c.ok();
  };
  auto nameOf = [&](BoundRef& r) {
    // Names are relative to the start of the directory.
    io::CString s = view->String(r.nameOffset, kMaxName);
    r.name = s.text;
    r.nameOk = s.terminated && view->Has(r.nameOffset, 1);
    if (!r.nameOk) an.AtOffset(Area::BoundImports, view->Base() + r.nameOffset, lang::Say(l, M::ImpBoundNameBad));
  };
  // The header area reads as zeros up to SizeOfHeaders, so the end of the data no
  // longer bounds the walk: the budget does.
  auto spent = [&](std::uint64_t where) {
    if (ctx.budget.Take()) return false;
    an.AtOffset(Area::BoundImports, view->Base() + where, lang::Say(l, M::ImpBoundBudget));
    return true;
  };
  std::uint64_t at = 0;
  while (true) {
    BoundModule m;
    if (spent(at)) break;
    if (!readRef(at, m.module)) {
      an.AtOffset(Area::BoundImports, view->Base() + at, lang::Say(l, M::ImpBoundRunOff));
      break;
    }
    if (m.module.timeDateStamp == 0 && m.module.nameOffset == 0 && m.module.count == 0) break;
    at += 8;
    nameOf(m.module);
    for (std::uint16_t k = 0; k < m.module.count; ++k) {
      BoundRef r;
      if (spent(at)) {
        t.modules.push_back(std::move(m));
        return t;
      }
      if (!readRef(at, r)) {
        an.AtOffset(Area::BoundImports, view->Base() + at, lang::Say(l, M::ImpBoundForwardersRunOff));
        t.modules.push_back(std::move(m));
        return t;
      }
      at += 8;
      nameOf(r);
      m.forwarders.push_back(r);
    }
    t.modules.push_back(std::move(m));
  }
  return t;
}

}  // namespace kestrova::dumper::pe
