// The function table and the unwind information its entries point at.
#include "dumper/pe/Exception.h"

#include <string>

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Exception.h"

namespace kestrova::dumper::pe {

using io::Hex;
namespace M = lang::M;

namespace {

constexpr Named kUnwindFlags[] = {
    {0x1, "EHANDLER", Gloss(M::ExcFlagEHandler)},
    {0x2, "UHANDLER", Gloss(M::ExcFlagUHandler)},
    {0x4, "CHAININFO", Gloss(M::ExcFlagChainInfo)},
};

constexpr Named kRegisters[] = {
    {0, "RAX", ""}, {1, "RCX", ""}, {2, "RDX", ""},  {3, "RBX", ""},  {4, "RSP", ""},  {5, "RBP", ""},
    {6, "RSI", ""}, {7, "RDI", ""}, {8, "R8", ""},   {9, "R9", ""},   {10, "R10", ""}, {11, "R11", ""},
    {12, "R12", ""}, {13, "R13", ""}, {14, "R14", ""}, {15, "R15", ""},
};

constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kMachineArm64 = 0xAA64;
constexpr std::uint16_t kMachineArm64Ec = 0xA641;
constexpr std::uint16_t kMachineArm64X = 0xA64E;
constexpr std::uint16_t kMachineArmNt = 0x01C4;

}  // namespace

std::span<const Named> UnwindFlagsX64() { return kUnwindFlags; }
std::span<const Named> UnwindRegistersX64() { return kRegisters; }

ExceptionTable ParseException(const Context& ctx) {
  ExceptionTable t;
  const lang::Lang l = ctx.options.lang;
  const std::uint16_t m = ctx.h.coff.machine;
  if (m == kMachineAmd64 || m == kMachineArm64Ec) {
    t.kind = UnwindKind::X64;
    t.entrySize = 12;
  } else if (m == kMachineArm64 || m == kMachineArm64X) {
    t.kind = UnwindKind::Arm64;
    t.entrySize = 8;
  } else if (m == kMachineArmNt) {
    t.kind = UnwindKind::ArmNt;
    t.entrySize = 8;
  } else {
    // Other machines give the directory other layouts (MIPS, Itanium) or none at all.
    if (ctx.h.dirs.size() > kDirException && ctx.h.dirs[kDirException].rva != 0)
      ctx.an.AtRva(Area::Exception, ctx.h.dirs[kDirException].rva,
                   lang::Say(l, M::ExcMachineNotDecoded));
    return t;
  }
  DirectoryView d = OpenDirectory(ctx, kDirException, Area::Exception, M::ExcWhatDirectory);
  if (!d.backed) return t;
  t.rva = d.rva;
  t.size = d.size;
  if (d.size % t.entrySize != 0)
    ctx.an.AtRva(Area::Exception, d.rva, lang::Say(l, M::ExcSizeNotMultiple, {Hex(d.size), t.entrySize}));
  std::uint64_t want = d.size / t.entrySize;
  std::uint64_t have = d.data.Size() / t.entrySize;
  if (have < want) {
    ctx.an.AtOffset(Area::Exception, d.data.Base() + have * t.entrySize,
                    lang::Say(l, M::ExcHoldsInSection, {have, want}));
    want = have;
  }
  t.count = want;
  t.entries = *d.data.Sub(0, want * t.entrySize);
  t.present = true;
  return t;
}

bool ExceptionWalker::Next(RuntimeFunction& f) {
  if (next_ >= t_.count) return false;
  const std::uint64_t at = next_ * t_.entrySize;
  if (!ctx_.budget.Take()) {
    ctx_.an.AtOffset(Area::Exception, t_.entries.Base() + at, lang::Say(ctx_.options.lang, M::ExcBudget));
    next_ = t_.count;
    return false;
  }
  f = RuntimeFunction{};
  f.index = next_++;
  f.offset = t_.entries.Base() + at;
  io::Cursor c(t_.entries, at);
  f.begin = c.U32();
  if (t_.kind == UnwindKind::X64) {
    f.end = c.U32();
    f.unwind = c.U32();
  } else {
    f.unwind = c.U32();
    if (t_.kind == UnwindKind::ArmNt) f.begin &= ~1u;  // the Thumb bit
  }
  if (f.begin == 0 && f.unwind == 0 && f.end == 0) {
    f.empty = true;  // padding: nothing to check
    return true;
  }
  if (f.index > 0 && f.begin < lastBegin_ && !disorderSaid_) {
    ctx_.an.AtOffset(Area::Exception, f.offset,
                     lang::Say(ctx_.options.lang, M::ExcUnsorted, {f.index}));
    disorderSaid_ = true;
  }
  lastBegin_ = f.begin;
  if (!ctx_.map.InImage(f.begin))
    ctx_.an.AtOffset(Area::Exception, f.offset, lang::Say(ctx_.options.lang, M::ExcStartOutside, {Hex(f.begin)}));
  if (t_.kind == UnwindKind::X64) DecodeX64(f);
  else DecodeArm(f);
  return true;
}

namespace {

// Reads the x64 unwind information at `rva`; `where` is the entry's offset, for messages.
UnwindX64 ReadUnwindX64(const Context& ctx, std::uint32_t rva, std::uint64_t where, bool report) {
  UnwindX64 u;
  const lang::Lang l = ctx.options.lang;
  auto v = ctx.map.View(rva);
  if (!v) {
    if (report)
      ctx.an.AtOffset(Area::Exception, where, lang::Say(l, M::ExcUnwindOutside, {Hex(rva)}));
    return u;
  }
  io::Cursor c(*v, 0);
  std::uint8_t b0 = c.U8();
  u.prologSize = c.U8();
  u.codeCount = c.U8();
  std::uint8_t b3 = c.U8();
  if (!c.ok()) {
    if (report) ctx.an.AtOffset(Area::Exception, v->Base(), lang::Say(l, M::ExcUnwindCut));
    return u;
  }
  u.ok = true;
  u.version = b0 & 7;
  u.flags = b0 >> 3;
  u.frameRegister = b3 & 0xF;
  u.frameOffset = b3 >> 4;
  if (report && u.version != 1 && u.version != 2)
    ctx.an.AtOffset(Area::Exception, v->Base(), lang::Say(l, M::ExcUnwindVersion, {u.version}));
  // The codes are padded to an even count; what follows depends on the flags.
  std::uint64_t tail = 4 + 2 * ((std::uint64_t{u.codeCount} + 1) & ~std::uint64_t{1});
  if (u.flags & 0x4) {
    io::Cursor p(*v, tail);
    u.parentBegin = p.U32();
    u.parentEnd = p.U32();
    u.parentUnwind = p.U32();
    if (!p.ok()) {
      if (report) ctx.an.AtOffset(Area::Exception, v->Base() + tail, lang::Say(l, M::ExcChainedCut));
      return u;
    }
    u.chained = true;
  } else if (u.flags & 0x3) {
    auto h = v->U32(tail);
    if (!h) {
      if (report) ctx.an.AtOffset(Area::Exception, v->Base() + tail, lang::Say(l, M::ExcHandlerCut));
      return u;
    }
    u.hasHandler = true;
    u.handler = *h;
    if (report && !ctx.map.InImage(u.handler))
      ctx.an.AtOffset(Area::Exception, v->Base() + tail, lang::Say(l, M::ExcHandlerOutside, {Hex(u.handler)}));
  } else if (report && !v->Has(0, tail)) {
    ctx.an.AtOffset(Area::Exception, v->Base(), lang::Say(l, M::ExcCodesCut));
  }
  return u;
}

}  // namespace

void ExceptionWalker::DecodeX64(RuntimeFunction& f) const {
  const lang::Lang l = ctx_.options.lang;
  if (f.end <= f.begin)
    ctx_.an.AtOffset(Area::Exception, f.offset, lang::Say(l, M::ExcEndsBeforeStart, {Hex(f.end), Hex(f.begin)}));
  else if (!ctx_.map.InImage(f.end - 1))
    ctx_.an.AtOffset(Area::Exception, f.offset, lang::Say(l, M::ExcEndOutside, {Hex(f.end)}));
  if (f.unwind & 1) {
    // The entry borrows the unwind information of another entry, named by its RVA.
    f.indirect = true;
    return;
  }
  f.x64 = ReadUnwindX64(ctx_, f.unwind, f.offset, true);
  if (!f.x64.chained) return;
  // Follow the chain to its primary entry, bounded: a loop of entries runs into the limit.
  std::uint32_t unwind = f.x64.parentUnwind;
  f.x64.rootBegin = f.x64.parentBegin;
  for (std::uint32_t links = 1;; ++links) {
    f.x64.links = links;
    if (links > kMaxUnwindChain) {
      ctx_.an.AtOffset(Area::Exception, f.offset,
                       lang::Say(l, M::ExcChainTooLong, {kMaxUnwindChain}));
      return;
    }
    if (!ctx_.budget.Take()) {
      ctx_.an.AtOffset(Area::Exception, f.offset, lang::Say(l, M::ExcChainBudget));
      return;
    }
    UnwindX64 up = ReadUnwindX64(ctx_, unwind & ~1u, f.offset, false);
    if (!up.ok) {
      ctx_.an.AtOffset(Area::Exception, f.offset,
                       lang::Say(l, M::ExcChainUnreadable, {Hex(unwind)}));
      return;
    }
    if (!up.chained) return;
    f.x64.rootBegin = up.parentBegin;
    unwind = up.parentUnwind;
  }
}

void ExceptionWalker::DecodeArm(RuntimeFunction& f) const {
  const bool a64 = t_.kind == UnwindKind::Arm64;
  const lang::Lang l = ctx_.options.lang;
  UnwindArm& u = f.arm;
  u.flag = f.unwind & 3;
  if (u.flag == 3) {
    ctx_.an.AtOffset(Area::Exception, f.offset + 4, lang::Say(l, M::ExcReservedWord));
    return;
  }
  if (u.flag != 0) {
    u.length = ((f.unwind >> 2) & 0x7FF) * (a64 ? 4 : 2);
    u.ok = true;
    return;
  }
  auto v = ctx_.map.View(f.unwind);
  if (!v) {
    ctx_.an.AtOffset(Area::Exception, f.offset, lang::Say(l, M::ExcUnwindOutside, {Hex(f.unwind)}));
    return;
  }
  auto w = v->U32(0);
  if (!w) {
    ctx_.an.AtOffset(Area::Exception, v->Base(), lang::Say(l, M::ExcUnwindCut));
    return;
  }
  u.length = (*w & 0x3FFFF) * (a64 ? 4 : 2);
  u.version = static_cast<std::uint8_t>((*w >> 18) & 3);
  u.x = (*w >> 20) & 1;
  u.e = (*w >> 21) & 1;
  if (a64) {
    u.epilogCount = (*w >> 22) & 0x1F;
    u.codeWords = *w >> 27;
  } else {
    u.f = (*w >> 22) & 1;
    u.epilogCount = (*w >> 23) & 0x1F;
    u.codeWords = *w >> 28;
  }
  std::uint64_t at = 4;
  if (u.epilogCount == 0 && u.codeWords == 0) {
    // Counts too large for the first word sit in a second one.
    auto x = v->U32(4);
    if (!x) {
      ctx_.an.AtOffset(Area::Exception, v->Base() + 4, lang::Say(l, M::ExcUnwindCut));
      return;
    }
    u.epilogCount = *x & 0xFFFF;
    u.codeWords = (*x >> 16) & 0xFF;
    at = 8;
  }
  u.ok = true;
  if (u.version != 0)
    ctx_.an.AtOffset(Area::Exception, v->Base(), lang::Say(l, M::ExcUnwindVersion, {u.version}));
  if (!u.x) return;
  // The handler follows the epilog scopes (none when E packs the one epilog in) and the codes.
  std::uint64_t handlerAt = at + 4 * (u.e ? 0 : std::uint64_t{u.epilogCount}) + 4 * std::uint64_t{u.codeWords};
  auto h = v->U32(handlerAt);
  if (!h) {
    ctx_.an.AtOffset(Area::Exception, v->Base() + handlerAt, lang::Say(l, M::ExcHandlerCut));
    return;
  }
  u.hasHandler = true;
  u.handler = *h;
  if (!ctx_.map.InImage(u.handler))
    ctx_.an.AtOffset(Area::Exception, v->Base() + handlerAt, lang::Say(l, M::ExcHandlerOutside, {Hex(u.handler)}));
}

}  // namespace kestrova::dumper::pe
