// The debug directory and the kinds of debug data a reader looks for.
#include "dumper/pe/Debug.h"

#include <algorithm>
#include <string>

#include "dumper/io/Format.h"
#include "dumper/pe/Facts.h"

namespace kestrova::dumper::pe {

using io::Dec;
using io::Hex;

namespace {

constexpr Named kDebugTypes[] = {
    {0, "UNKNOWN", "unknown"},
    {1, "COFF", "COFF symbols and line numbers"},
    {2, "CODEVIEW", "CodeView: where the PDB is"},
    {3, "FPO", "frame pointer omission records"},
    {4, "MISC", "the image's file name"},
    {5, "EXCEPTION", "a copy of the exception data"},
    {6, "FIXUP", "fixups"},
    {7, "OMAP_TO_SRC", "address map to the source image"},
    {8, "OMAP_FROM_SRC", "address map from the source image"},
    {9, "BORLAND", "Borland debug data"},
    {10, "RESERVED10", "reserved"},
    {11, "CLSID", "CLSID"},
    {12, "VC_FEATURE", "compiler feature counts"},
    {13, "POGO", "profile-guided layout of the sections"},
    {14, "ILTCG", "incremental link-time code generation"},
    {15, "MPX", "Intel MPX"},
    {16, "REPRO", "deterministic build: the time stamps are a hash"},
    {17, "EMBEDDED_PORTABLE_PDB", "a portable PDB inside the image"},
    {18, "SPGO", "sample profile-guided optimization"},
    {19, "PDBCHECKSUM", "checksum of the PDB"},
    {20, "EX_DLLCHARACTERISTICS", "more DLL characteristics"},
};

constexpr Named kExDll[] = {
    {0x01, "CET_COMPAT", "shadow stack compatible (CET)"},
    {0x02, "CET_COMPAT_STRICT_MODE", "shadow stack enforced strictly"},
    {0x04, "CET_SET_CONTEXT_IP_VALIDATION_RELAXED_MODE", "relaxed context IP checks"},
    {0x08, "CET_DYNAMIC_APIS_ALLOW_IN_PROC", "dynamic shadow stack APIs in-process only"},
    {0x10, "CET_RESERVED_1", "reserved"},
    {0x20, "CET_RESERVED_2", "reserved"},
    {0x40, "FORWARD_CFI_COMPAT", "forward control-flow integrity compatible"},
    {0x80, "HOTPATCH_COMPATIBLE", "can be hot-patched"},
};

std::string EntryName(std::uint32_t i) { return "debug entry " + Dec(i + 1); }

}  // namespace

std::span<const Named> DebugTypes() { return kDebugTypes; }
std::span<const Named> ExDllCharacteristics() { return kExDll; }

DebugDirectory ParseDebug(const Context& ctx) {
  DebugDirectory d;
  DirectoryView dir = OpenDirectory(ctx, kDirDebug, Area::Debug, "debug directory");
  d.rva = dir.rva;
  d.size = dir.size;
  if (!dir.backed) return d;
  d.present = true;
  if (dir.size % kDebugEntrySize != 0)
    ctx.an.AtRva(Area::Debug, dir.rva,
                 "debug directory size " + Hex(dir.size) + " is not a whole number of 28-byte entries");
  const std::uint32_t want = dir.size / kDebugEntrySize;
  std::uint32_t n = 0;
  WalkEntries(
      ctx, dir.data, kDebugEntrySize, Area::Debug, "debug directory runs past the end of its section's data",
      "debug directory: work budget spent; the rest is not listed", [&](std::uint64_t i, std::uint64_t) { return i >= want; },
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

  // The file offset is what debuggers read; the RVA matters only when the data is mapped.
  if (e.pointerToRawData != 0) {
    if (e.pointerToRawData >= ctx.file.Size()) {
      ctx.an.AtOffset(Area::Debug, e.pointerToRawData, "data of " + EntryName(i) + " lies outside the file");
      return e;
    }
    e.data = ctx.file.From(e.pointerToRawData);
  } else if (e.addressOfRawData != 0) {
    auto v = ctx.map.View(e.addressOfRawData);
    if (!v) {
      ctx.an.AtRva(Area::Debug, e.addressOfRawData, "data of " + EntryName(i) + " is not backed by file data");
      return e;
    }
    e.data = *v;
  } else {
    ctx.an.AtOffset(Area::Debug, e.offset, EntryName(i) + " has a size but neither an offset nor an RVA");
    return e;
  }
  if (e.data.Size() < e.sizeOfData)
    ctx.an.AtOffset(Area::Debug, e.data.Base() + e.data.Size(),
                    "data of " + EntryName(i) + " is cut short: " + Dec(e.data.Size()) + " of " + Dec(e.sizeOfData) +
                        " bytes");
  e.data = *e.data.Sub(0, std::min<std::uint64_t>(e.data.Size(), e.sizeOfData));
  // EX_DLLCHARACTERISTICS: its first bit is CET_COMPAT.
  if (ctx.facts && e.type == kDebugExDllCharacteristics && (e.data.U32(0).value_or(0) & 0x01) != 0)
    ctx.facts->cetCompat = true;
  if (e.pointerToRawData != 0 && e.addressOfRawData != 0) {
    auto off = ctx.map.ToOffset(e.addressOfRawData);
    if (off && *off != e.pointerToRawData)
      ctx.an.AtOffset(Area::Debug, e.offset + 20,
                      "AddressOfRawData of " + EntryName(i) + " maps to file offset " + Hex(*off) +
                          ", not to its PointerToRawData " + Hex(e.pointerToRawData));
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
      ctx.an.AtOffset(Area::Debug, r.Base(), "CodeView data is too short for its signature");
    return cv;
  }
  cv.ok = true;
  cv.path = NameIn(ctx, r, pathAt, Area::Debug, "PDB path").text;
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
    ctx.an.AtOffset(Area::Debug, r.Base() + at, "POGO list ends inside an entry");
    return false;
  }
  if (!ctx.budget.Take()) {
    ctx.an.AtOffset(Area::Debug, r.Base() + at, "POGO list: work budget spent; the rest is not listed");
    return false;
  }
  out.rva = *r.U32(at);
  out.size = *r.U32(at + 4);
  io::CString s = r.String(at + 8, kMaxName);
  out.name = s.text;
  if (!s.terminated) {
    ctx.an.AtOffset(Area::Debug, r.Base() + at + 8, "POGO section name has no terminating NUL");
    next = r.Size();
    return true;
  }
  // Names are padded with NULs to the next 4-byte boundary.
  next = (at + 8 + s.text.size() + 1 + 3) & ~std::uint64_t{3};
  return true;
}

}  // namespace detail

}  // namespace kestrova::dumper::pe
