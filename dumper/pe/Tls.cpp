// The TLS directory and the callback array it points at.
#include "dumper/pe/Tls.h"

#include <iterator>
#include <string>

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Tls.h"

namespace kestrova::dumper::pe {

using io::Hex;
namespace M = lang::M;

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
  const lang::Lang l = ctx.options.lang;
  DirectoryView dir = OpenDirectory(ctx, kDirTls, Area::Tls, M::TlsWhatDirectory);
  t.rva = dir.rva;
  t.size = dir.size;
  if (!dir.backed) return t;
  const bool wide = ctx.h.opt.pe32plus;
  const std::uint64_t known = wide ? 40 : 24;
  // The loader reads the whole structure whatever the directory's size says.
  t.fields = ReadFields(dir.data, 0, kTls, wide, known);
  t.present = true;
  if (dir.data.Size() < known)
    ctx.an.AtOffset(Area::Tls, dir.data.Base() + dir.data.Size(), lang::Say(l, M::TlsCutShort));
  if (dir.size < known)
    ctx.an.AtRva(Area::Tls, dir.rva, lang::Say(l, M::TlsSizeSmall, {Hex(dir.size), known}));

  static constexpr std::string_view kPointers[] = {"StartAddressOfRawData", "EndAddressOfRawData", "AddressOfIndex"};
  for (std::size_t i = kTlsStart; i <= kTlsIndex; ++i) {
    std::uint64_t rva = 0;
    if (t.fields.Has(i) && t.fields[i] != 0 && !(ToRva(ctx, t.fields[i], rva) && ctx.map.InImage(rva)))
      ctx.an.AtOffset(Area::Tls, t.fields.offset + TlsLayout()[i].Offset(wide),
                      lang::Say(l, M::TlsFieldOutside, {kPointers[i], Hex(t.fields[i])}));
  }
  if (t.fields.Has(kTlsStart) && t.fields.Has(kTlsEnd) && t.fields[kTlsEnd] < t.fields[kTlsStart])
    ctx.an.AtOffset(Area::Tls, t.fields.offset + TlsLayout()[kTlsEnd].Offset(wide),
                    lang::Say(l, M::TlsEndBelowStart));

  if (!t.fields.Has(kTlsCallbacks) || t.fields[kTlsCallbacks] == 0) return t;
  const std::uint64_t va = t.fields[kTlsCallbacks];
  if (!ToRva(ctx, va, t.callbackRva)) {
    ctx.an.AtOffset(Area::Tls, t.fields.offset + TlsLayout()[kTlsCallbacks].Offset(wide),
                    lang::Say(l, M::TlsFieldOutside, {"AddressOfCallBacks", Hex(va)}));
    return t;
  }
  auto view = ctx.map.View(t.callbackRva);
  if (!view) {
    ctx.an.AtRva(Area::Tls, t.callbackRva, lang::Say(l, M::TlsArrayNotBacked));
    return t;
  }
  const std::uint64_t width = wide ? 8 : 4;
  auto at = [&](std::uint64_t off) { return wide ? *view->U64(off) : std::uint64_t{*view->U32(off)}; };
  std::uint32_t n = 0;
  WalkEntries(
      ctx, *view, width, Area::Tls, lang::Say(l, M::TlsArrayNoZero), lang::Say(l, M::TlsArrayBudget),
      [&](std::uint64_t, std::uint64_t off) { return at(off) == 0 || n == UINT32_MAX; },
      [&](std::uint64_t i, std::uint64_t off) {
        std::uint64_t rva = 0;
        if (!(ToRva(ctx, at(off), rva) && ctx.map.InImage(rva)))
          ctx.an.AtOffset(Area::Tls, view->Base() + off,
                          lang::Say(l, M::TlsCallbackOutside, {i + 1, Hex(at(off))}));
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
