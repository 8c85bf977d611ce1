// Import, delay-load import and bound import directories.
#include "dumper/io/Format.h"
#include "dumper/pe/Parse.h"

namespace kestrova::dumper::pe {

using io::Hex;

namespace {

// A name the parser reads at an RVA: cut at kMaxName, reported when unmapped or unterminated.
std::string_view NameAt(const AddressMap& map, std::uint64_t rva, bool& ok, Area area, Anomalies& an,
                        const char* what) {
  ok = false;
  auto v = map.View(rva);
  if (!v) {
    an.AtRva(area, rva, std::string(what) + " is not backed by file data");
    return {};
  }
  io::CString s = v->String(0, kMaxName);
  if (!s.terminated) {
    an.AtOffset(area, v->Base() + s.text.size(),
                std::string(what) + (s.text.size() >= kMaxName ? " is longer than the name limit; cut" : " has no terminating NUL"));
    return s.text;
  }
  ok = true;
  return s.text;
}

// Walks one lookup table. `toRva` turns a hint/name reference into an RVA
// (it differs for the old delay-load form that stores addresses).
void WalkThunks(const Headers& h, const AddressMap& map, Budget& budget, Anomalies& an, Area area, ImportDll& dll,
                std::uint32_t tableRva, std::uint32_t slotBase, std::uint64_t vaBias) {
  const bool wide = h.opt.pe32plus;
  const std::uint64_t step = wide ? 8 : 4;
  auto view = map.View(tableRva);
  std::string who = dll.nameOk ? std::string(dll.name) : "descriptor at RVA " + Hex(dll.descriptorRva);
  if (!view) {
    an.AtRva(area, tableRva, "lookup table of " + who + " is not backed by file data");
    return;
  }
  for (std::uint64_t j = 0;; ++j) {
    std::uint64_t at = j * step;
    std::optional<std::uint64_t> v;
    if (wide) {
      v = view->U64(at);
    } else if (auto n = view->U32(at)) {
      v = *n;
    }
    if (!v) {
      an.AtOffset(area, view->Base() + at, "lookup table of " + who + " runs off the end of its data without a terminator; stopped");
      return;
    }
    if (*v == 0) return;
    if (!budget.Take()) {
      an.AtOffset(area, view->Base() + at,
                  "more import entries than the file can hold (tables reused in a loop?); stopped");
      return;
    }
    ImportFunction fn;
    fn.thunk = *v;
    std::uint64_t slot = std::uint64_t{slotBase} + at;
    fn.slotRva = static_cast<std::uint32_t>(slot);
    if (slot > UINT32_MAX) an.AtRva(area, slotBase, "IAT of " + who + " runs past the 4 GB address space");
    const std::uint64_t flag = wide ? (std::uint64_t{1} << 63) : (std::uint64_t{1} << 31);
    if (*v & flag) {
      fn.byOrdinal = true;
      fn.ordinal = static_cast<std::uint16_t>(*v & 0xFFFF);
      if ((*v & ~flag) > 0xFFFF)
        an.AtOffset(area, view->Base() + at, "ordinal entry " + Hex(*v) + " has bits set above the ordinal");
    } else {
      std::uint64_t ref = *v;
      if (vaBias != 0) ref -= std::min(ref, vaBias);
      if (wide && (ref >> 31) != 0) {
        an.AtOffset(area, view->Base() + at, "lookup entry " + Hex(*v) + " is neither an ordinal nor a name RVA");
        ref &= 0x7FFFFFFF;
      }
      fn.nameRva = static_cast<std::uint32_t>(ref);
      auto nv = map.View(ref);
      if (!nv || !nv->Has(0, 2)) {
        an.AtRva(area, ref, "hint/name entry of an import from " + who + " is not backed by file data");
      } else {
        fn.hint = *nv->U16(0);
        io::CString s = nv->String(2, kMaxName);
        fn.name = s.text;
        fn.nameOk = s.terminated;
        if (!s.terminated)
          an.AtOffset(area, nv->Base() + 2 + s.text.size(),
                      "import name from " + who + (s.text.size() >= kMaxName ? " is longer than the name limit; cut" : " has no terminating NUL"));
      }
    }
    dll.functions.push_back(fn);
  }
}

}  // namespace

ImportTable ParseImports(const io::Reader&, const Headers& h, const AddressMap& map, Budget& budget, Anomalies& an) {
  ImportTable t;
  if (h.dirs.size() <= kDirImport || h.dirs[kDirImport].rva == 0) return t;
  t.present = true;
  t.rva = h.dirs[kDirImport].rva;
  t.size = h.dirs[kDirImport].size;
  auto view = map.View(t.rva);
  if (!view) {
    an.AtRva(Area::Imports, t.rva, "import directory is not backed by file data");
    return t;
  }
  for (std::uint64_t i = 0;; ++i) {
    std::uint64_t at = i * 20;
    io::Cursor c(*view, at);
    ImportDll d;
    d.descriptorRva = static_cast<std::uint32_t>(t.rva + at);
    d.lookupRva = c.U32(); d.timeDateStamp = c.U32(); d.forwarderChain = c.U32(); d.nameRva = c.U32(); d.iatRva = c.U32();
    if (!c.ok()) {
      an.AtOffset(Area::Imports, view->Base() + at, "import descriptors run off the end of their data without a null entry; stopped");
      break;
    }
    if (d.lookupRva == 0 && d.timeDateStamp == 0 && d.forwarderChain == 0 && d.nameRva == 0 && d.iatRva == 0) break;
    if (d.nameRva == 0 || d.iatRva == 0) {
      an.AtOffset(Area::Imports, view->Base() + at, "descriptor without a name or IAT ends the table, as it does for the loader");
      break;
    }
    if (!budget.Take()) {
      an.AtOffset(Area::Imports, view->Base() + at, "more import descriptors than the file can hold; stopped");
      break;
    }
    d.name = NameAt(map, d.nameRva, d.nameOk, Area::Imports, an, "DLL name");
    std::uint32_t table = d.lookupRva != 0 ? d.lookupRva : d.iatRva;
    if (d.lookupRva == 0 && d.timeDateStamp != 0)
      an.AtRva(Area::Imports, d.iatRva, "bound DLL without a lookup table: its IAT holds addresses, not names");
    WalkThunks(h, map, budget, an, Area::Imports, d, table, d.iatRva, 0);
    t.dlls.push_back(std::move(d));
  }
  return t;
}

ImportTable ParseDelayImports(const io::Reader&, const Headers& h, const AddressMap& map, Budget& budget,
                              Anomalies& an) {
  ImportTable t;
  if (h.dirs.size() <= kDirDelayImport || h.dirs[kDirDelayImport].rva == 0) return t;
  t.present = true;
  t.rva = h.dirs[kDirDelayImport].rva;
  t.size = h.dirs[kDirDelayImport].size;
  auto view = map.View(t.rva);
  if (!view) {
    an.AtRva(Area::DelayImports, t.rva, "delay-load directory is not backed by file data");
    return t;
  }
  for (std::uint64_t i = 0;; ++i) {
    std::uint64_t at = i * 32;
    io::Cursor c(*view, at);
    ImportDll d;
    d.descriptorRva = static_cast<std::uint32_t>(t.rva + at);
    d.attributes = c.U32(); d.nameRva = c.U32(); d.moduleHandleRva = c.U32(); d.iatRva = c.U32();
    d.lookupRva = c.U32(); d.boundIatRva = c.U32(); d.unloadIatRva = c.U32(); d.timeDateStamp = c.U32();
    if (!c.ok()) {
      an.AtOffset(Area::DelayImports, view->Base() + at, "delay-load descriptors run off the end of their data without a null entry; stopped");
      break;
    }
    if (d.nameRva == 0) {
      if (d.attributes != 0 || d.iatRva != 0 || d.lookupRva != 0)
        an.AtOffset(Area::DelayImports, view->Base() + at, "descriptor without a name ends the table");
      break;
    }
    if (!budget.Take()) {
      an.AtOffset(Area::DelayImports, view->Base() + at, "more delay-load descriptors than the file can hold; stopped");
      break;
    }
    // Bit 0 clear: the early form, which stores virtual addresses.
    std::uint64_t bias = 0;
    if ((d.attributes & 1) == 0) {
      d.usesVas = true;
      bias = h.opt.imageBase;
      auto rebase = [&](std::uint32_t& v) {
        if (v != 0) v = static_cast<std::uint32_t>(v - static_cast<std::uint32_t>(bias));
      };
      rebase(d.nameRva); rebase(d.moduleHandleRva); rebase(d.iatRva); rebase(d.lookupRva);
      rebase(d.boundIatRva); rebase(d.unloadIatRva);
    }
    d.name = NameAt(map, d.nameRva, d.nameOk, Area::DelayImports, an, "delay-loaded DLL name");
    if (d.lookupRva == 0) {
      an.AtOffset(Area::DelayImports, view->Base() + at + 16, "descriptor of " + std::string(d.nameOk ? d.name : "a DLL") + " has no name table");
    } else {
      WalkThunks(h, map, budget, an, Area::DelayImports, d, d.lookupRva, d.iatRva, bias);
    }
    t.dlls.push_back(std::move(d));
  }
  return t;
}

BoundImportTable ParseBoundImports(const io::Reader&, const Headers& h, const AddressMap& map, Anomalies& an) {
  BoundImportTable t;
  if (h.dirs.size() <= kDirBoundImport || h.dirs[kDirBoundImport].rva == 0) return t;
  t.present = true;
  t.offset = h.dirs[kDirBoundImport].rva;
  t.size = h.dirs[kDirBoundImport].size;
  auto view = map.View(t.offset);
  if (!view) {
    an.AtRva(Area::BoundImports, t.offset, "bound import directory is not backed by file data");
    return t;
  }
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
    if (!r.nameOk) an.AtOffset(Area::BoundImports, view->Base() + r.nameOffset, "bound import name is not a terminated string inside the directory");
  };
  std::uint64_t at = 0;
  while (true) {
    BoundModule m;
    if (!readRef(at, m.module)) {
      an.AtOffset(Area::BoundImports, view->Base() + at, "bound import entries run off the end of their data without a null entry; stopped");
      break;
    }
    if (m.module.timeDateStamp == 0 && m.module.nameOffset == 0 && m.module.count == 0) break;
    at += 8;
    nameOf(m.module);
    for (std::uint16_t k = 0; k < m.module.count; ++k) {
      BoundRef r;
      if (!readRef(at, r)) {
        an.AtOffset(Area::BoundImports, view->Base() + at, "forwarder references run off the end of the bound import data; stopped");
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
