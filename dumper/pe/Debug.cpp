// The debug directory and the kinds of debug data a reader looks for.
#include "dumper/pe/Debug.h"

#include <algorithm>
#include <string>

#include "dumper/io/Format.h"
#include "dumper/pe/Facts.h"
#include "dumper/lang/catalog/Debug.h"

namespace kestrova::dumper::pe {

using io::Dec;
using io::Hex;
namespace M = lang::M;

namespace {

constexpr Named kDebugTypes[] = {
    {0, "UNKNOWN", Gloss(M::DbgTypeUnknown)},
    {1, "COFF", Gloss(M::DbgTypeCoff)},
    {2, "CODEVIEW", Gloss(M::DbgTypeCodeView)},
    {3, "FPO", Gloss(M::DbgTypeFpo)},
    {4, "MISC", Gloss(M::DbgTypeMisc)},
    {5, "EXCEPTION", Gloss(M::DbgTypeException)},
    {6, "FIXUP", Gloss(M::DbgTypeFixup)},
    {7, "OMAP_TO_SRC", Gloss(M::DbgTypeOmapToSrc)},
    {8, "OMAP_FROM_SRC", Gloss(M::DbgTypeOmapFromSrc)},
    {9, "BORLAND", Gloss(M::DbgTypeBorland)},
    {10, "RESERVED10", Gloss(M::DbgTypeReserved)},
    {11, "CLSID", "CLSID"},
    {12, "VC_FEATURE", Gloss(M::DbgTypeVcFeature)},
    {13, "POGO", Gloss(M::DbgTypePogo)},
    {14, "ILTCG", Gloss(M::DbgTypeIltcg)},
    {15, "MPX", "Intel MPX"},
    {16, "REPRO", Gloss(M::DbgTypeRepro)},
    {17, "EMBEDDED_PORTABLE_PDB", Gloss(M::DbgTypePortablePdb)},
    {18, "SPGO", Gloss(M::DbgTypeSpgo)},
    {19, "PDBCHECKSUM", Gloss(M::DbgTypePdbChecksum)},
    {20, "EX_DLLCHARACTERISTICS", Gloss(M::DbgTypeExDll)},
};

constexpr Named kExDll[] = {
    {0x01, "CET_COMPAT", Gloss(M::DbgExCetCompat)},
    {0x02, "CET_COMPAT_STRICT_MODE", Gloss(M::DbgExCetStrict)},
    {0x04, "CET_SET_CONTEXT_IP_VALIDATION_RELAXED_MODE", Gloss(M::DbgExCetRelaxed)},
    {0x08, "CET_DYNAMIC_APIS_ALLOW_IN_PROC", Gloss(M::DbgExCetDynamicApis)},
    {0x10, "CET_RESERVED_1", Gloss(M::DbgExReserved)},
    {0x20, "CET_RESERVED_2", Gloss(M::DbgExReserved)},
    {0x40, "FORWARD_CFI_COMPAT", Gloss(M::DbgExForwardCfi)},
    {0x80, "HOTPATCH_COMPATIBLE", Gloss(M::DbgExHotPatch)},
};

}  // namespace

std::span<const Named> DebugTypes() { return kDebugTypes; }
std::span<const Named> ExDllCharacteristics() { return kExDll; }

DebugDirectory ParseDebug(const Context& ctx) {
  DebugDirectory d;
  const lang::Lang l = ctx.options.lang;
  DirectoryView dir = OpenDirectory(ctx, kDirDebug, Area::Debug, M::DbgWhatDirectory);
  d.rva = dir.rva;
  d.size = dir.size;
  if (!dir.backed) return d;
  d.present = true;
  if (dir.size % kDebugEntrySize != 0)
    ctx.an.AtRva(Area::Debug, dir.rva, lang::Say(l, M::DbgSizeNotWhole, {Hex(dir.size)}));
  const std::uint32_t want = dir.size / kDebugEntrySize;
  std::uint32_t n = 0;
  WalkEntries(
      ctx, dir.data, kDebugEntrySize, Area::Debug, lang::Say(l, M::DbgRunsPastSection), lang::Say(l, M::DbgBudget),
      [&](std::uint64_t i, std::uint64_t) { return i >= want; },
      [&](std::uint64_t, std::uint64_t) {
        ++n;
        return true;
      });
  d.count = n;
  d.entries = *dir.data.Sub(0, std::uint64_t{n} * kDebugEntrySize);
  return d;
}

DebugEntry ReadDebugEntry(const Context& ctx, const DebugDirectory& d, std::uint32_t i) {
  DebugEntry e;
  const std::uint64_t at = std::uint64_t{i} * kDebugEntrySize;
  e.offset = d.entries.Base() + at;
  io::Cursor c(d.entries, at);
  e.characteristics = c.U32(); e.timeDateStamp = c.U32(); e.majorVersion = c.U16(); e.minorVersion = c.U16();
  e.type = c.U32(); e.sizeOfData = c.U32(); e.addressOfRawData = c.U32(); e.pointerToRawData = c.U32();
  if (ctx.facts && e.type == kDebugRepro) ctx.facts->repro = true;
  if (e.sizeOfData == 0) return e;
  const lang::Lang l = ctx.options.lang;
  const std::uint64_t number = std::uint64_t{i} + 1;

  // The file offset is what debuggers read; the RVA matters only when the data is mapped.
  if (e.pointerToRawData != 0) {
    if (e.pointerToRawData >= ctx.file.Size()) {
      ctx.an.AtOffset(Area::Debug, e.pointerToRawData, lang::Say(l, M::DbgDataOutsideFile, {number}));
      return e;
    }
    e.data = ctx.file.From(e.pointerToRawData);
  } else if (e.addressOfRawData != 0) {
    auto v = ctx.map.View(e.addressOfRawData);
    if (!v) {
      ctx.an.AtRva(Area::Debug, e.addressOfRawData, lang::Say(l, M::DbgDataNotBacked, {number}));
      return e;
    }
    e.data = *v;
  } else {
    ctx.an.AtOffset(Area::Debug, e.offset, lang::Say(l, M::DbgNoPlace, {number}));
    return e;
  }
  if (e.data.Size() < e.sizeOfData)
    ctx.an.AtOffset(Area::Debug, e.data.Base() + e.data.Size(),
                    lang::Say(l, M::DbgDataCut, {number, e.data.Size(), e.sizeOfData}));
  e.data = *e.data.Sub(0, std::min<std::uint64_t>(e.data.Size(), e.sizeOfData));
  // EX_DLLCHARACTERISTICS: its first bit is CET_COMPAT.
  if (ctx.facts && e.type == kDebugExDllCharacteristics && (e.data.U32(0).value_or(0) & 0x01) != 0)
    ctx.facts->cetCompat = true;
  if (e.pointerToRawData != 0 && e.addressOfRawData != 0) {
    auto off = ctx.map.ToOffset(e.addressOfRawData);
    if (off && *off != e.pointerToRawData)
      ctx.an.AtOffset(Area::Debug, e.offset + 20,
                      lang::Say(l, M::DbgAddressMismatch, {number, Hex(*off), Hex(e.pointerToRawData)}));
  }
  return e;
}

CodeViewInfo ReadCodeView(const Context& ctx, const DebugEntry& e) {
  CodeViewInfo cv;
  const io::Reader& r = e.data;
  cv.signature = r.U32(0).value_or(0);
  std::uint64_t pathAt = 0;
  if (cv.signature == kCodeViewRsds && r.Has(0, 24)) {
    for (std::size_t i = 0; i < cv.guid.size(); ++i) cv.guid[i] = *r.U8(4 + i);
    cv.age = *r.U32(20);
    pathAt = 24;
  } else if (cv.signature == kCodeViewNb10 && r.Has(0, 16)) {
    cv.nb10Signature = *r.U32(8);
    cv.age = *r.U32(12);
    pathAt = 16;
  } else {
    if (cv.signature == kCodeViewRsds || cv.signature == kCodeViewNb10)
      ctx.an.AtOffset(Area::Debug, r.Base(), lang::Say(ctx.options.lang, M::DbgCodeViewShort));
    return cv;
  }
  cv.ok = true;
  cv.path = NameIn(ctx, r, pathAt, Area::Debug, What(M::DbgWhatPdbPath)).text;
  if (ctx.facts && ctx.facts->pdbPath.empty()) ctx.facts->pdbPath = cv.path;
  return cv;
}

std::array<char, 4> DebugSignature(const DebugEntry& e) {
  std::array<char, 4> s{};
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>(e.data.U8(i).value_or(0));
  return s;
}

namespace detail {

bool PogoAt(const Context& ctx, const DebugEntry& e, std::uint64_t at, PogoEntry& out, std::uint64_t& next) {
  const io::Reader& r = e.data;
  if (at >= r.Size()) return false;
  if (!r.Has(at, 8)) {
    ctx.an.AtOffset(Area::Debug, r.Base() + at, lang::Say(ctx.options.lang, M::DbgPogoEndsInEntry));
    return false;
  }
  if (!ctx.budget.Take()) {
    ctx.an.AtOffset(Area::Debug, r.Base() + at, lang::Say(ctx.options.lang, M::DbgPogoBudget));
    return false;
  }
  out.rva = *r.U32(at);
  out.size = *r.U32(at + 4);
  io::CString s = r.String(at + 8, kMaxName);
  out.name = s.text;
  if (!s.terminated) {
    ctx.an.AtOffset(Area::Debug, r.Base() + at + 8, lang::Say(ctx.options.lang, M::DbgPogoNoNul));
    next = r.Size();
    return true;
  }
  // Names are padded with NULs to the next 4-byte boundary.
  next = (at + 8 + s.text.size() + 1 + 3) & ~std::uint64_t{3};
  return true;
}

}  // namespace detail

}  // namespace kestrova::dumper::pe
