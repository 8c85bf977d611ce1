// Data exports and the argument bytes of 32-bit x86 exports.
#include "dumper/pe/ExportUse.h"

#include <algorithm>
#include <array>

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Exports.h"
#include "dumper/x86/Length.h"

namespace kestrova::dumper::pe {

namespace {

constexpr std::uint16_t kMachineI386 = 0x14C;
constexpr std::uint32_t kScnCode = 0x20, kScnExecute = 0x20000000;
// A stdcall function's paths are a few dozen instructions; this is far past
// any real one and keeps a function made of jumps from running on.
constexpr std::uint32_t kStepsPerExport = 4096;
constexpr std::uint32_t kStepsPerCallee = 512;
constexpr int kCalleeDepth = 1;

// Imports whose callers never get control back: a call to one ends the path,
// so what follows it (the next function) is not taken for this one's code.
constexpr std::array<std::string_view, 18> kNoReturn = {
    "ExitProcess", "ExitThread", "FatalExit", "FatalAppExitA", "FatalAppExitW", "RtlExitUserProcess",
    "RtlExitUserThread", "RtlRaiseStatus", "RaiseFailFastException", "abort", "exit", "_exit",
    "__stack_chk_fail", "_CxxThrowException", "longjmp", "_longjmp",
    "_invalid_parameter_noinfo_noreturn", "FreeLibraryAndExitThread"};

}  // namespace

void SeenSet::Reset(std::uint32_t cap) {
  std::uint32_t size = 16;
  while (size < 2 * cap) size *= 2;
  // A table grown for a longer walk stays: a larger one only has fewer collisions.
  if (slots_.size() < size || ++walk_ == 0) {
    // Grown, or the walk counter wrapped: every slot starts empty again.
    slots_.assign(std::max<std::size_t>(size, slots_.size()), Slot{});
    walk_ = 1;
  }
  mask_ = static_cast<std::uint32_t>(slots_.size() - 1);
}

ExportUse::ExportUse(const Context& ctx, const ExportTable& exports, const ImportTable* imports,
                     const RelocationTable* relocations)
    : ctx_(ctx), stretches_(ctx.h.sections.size()), left_(ctx.file.Size() + (std::uint64_t{1} << 20)) {
  i386_ = ctx.h.coff.machine == kMachineI386 && !ctx.h.opt.pe32plus;
  if (exports.present && exports.functions != 0) {
    if (auto v = ctx.map.View(exports.addressOfFunctions)) {
      for (std::uint32_t i = 0; i < exports.functions; ++i) {
        std::uint32_t rva = v->U32(std::uint64_t{i} * 4).value_or(0);
        bool forwarder = rva >= exports.rva && rva - exports.rva < exports.size;
        if (rva != 0 && !forwarder) starts_.push_back(rva);
      }
    }
    std::sort(starts_.begin(), starts_.end());
  }
  if (relocations != nullptr && relocations->present) {
    const io::Reader& b = relocations->blocks;
    const unsigned wanted = ctx.h.opt.pe32plus ? 10 : 3;  // DIR64, HIGHLOW
    // The parser kept only whole blocks; entries in the zero fill are padding.
    for (std::uint64_t at = 0; b.Has(at, 8);) {
      std::uint32_t page = b.U32(at).value_or(0), size = b.U32(at + 4).value_or(0);
      if (size < 8) break;
      std::uint64_t real = std::min<std::uint64_t>(at + size, b.Bytes().size());
      for (std::uint64_t e = at + 8; e + 2 <= real; e += 2) {
        std::uint16_t entry = b.U16(e).value_or(0);
        if ((entry >> 12) == wanted) relocs_.push_back(page + (entry & 0xFFFu));
      }
      at += size;
    }
    // Linkers write the blocks by page and the entries in order: sorting is rarely needed.
    if (!std::is_sorted(relocs_.begin(), relocs_.end())) std::sort(relocs_.begin(), relocs_.end());
  }
  imports_ = imports;
  if (imports != nullptr) {
    for (std::size_t d = 0; d < imports->dlls.size(); ++d) {
      const std::vector<ImportFunction>& fs = imports->dlls[d].functions;
      for (std::size_t k = 0; k < fs.size(); ++k) {
        const ImportFunction& f = fs[k];
        bool noReturn = !f.byOrdinal && std::find(kNoReturn.begin(), kNoReturn.end(), f.name) != kNoReturn.end();
        slots_.push_back({f.slotRva, noReturn, static_cast<std::uint32_t>(d), static_cast<std::uint32_t>(k)});
      }
    }
    std::sort(slots_.begin(), slots_.end());
  }
}

const ExportUse::ImportSlot* ExportUse::FindSlot(std::uint32_t slot) const {
  auto it = std::lower_bound(slots_.begin(), slots_.end(), slot,
                             [](const ImportSlot& s, std::uint32_t v) { return s.slot < v; });
  return it != slots_.end() && it->slot == slot ? &*it : nullptr;
}

const ImportFunction* ExportUse::SlotImport(std::uint32_t slot, std::string_view& dll) const {
  const ImportSlot* s = FindSlot(slot);
  if (s == nullptr || imports_ == nullptr) return nullptr;
  // A slot two descriptors share (damage): the first in the table's order, as the imports list it.
  const ImportSlot* best = s;
  for (const ImportSlot* o = s; o != slots_.data() + slots_.size() && o->slot == slot; ++o)
    if (o->dll < best->dll || (o->dll == best->dll && o->function < best->function)) best = o;
  const ImportDll& d = imports_->dlls[best->dll];
  dll = d.name;
  return &d.functions[best->function];
}

std::optional<std::uint16_t> DecoratedBytes(std::string_view name) {
  std::size_t at = name.rfind('@');
  if (at == std::string_view::npos || at == 0 || name[0] == '@' || name[0] == '?') return std::nullopt;
  std::string_view digits = name.substr(at + 1), base = name.substr(0, at);
  if (digits.empty() || digits.size() > 4) return std::nullopt;
  if (base[0] == '_') base.remove_prefix(1);  // the decoration's own underscore
  if (base.empty() || (base[0] >= '0' && base[0] <= '9')) return std::nullopt;
  for (char c : base)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$'))
      return std::nullopt;
  unsigned v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v % 4 != 0) return std::nullopt;  // not a stdcall count: some other use of '@'
  return static_cast<std::uint16_t>(v);
}

bool Contradicts(const ArgSize& a, std::uint16_t bytes) {
  switch (a.kind) {
    case ArgSize::Kind::Stdcall:
    case ArgSize::Kind::NoArgs: return a.bytes != bytes;
    case ArgSize::Kind::Conflict: return a.bytes != bytes && a.other != bytes;
    default: return false;
  }
}

int ExportUse::Section(std::uint32_t rva) const {
  // The listing asks about one export's address a few times in a row.
  if (!lastOk_ || lastRva_ != rva) {
    lastRva_ = rva;
    lastSection_ = ctx_.map.SectionOf(rva);
    lastOk_ = true;
  }
  return lastSection_;
}

bool ExportUse::ExecutableSection(int s) const {
  if (s == kNoSection) return false;
  return (ctx_.h.sections[static_cast<std::size_t>(s)].characteristics & (kScnCode | kScnExecute)) != 0;
}

bool ExportUse::Executable(std::uint32_t rva) const { return ExecutableSection(Section(rva)); }

bool ExportUse::ExportStart(std::uint32_t rva) const { return std::binary_search(starts_.begin(), starts_.end(), rva); }

std::uint32_t ExportUse::NextStart(std::uint32_t rva) const {
  // A walk asks about addresses near each other: most fall in the gap the last one did.
  std::size_t i = gap_;
  if (i > starts_.size() || (i > 0 && starts_[i - 1] > rva) || (i < starts_.size() && starts_[i] <= rva)) {
    i = static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), rva) - starts_.begin());
    gap_ = i;
  }
  return i == starts_.size() ? UINT32_MAX : starts_[i];
}

DataReason ExportUse::Data(std::uint32_t rva, std::string_view name) const {
  if (name.starts_with("??_7") || name.starts_with("??_R")) return DataReason::Name;
  if (int s = Section(rva); s != kNoSection && !ExecutableSection(s)) return DataReason::Section;
  const std::uint32_t width = ctx_.h.opt.pe32plus ? 8 : 4;
  auto it = std::lower_bound(relocs_.begin(), relocs_.end(), rva >= width - 1 ? rva - (width - 1) : 0);
  if (it != relocs_.end() && *it <= rva) return DataReason::Relocation;
  return DataReason::NotData;
}

bool ExportUse::NoReturnImport(std::uint32_t slot) const {
  const ImportSlot* s = FindSlot(slot);
  return s != nullptr && s->noReturn;
}

// What compilers put after a call that never returns: the padding up to the
// next function, or that function's hot-patch prologue (mov edi, edi).
bool ExportUse::Padding(const io::Reader& code, std::uint64_t off, std::uint32_t rva) const {
  std::optional<io::Reader> other;
  const io::Reader* v = &code;
  if (off + 3 > code.Size()) {
    // Past the stretch the walk reads: where the image puts it.
    other = ctx_.map.View(rva);
    if (!other) return false;
    v = &*other;
    off = 0;
  }
  std::uint8_t b0 = v->U8(off).value_or(0), b1 = v->U8(off + 1).value_or(0), b2 = v->U8(off + 2).value_or(0);
  if (b0 == 0xCC || b0 == 0x90) return true;
  if (b0 == 0x8B && b1 == 0xFF) return true;
  if (b0 == 0x66 && (b1 == 0x90 || (b1 == 0x0F && b2 == 0x1F))) return true;
  if (b0 == 0x0F && b1 == 0x1F) return true;
  if (b0 == 0x8D) {
    // lea r, [r + 0]: a multi-byte nop.
    unsigned mod = b1 >> 6, reg = (b1 >> 3) & 7, rm = b1 & 7;
    if (mod == 3) return false;
    if (rm == 4) return ((b2 >> 3) & 7) == 4 && (b2 & 7) == reg;  // no index, base r
    return rm == reg;
  }
  return false;
}

// Whether control comes back from the call `in` (to `next`).
bool ExportUse::CallReturns(const x86::Insn& in, const io::Reader& code, std::uint64_t codeStart, std::uint32_t next,
                            int depth) {
  if (in.absolute && in.mem >= ctx_.h.opt.imageBase && NoReturnImport(static_cast<std::uint32_t>(in.mem - ctx_.h.opt.imageBase)))
    return false;
  if (Padding(code, next - codeStart, next)) return false;
  if (in.flow != x86::Flow::Call || depth >= kCalleeDepth) return true;
  std::int64_t t = static_cast<std::int64_t>(codeStart) + in.target;
  if (t < 0 || t > UINT32_MAX) return true;
  auto target = static_cast<std::uint32_t>(t);
  auto [it, fresh] = returns_.try_emplace(target, true);  // a call cycle is taken to return
  if (!fresh) return it->second;
  // A call to an export already walked whole: that walk says whether it returns.
  if (auto e = exportWalks_.find(target); e != exportWalks_.end() && e->second.done) {
    it->second = e->second.walk.Returns();
    return it->second;
  }
  bool returns = WalkFrom(target, depth + 1, kStepsPerCallee).Returns();
  returns_[target] = returns;
  return returns;
}

void ExportUse::Walk::AddRet(std::uint16_t bytes) {
  for (std::uint8_t i = 0; i < retCount; ++i)
    if (rets[i] == bytes) return;
  if (retCount < rets.size()) rets[retCount++] = bytes;
}

void ExportUse::Walk::Merge(const Walk& w) {
  for (std::uint8_t i = 0; i < w.retCount; ++i) AddRet(w.rets[i]);
  if (w.iat && !iat) {
    iat = true;
    iatSlot = w.iatSlot;
  }
  open = open || w.open;
  cut = cut || w.cut;
}

// Nested export walks (a thunk jumping to a thunk ...) go this deep; past it
// the walk goes on inline, as it would without the memo.
constexpr std::size_t kNestedWalks = 8;

const ExportUse::Walk& ExportUse::ExportWalk(std::uint32_t rva) {
  auto [it, fresh] = exportWalks_.try_emplace(rva);
  if (!fresh) return it->second.walk;
  Walk w = WalkFrom(rva, 0, kStepsPerExport);
  Memo& m = exportWalks_[rva];  // the table may have grown since
  m.walk = w;
  m.done = true;
  return m.walk;
}

ExportUse::Walk ExportUse::WalkFrom(std::uint32_t start, int depth, std::uint32_t cap) {
  Walk w;
  if (level_ == frames_.size()) frames_.emplace_back();
  Frame& f = frames_[level_];
  // Released on every way out; frames_ may grow under nested walks, so `f` is
  // not used after one.
  // The walk's steps come off the image's budget when it ends; it takes at
  // most what was left when it started.
  std::uint32_t steps = 0;
  const std::uint64_t limit = std::min<std::uint64_t>(cap, left_);
  struct Hold {
    std::size_t& level;
    std::uint64_t& left;
    const std::uint32_t& steps;
    ~Hold() {
      --level;
      left -= std::min<std::uint64_t>(left, steps);
    }
  } hold{++level_, left_, steps};
  // The walk stops at `cap` insertions, so its table is never more than half full.
  f.seen.Reset(cap);
  f.work.clear();
  f.work.push_back(start);
  const std::size_t me = level_ - 1;
  // The executable stretch the last instruction came from: one look-up per
  // stretch, not one per instruction.
  io::Reader code;
  std::uint64_t codeStart = 0, codeEnd = 0;
  while (!frames_[me].work.empty()) {
    if (depth > 0 && w.Returns()) return w;
    std::uint32_t pc = frames_[me].work.back();
    frames_[me].work.pop_back();
    // The first export after pc: running on into it means we lost this function's end.
    std::uint32_t boundary = NextStart(pc);
    for (;;) {
      if (pc >= boundary) {
        if (ExportStart(pc)) {
          w.open = true;
          break;
        }
        boundary = NextStart(pc);
      }
      if (!frames_[me].seen.Insert(pc)) break;
      if (steps == limit) {
        w.cut = true;
        return w;
      }
      ++steps;
      if (pc < codeStart || pc >= codeEnd) {
        int sec = ctx_.map.SectionOf(pc);
        if (!ExecutableSection(sec)) {
          w.open = true;
          break;
        }
        Stretch& st = stretches_[static_cast<std::size_t>(sec)];
        if (st.end == 0 || pc < st.start || pc >= st.end) {
          // The section's bytes from here on; kept for every later walk into it.
          auto view = ctx_.map.View(pc);
          if (!view) {
            w.open = true;
            break;
          }
          st = {pc, pc + view->Size(), *view};
        }
        code = st.code;
        codeStart = st.start;
        codeEnd = st.end;
      }
      x86::Insn in;
      const std::uint64_t off = pc - codeStart;
      const std::span<const std::uint8_t> bytes = code.Bytes();
      if (off + 15 > bytes.size() || !x86::DecodeShort(bytes.data() + off, off, in)) in = x86::Decode(code, off);
      std::uint32_t next = pc + in.length;
      std::int64_t target = static_cast<std::int64_t>(codeStart) + in.target;
      bool targetOk = target >= 0 && target <= UINT32_MAX;
      bool goOn = false;
      switch (in.flow) {
        case x86::Flow::Next:
          goOn = true;
          break;
        case x86::Flow::Ret:
          w.AddRet(in.imm);
          break;
        case x86::Flow::Jmp: {
          if (!targetOk) {
            w.open = true;
            break;
          }
          pc = static_cast<std::uint32_t>(target);
          // A jump into another export: its whole walk, made once for all who jump there.
          if (depth == 0 && pc != start && level_ <= kNestedWalks && ExportStart(pc)) {
            auto it = exportWalks_.find(pc);
            if (it == exportWalks_.end() || it->second.done) {
              w.Merge(ExportWalk(pc));
              break;
            }
          }
          boundary = NextStart(pc);
          continue;
        }
        case x86::Flow::Jcc:
          if (!targetOk) {
            goOn = true;
            break;
          }
          // A callee only has to be seen to return, and whether it can does not
          // depend on the order its paths are taken in: forward branches first,
          // as they lead to the epilogue. (An export's own walk keeps its order,
          // which says which return it reports first.)
          if (depth > 0 && target > pc) {
            if (next >= boundary && ExportStart(next)) w.open = true;  // falling through into the next export
            else frames_[me].work.push_back(next);
            pc = static_cast<std::uint32_t>(target);
            boundary = NextStart(pc);
            continue;
          }
          frames_[me].work.push_back(static_cast<std::uint32_t>(target));
          goOn = true;
          break;
        case x86::Flow::Call:
        case x86::Flow::CallIndirect:
          goOn = CallReturns(in, code, codeStart, next, depth);
          break;
        case x86::Flow::JmpMem: {
          std::uint64_t va = in.mem;
          std::uint32_t slot = va >= ctx_.h.opt.imageBase ? static_cast<std::uint32_t>(va - ctx_.h.opt.imageBase) : 0;
          const ImportSlot* it = FindSlot(slot);
          if (it == nullptr) {
            w.open = true;
          } else if (!it->noReturn && !w.iat) {
            w.iat = true;
            w.iatSlot = slot;
          }
          break;
        }
        case x86::Flow::Trap:
          break;
        case x86::Flow::JmpIndirect:
        case x86::Flow::Leave:
        case x86::Flow::Invalid:
          w.open = true;
          break;
      }
      // A callee only has to be seen to return.
      if (depth > 0 && w.Returns()) return w;
      if (!goOn) break;
      pc = next;
    }
  }
  return w;
}

ArgSize ExportUse::Args(std::uint32_t rva) {
  ArgSize a;
  if (!i386_ || !Executable(rva)) return a;
  const Walk& w = ExportWalk(rva);
  if (w.retCount != 0) {
    a.bytes = w.rets[0];
    if (w.retCount > 1) {
      a.kind = ArgSize::Kind::Conflict;
      a.other = w.rets[1];
    } else {
      a.kind = a.bytes == 0 ? ArgSize::Kind::NoArgs : ArgSize::Kind::Stdcall;
    }
  } else if (w.iat) {
    a.kind = ArgSize::Kind::ViaImport;
    a.importSlot = w.iatSlot;
  } else {
    a.kind = ArgSize::Kind::Unknown;
  }
  return a;
}

ExportUse::Named ExportUse::ArgsOf(std::uint32_t rva, std::string_view name, std::uint64_t ordinal) {
  Named n;
  n.code = Args(rva);
  if (n.code.kind == ArgSize::Kind::None) return n;
  n.decorated = DecoratedBytes(name);
  if (n.decorated && Contradicts(n.code, *n.decorated)) {
    const lang::Lang l = ctx_.options.lang;
    ctx_.an.AtRva(Area::Exports, rva,
                  n.code.kind == ArgSize::Kind::Conflict
                      ? lang::Say(l, lang::M::ExpNameSaysEither, {ordinal, name, *n.decorated, n.code.bytes, n.code.other})
                      : lang::Say(l, lang::M::ExpNameSays, {ordinal, name, *n.decorated, n.code.bytes}));
  }
  return n;
}

}  // namespace kestrova::dumper::pe
