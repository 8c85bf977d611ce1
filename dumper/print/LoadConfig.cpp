// The load configuration: the fields its Size holds, then the tables it points at.
#include <string_view>

#include "dumper/pe/LoadConfig.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

void PrintLoadConfig(Printer& o, const pe::LoadConfig& lc, const pe::Context& ctx);

using namespace pe;

namespace {

// One RVA a line, with its section and, where entries carry them, the flag bytes by name.
void Table(Printer& o, const Context& ctx, const GuardTable& t, Key key, std::string_view title, std::string_view one,
           std::string_view many) {
  if (t.count == 0) return;
  Scoped table(o, Scoped::kObject, key);
  o.Nl();
  o.Text("  ").Text(title).Col(kValueCol);
  Count(o, "count", t.count, one, many);
  if (t.listed < t.count) o.Text(", ").Dec("listed", t.listed).Text(" listed");
  if (t.stride > 4) o.Text(", ").Dec("entrySize", t.stride).Text("-byte entries");
  o.Nl();
  Scoped rows(o, Scoped::kList, "entries");
  for (std::uint64_t i = 0; i < t.listed && !o.Exhausted(); ++i) {
    GuardEntry e = GuardEntryAt(t, i);
    Scoped row(o, Scoped::kObject, {});
    o.Text("    ").Hex("rva", e.rva, 8);
    if (e.extraCount != 0) {
      o.Text("  flags");
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
  Field(o, "Directory").Text("RVA ").Hex("rva", lc.rva, 8).Text(", size ").Hex("size", lc.size, 8);
  o.Nl();
  PrintFields(o, lc.fields, ctx, [](Printer& out, std::size_t, std::uint64_t v) {
    // GuardFlags: the bits by name, then the function table's entry size from the top four bits.
    out.Hex(v, 8);
    out.Nl();
    FlagLines(out, "GuardFlagsNames", v & ~std::uint64_t{kGuardStrideMask}, GuardFlagNames(), 8);
    const std::uint64_t extra = (v & kGuardStrideMask) >> kGuardStrideShift;
    out.Col(kValueCol + 2).Text("function table entries: 4-byte RVA").Fact("cfEntryFlagBytes", extra);
    if (extra != 0) out.Text(" + ").Dec(kNoKey, extra).Text(extra == 1 ? " flag byte" : " flag bytes");
  });
  if (lc.fields.holds > lc.fields.KnownSize()) {
    o.Text("  ").Dec("bytesPastKnownFields", lc.fields.holds - lc.fields.KnownSize());
    o.Text(" more bytes, past the fields known here");
    o.Nl();
  }
  if (lc.cookieRead) {
    Field(o, "Security cookie value", "securityCookieValue").Hex(lc.cookie, ctx.h.opt.pe32plus ? 16 : 8);
    // The run-time replaces the linker's default at start-up; another value was put there on purpose.
    const bool standard = ctx.h.opt.pe32plus ? lc.cookie == 0x00002B992DDFA232ull : lc.cookie == 0xBB40E64Eu;
    o.Fact("securityCookieDefault", standard);
    if (standard) o.Text("  (the default, replaced at start-up)");
    o.Nl();
  }
  Table(o, ctx, lc.seh, "sehHandlerTable", "SE handler table", "handler", "handlers");
  Table(o, ctx, lc.cf, "guardCfFunctionTable", "Guard CF function table", "function", "functions");
  Table(o, ctx, lc.iat, "guardIatEntryTable", "Guard address-taken IAT entries", "entry", "entries");
  Table(o, ctx, lc.longJump, "guardLongJumpTargetTable", "Guard long-jump targets", "target", "targets");
  Table(o, ctx, lc.ehCont, "guardEhContinuationTable", "Guard EH continuation targets", "target", "targets");
}

KESTROVA_PART(LoadConfig)

}  // namespace kestrova::dumper::print
