// The function table: one line per function, decoded from the file as it is printed.
#include "dumper/pe/Exception.h"
#include "dumper/print/Part.h"
#include "dumper/lang/catalog/Exception.h"

namespace kestrova::dumper::print {
void PrintException(Printer& o, const pe::ExceptionTable& t, const pe::Context& ctx);
}

namespace kestrova::dumper::print {

using namespace pe;
namespace M = lang::M;

namespace {

// A table's column titles, each starting in its column as the rows' values do.
struct Column {
  lang::Msg title;
  std::size_t at;
};

template <std::size_t N>
void Titles(Printer& o, const Column (&columns)[N]) {
  for (const Column& c : columns) o.Col(c.at).Say(c.title);
  o.Nl();
}

void FrameText(Printer& o, const UnwindX64& u) {
  if (u.frameRegister == 0) {
    o.Text("-");
    return;
  }
  o.Word("frameRegister", Find(UnwindRegistersX64(), u.frameRegister)->name);
  o.Text("+0x").Hex("frameOffset", 16u * u.frameOffset, 0);
}

void PrintX64(Printer& o, const ExceptionTable& t, const Context& ctx) {
  static constexpr Column kColumns[] = {
      {M::ExcColBegin, 2},  {M::ExcColEnd, 12},    {M::ExcColUnwind, 22}, {M::ExcColVersion, 32}, {M::ExcColFlags, 37},
      {M::ExcColProlog, 57}, {M::ExcColCodes, 65}, {M::ExcColFrame, 72},  {M::ExcColHandler, 83},
  };
  Titles(o, kColumns);
  Scoped rows(o, Scoped::kList, "functions");
  ExceptionWalker w(t, ctx);
  RuntimeFunction f;
  while (!o.Exhausted() && w.Next(f)) {
    Scoped row(o, Scoped::kObject, {});
    o.Text("  ").Hex("begin", f.begin, 8).Text("  ").Hex("end", f.end, 8).Text("  ").Hex("unwind", f.unwind, 8);
    if (f.empty) {
      o.Word("kind", M::ExcEmpty, "empty");
      o.Nl();
      continue;
    }
    if (f.indirect) {
      o.Word("kind", M::ExcSharesBefore, "shared");
      o.Hex("sharedWith", f.unwind & ~1u, 8).Say(M::ExcSharesAfter);
      o.Nl();
      continue;
    }
    const UnwindX64& u = f.x64;
    if (!u.ok) {
      o.Word("kind", M::ExcNoUnwind, "noUnwindInformation");
      o.Nl();
      continue;
    }
    o.Text("  ").DecR("version", u.version, 3).Text("  ");
    if (u.flags == 0) o.Text("-");
    FlagWords(o, "flags", u.flags, UnwindFlagsX64(), "");
    o.Col(57).DecR("prologSize", u.prologSize, 6).Text("  ").DecR("codeCount", u.codeCount, 5).Text("  ");
    FrameText(o, u);
    if (u.hasHandler) o.Col(83).Hex("handler", u.handler, 8);
    if (u.chained) {
      o.Col(83).Say(M::ExcChainedTo).Hex("parentBegin", u.parentBegin, 8).Ch('-').Hex("parentEnd", u.parentEnd, 8);
      o.Say(M::ExcChainedUnwind).Hex("parentUnwind", u.parentUnwind, 8);
      if (u.links > 1 && u.rootBegin != u.parentBegin) o.Say(M::ExcChainedRoot).Hex("rootBegin", u.rootBegin, 8);
    }
    o.Nl();
  }
}

void PackedArm(Printer& o, bool a64, std::uint32_t w) {
  // The fields under the names the unwind format gives them.
  auto field = [&](std::string_view name, std::uint32_t v) { o.Ch(' ').Text(name).Ch('=').Dec(name, v); };
  o.Word("kind", M::ExcPacked, "packed").Fact("fragment", (w & 3) == 2);
  if ((w & 3) == 2) o.Say(M::ExcFragmentNoProlog);
  if (a64) {
    field("RegF", (w >> 13) & 7);
    field("RegI", (w >> 16) & 0xF);
    field("H", (w >> 20) & 1);
    field("CR", (w >> 21) & 3);
    o.Text(" FrameSize=0x").Hex("FrameSize", ((w >> 23) & 0x1FF) * 16u, 0);
  } else {
    field("Ret", (w >> 13) & 3);
    field("H", (w >> 15) & 1);
    field("Reg", (w >> 16) & 7);
    field("R", (w >> 19) & 1);
    field("L", (w >> 20) & 1);
    field("C", (w >> 21) & 1);
    o.Text(" StackAdjust=0x").Hex("StackAdjust", ((w >> 22) & 0x3FF) * 4u, 0);
  }
}

void PrintArm(Printer& o, const ExceptionTable& t, const Context& ctx) {
  const bool a64 = t.kind == UnwindKind::Arm64;
  static constexpr Column kColumns[] = {
      {M::ExcColBegin, 2}, {M::ExcColLength, 12}, {M::ExcColUnwind, 22},    {M::ExcColVersion, 32},
      {M::ExcColX, 37},    {M::ExcColE, 40},      {M::ExcColEpilogs, 43},    {M::ExcColCodeWords, 52},
      {M::ExcColHandler, 64},
  };
  Titles(o, kColumns);
  Scoped rows(o, Scoped::kList, "functions");
  ExceptionWalker w(t, ctx);
  RuntimeFunction f;
  while (!o.Exhausted() && w.Next(f)) {
    const UnwindArm& u = f.arm;
    Scoped row(o, Scoped::kObject, {});
    o.Text("  ").Hex("begin", f.begin, 8).Text("  ").Hex("length", u.length, 8).Text("  ");
    if (f.empty) {
      o.Hex("unwind", 0, 8).Word("kind", M::ExcEmpty, "empty");
    } else if (u.flag == 3) {
      o.Hex("unwind", f.unwind, 8).Word("kind", M::ExcReservedForm, "reserved");
    } else if (u.flag != 0) {
      o.Fact("unwind", std::uint64_t{f.unwind});
      PackedArm(o, a64, f.unwind);
    } else {
      o.Hex("unwind", f.unwind, 8);
      if (u.ok) {
        o.Text("  ").DecR("version", u.version, 3).Text("  ").Ch(u.x ? 'X' : '-').Fact("X", u.x);
        o.Text("  ").Ch(u.e ? 'E' : '-').Fact("E", u.e);
        o.Text("  ").DecR("epilogCount", u.epilogCount, 7).Text("  ").DecR("codeWords", u.codeWords, 10);
        if (u.hasHandler) o.Text("  ").Hex("handler", u.handler, 8);
        o.Fact("fragment", u.f);
        if (u.f) o.Say(M::ExcFragment);
      } else {
        o.Word("kind", M::ExcNoUnwind, "noUnwindInformation");
      }
    }
    o.Nl();
  }
}

}  // namespace

void PrintException(Printer& o, const ExceptionTable& t, const Context& ctx) {
  if (!t.present) return;
  Field(o, M::ExcFunctions, "Functions").Dec(kNoKey, t.count);
  if (t.kind == UnwindKind::X64) o.Word("unwindKind", M::ExcKindX64, "x64");
  else if (t.kind == UnwindKind::Arm64) o.Word("unwindKind", M::ExcKindArm64, "arm64");
  else o.Word("unwindKind", M::ExcKindArmNt, "armThumb2");
  o.Nl();
  Field(o, M::ExcDirectory, "Directory").Text("RVA ").Hex("rva", t.rva, 8).Say(M::ExcSize).Hex("size", t.size, 8);
  InSection(o, ctx, t.rva);
  o.Nl();
  o.Nl();
  if (t.kind == UnwindKind::X64) PrintX64(o, t, ctx);
  else PrintArm(o, t, ctx);
}

KESTROVA_PART(Exception)

}  // namespace kestrova::dumper::print
