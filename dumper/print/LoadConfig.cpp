// The load configuration: the fields its Size holds, then the tables it points at.
#include <string_view>

#include "dumper/pe/LoadConfig.h"
#include "dumper/print/Part.h"
#include "dumper/lang/catalog/LoadConfig.h"

namespace kestrova::dumper::print {

void PrintLoadConfig(Printer& o, const pe::LoadConfig& lc, const pe::Context& ctx);

using namespace pe;
namespace M = lang::M;

namespace {

// One RVA a line, with its section and, where entries carry them, the flag bytes by name.
void Table(Printer& o, const Context& ctx, const GuardTable& t, Key key, lang::Msg title, lang::Msg one,
           lang::Msg many) {
  if (t.count == 0) return;
  Scoped table(o, Scoped::kObject, key);
  o.Nl();
  o.Text("  ").Say(title).Col(kValueCol);
  Count(o, "count", t.count, one, many);
  if (t.listed < t.count) o.Say(M::LcListed, {t.listed}).Fact("listed", t.listed);
  if (t.stride > 4) o.Say(M::LcEntrySize, {t.stride}).Fact("entrySize", std::uint64_t{t.stride});
  o.Nl();
  Scoped rows(o, Scoped::kList, "entries");
  for (std::uint64_t i = 0; i < t.listed && !o.Exhausted(); ++i) {
    GuardEntry e = GuardEntryAt(t, i);
    Scoped row(o, Scoped::kObject, {});
    o.Text("    ").Hex("rva", e.rva, 8);
    if (e.extraCount != 0) {
      o.Say(M::LcFlags);
      {
        Scoped bytes(o, Scoped::kList, "flagBytes");
        for (std::uint32_t k = 0; k < e.extraCount; ++k) o.Ch(' ').Hex(e.extra[k], 2);
      }
      FlagWords(o, "flags", e.extra[0], GuardEntryFlagNames(), "  ");
    }
    InSection(o, ctx, e.rva);
    o.Nl();
  }
}

}  // namespace

void PrintLoadConfig(Printer& o, const LoadConfig& lc, const Context& ctx) {
  if (!lc.present) return;
  Field(o, M::LcDirectory, "Directory").Text("RVA ").Hex("rva", lc.rva, 8).Say(M::LcSize).Hex("size", lc.size, 8);
  o.Nl();
  PrintFields(o, lc.fields, ctx, [](Printer& out, std::size_t, std::uint64_t v) {
    // GuardFlags: the bits by name, then the function table's entry size from the top four bits.
    out.Hex(v, 8);
    out.Nl();
    FlagLines(out, "GuardFlagsNames", v & ~std::uint64_t{kGuardStrideMask}, GuardFlagNames(), 8);
    const std::uint64_t extra = (v & kGuardStrideMask) >> kGuardStrideShift;
    out.Col(kValueCol + 2).Say(M::LcCfEntries).Fact("cfEntryFlagBytes", extra);
    if (extra != 0) out.Say(extra == 1 ? M::LcFlagBytesOne : M::LcFlagBytesMany, {extra});
  });
  if (lc.fields.holds > lc.fields.KnownSize()) {
    const std::uint64_t past = lc.fields.holds - lc.fields.KnownSize();
    o.Say(M::LcBytesPastKnown, {past}).Fact("bytesPastKnownFields", past);
    o.Nl();
  }
  if (lc.cookieRead) {
    Field(o, M::LcCookieValue, "securityCookieValue").Hex(lc.cookie, ctx.h.opt.pe32plus ? 16 : 8);
    // The run-time replaces the linker's default at start-up; another value was put there on purpose.
    const bool standard = ctx.h.opt.pe32plus ? lc.cookie == 0x00002B992DDFA232ull : lc.cookie == 0xBB40E64Eu;
    o.Fact("securityCookieDefault", standard);
    if (standard) o.Say(M::LcCookieDefault);
    o.Nl();
  }
  Table(o, ctx, lc.seh, "sehHandlerTable", M::LcSehTitle, M::LcHandlersOne, M::LcHandlersMany);
  Table(o, ctx, lc.cf, "guardCfFunctionTable", M::LcCfTitle, M::LcFunctionsOne, M::LcFunctionsMany);
  Table(o, ctx, lc.iat, "guardIatEntryTable", M::LcIatTitle, M::LcEntriesOne, M::LcEntriesMany);
  Table(o, ctx, lc.longJump, "guardLongJumpTargetTable", M::LcLongJumpTitle, M::LcTargetsOne, M::LcTargetsMany);
  Table(o, ctx, lc.ehCont, "guardEhContinuationTable", M::LcEhContTitle, M::LcTargetsOne, M::LcTargetsMany);
}

KESTROVA_PART(LoadConfig)

}  // namespace kestrova::dumper::print
