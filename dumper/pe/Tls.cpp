// The TLS directory and the callback array it points at.
#include "dumper/pe/Tls.h"

#include <iterator>
#include <string>

#include "dumper/io/Format.h"

namespace kestrova::dumper::pe {

using io::Dec;
using io::Hex;

namespace {

using K = FieldKind;
constexpr FieldDef kTls[] = {
    {"StartAddressOfRawData", 0, 0, 4, 8, K::Va},
    {"EndAddressOfRawData", 4, 8, 4, 8, K::Va},
    {"AddressOfIndex", 8, 16, 4, 8, K::Va},
    {"AddressOfCallBacks", 12, 24, 4, 8, K::Va},
    {"SizeOfZeroFill", 16, 32, 4, 4, K::Size},
    {"Characteristics", 20, 36, 4, 4, K::Special},
};
static_assert(std::size(kTls) == kTlsFieldCount);

// The RVA of a virtual address of this image, when it has one.
bool ToRva(const Context& ctx, std::uint64_t va, std::uint64_t& rva) {
  const std::uint64_t base = ctx.h.opt.imageBase;
  if (va < base || va - base > UINT32_MAX) return false;
  rva = va - base;
  return true;
}

}  // namespace

std::span<const FieldDef> TlsLayout() { return kTls; }

TlsDirectory ParseTls(const Context& ctx) {
  TlsDirectory t;
  DirectoryView dir = OpenDirectory(ctx, kDirTls, Area::Tls, "TLS directory");
  t.rva = dir.rva;
  t.size = dir.size;
  if (!dir.backed) return t;
  const bool wide = ctx.h.opt.pe32plus;
  const std::uint64_t known = wide ? 40 : 24;
  // The loader reads the whole structure whatever the directory's size says.
  t.fields = ReadFields(dir.data, 0, kTls, wide, known);
  t.present = true;
  if (dir.data.Size() < known)
    ctx.an.AtOffset(Area::Tls, dir.data.Base() + dir.data.Size(),
                    "TLS directory is cut short by the end of its section's data");
  if (dir.size < known)
    ctx.an.AtRva(Area::Tls, dir.rva,
                 "TLS directory size " + Hex(dir.size) + " is smaller than its " + Dec(known) + "-byte structure");

  static constexpr std::string_view kPointers[] = {"StartAddressOfRawData", "EndAddressOfRawData", "AddressOfIndex"};
  for (std::size_t i = kTlsStart; i <= kTlsIndex; ++i) {
    std::uint64_t rva = 0;
    if (t.fields.Has(i) && t.fields[i] != 0 && !(ToRva(ctx, t.fields[i], rva) && ctx.map.InImage(rva)))
      ctx.an.AtOffset(Area::Tls, t.fields.offset + TlsLayout()[i].Offset(wide),
                      std::string(kPointers[i]) + " " + Hex(t.fields[i]) + " lies outside the image");
  }
  if (t.fields.Has(kTlsStart) && t.fields.Has(kTlsEnd) && t.fields[kTlsEnd] < t.fields[kTlsStart])
    ctx.an.AtOffset(Area::Tls, t.fields.offset + TlsLayout()[kTlsEnd].Offset(wide),
                    "EndAddressOfRawData is below StartAddressOfRawData");

  if (!t.fields.Has(kTlsCallbacks) || t.fields[kTlsCallbacks] == 0) return t;
  const std::uint64_t va = t.fields[kTlsCallbacks];
  if (!ToRva(ctx, va, t.callbackRva)) {
    ctx.an.AtOffset(Area::Tls, t.fields.offset + TlsLayout()[kTlsCallbacks].Offset(wide),
                    "AddressOfCallBacks " + Hex(va) + " lies outside the image");
    return t;
  }
  auto view = ctx.map.View(t.callbackRva);
  if (!view) {
    ctx.an.AtRva(Area::Tls, t.callbackRva, "TLS callback array is not backed by file data");
    return t;
  }
  const std::uint64_t width = wide ? 8 : 4;
  auto at = [&](std::uint64_t off) { return wide ? *view->U64(off) : std::uint64_t{*view->U32(off)}; };
  std::uint32_t n = 0;
  WalkEntries(
      ctx, *view, width, Area::Tls, "TLS callback array has no terminating zero before the end of its data",
      "TLS callback array: work budget spent; the rest is not listed",
      [&](std::uint64_t, std::uint64_t off) { return at(off) == 0 || n == UINT32_MAX; },
      [&](std::uint64_t i, std::uint64_t off) {
        std::uint64_t rva = 0;
        if (!(ToRva(ctx, at(off), rva) && ctx.map.InImage(rva)))
          ctx.an.AtOffset(Area::Tls, view->Base() + off,
                          "TLS callback " + Dec(i + 1) + " at " + Hex(at(off)) + " lies outside the image");
        ++n;
        return true;
      });
  t.callbacks = n;
  t.array = *view->Sub(0, n * width);
  return t;
}

TlsCallback TlsCallbackAt(const Context& ctx, const TlsDirectory& t, std::uint32_t i) {
  TlsCallback c;
  const bool wide = ctx.h.opt.pe32plus;
  c.va = wide ? t.array.U64(std::uint64_t{i} * 8).value_or(0) : t.array.U32(std::uint64_t{i} * 4).value_or(0);
  c.inImage = ToRva(ctx, c.va, c.rva) && ctx.map.InImage(c.rva);
  return c;
}

}  // namespace kestrova::dumper::pe
