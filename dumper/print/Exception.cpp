// The function table: one line per function, decoded from the file as it is printed.
#include "dumper/pe/Exception.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {
void PrintException(Printer& o, const pe::ExceptionTable& t, const pe::Context& ctx);
}

namespace kestrova::dumper::print {

using namespace pe;

namespace {

void FrameText(Printer& o, const UnwindX64& u) {
  if (u.frameRegister == 0) {
    o.Text("-");
    return;
  }
  o.Text(Find(UnwindRegistersX64(), u.frameRegister)->name).Text("+0x").Hex(16u * u.frameOffset, 0);
}

void PrintX64(Printer& o, const ExceptionTable& t, const Context& ctx) {
  o.Text("  Begin     End       Unwind    Ver  Flags               Prolog  Codes  Frame      Handler");
  o.Nl();
  ExceptionWalker w(t, ctx);
  RuntimeFunction f;
  while (!o.Exhausted() && w.Next(f)) {
    o.Text("  ").Hex(f.begin, 8).Text("  ").Hex(f.end, 8).Text("  ").Hex(f.unwind, 8);
    if (f.empty) {
      o.Text("  (empty entry)");
      o.Nl();
      continue;
    }
    if (f.indirect) {
      o.Text("  (shares the unwind information of the entry at ").Hex(f.unwind & ~1u, 8).Ch(')');
      o.Nl();
      continue;
    }
    const UnwindX64& u = f.x64;
    if (!u.ok) {
      o.Text("  (no unwind information)");
      o.Nl();
      continue;
    }
    o.Text("  ").DecR(u.version, 3).Text("  ");
    if (u.flags == 0) o.Text("-");
    FlagWords(o, {}, u.flags, UnwindFlagsX64(), "");
    o.Col(57).DecR(u.prologSize, 6).Text("  ").DecR(u.codeCount, 5).Text("  ");
    FrameText(o, u);
    if (u.hasHandler) o.Col(83).Hex(u.handler, 8);
    if (u.chained) {
      o.Col(83).Text("chained to ").Hex(u.parentBegin, 8).Ch('-').Hex(u.parentEnd, 8).Text(" unwind ").Hex(u.parentUnwind, 8);
      if (u.links > 1 && u.rootBegin != u.parentBegin) o.Text(", root ").Hex(u.rootBegin, 8);
    }
    o.Nl();
  }
}

void PackedArm(Printer& o, bool a64, std::uint32_t w) {
  auto field = [&](std::string_view name, std::uint32_t v) { o.Ch(' ').Text(name).Ch('=').Dec(v); };
  o.Text("packed");
  if ((w & 3) == 2) o.Text(" (fragment, no prolog)");
  if (a64) {
    field("RegF", (w >> 13) & 7);
    field("RegI", (w >> 16) & 0xF);
    field("H", (w >> 20) & 1);
    field("CR", (w >> 21) & 3);
    o.Text(" FrameSize=0x").Hex(((w >> 23) & 0x1FF) * 16u, 0);
  } else {
    field("Ret", (w >> 13) & 3);
    field("H", (w >> 15) & 1);
    field("Reg", (w >> 16) & 7);
    field("R", (w >> 19) & 1);
    field("L", (w >> 20) & 1);
    field("C", (w >> 21) & 1);
    o.Text(" StackAdjust=0x").Hex(((w >> 22) & 0x3FF) * 4u, 0);
  }
}

void PrintArm(Printer& o, const ExceptionTable& t, const Context& ctx) {
  const bool a64 = t.kind == UnwindKind::Arm64;
  o.Text("  Begin     Length    Unwind    Ver  X  E  Epilogs  Code words  Handler");
  o.Nl();
  ExceptionWalker w(t, ctx);
  RuntimeFunction f;
  while (!o.Exhausted() && w.Next(f)) {
    const UnwindArm& u = f.arm;
    o.Text("  ").Hex(f.begin, 8).Text("  ").Hex(u.length, 8).Text("  ");
    if (f.empty) {
      o.Hex(0, 8).Text("  (empty entry)");
    } else if (u.flag == 3) {
      o.Hex(f.unwind, 8).Text("  (reserved form)");
    } else if (u.flag != 0) {
      PackedArm(o, a64, f.unwind);
    } else {
      o.Hex(f.unwind, 8);
      if (u.ok) {
        o.Text("  ").DecR(u.version, 3).Text("  ").Ch(u.x ? 'X' : '-').Text("  ").Ch(u.e ? 'E' : '-');
        o.Text("  ").DecR(u.epilogCount, 7).Text("  ").DecR(u.codeWords, 10);
        if (u.hasHandler) o.Text("  ").Hex(u.handler, 8);
        if (u.f) o.Text("  fragment");
      } else {
        o.Text("  (no unwind information)");
      }
    }
    o.Nl();
  }
}

}  // namespace

void PrintException(Printer& o, const ExceptionTable& t, const Context& ctx) {
  if (!t.present) return;
  Field(o, "Functions").Dec(t.count);
  o.Text(t.kind == UnwindKind::X64 ? "  (x64 unwind information)"
                                   : t.kind == UnwindKind::Arm64 ? "  (ARM64 unwind information)"
                                                                 : "  (ARM Thumb-2 unwind information)");
  o.Nl();
  Field(o, "Directory").Text("RVA ").Hex(t.rva, 8).Text(", size ").Hex(t.size, 8);
  InSection(o, ctx, t.rva);
  o.Nl();
  o.Nl();
  if (t.kind == UnwindKind::X64) PrintX64(o, t, ctx);
  else PrintArm(o, t, ctx);
}

KESTROVA_PART(Exception)

}  // namespace kestrova::dumper::print
