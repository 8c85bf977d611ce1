// The one- and two-byte opcode maps of 32-bit mode, reduced to what decides an
// instruction's length: prefixes, whether a ModRM byte follows, the immediate's size.
#include "dumper/x86/Length.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>

namespace kestrova::dumper::x86 {

namespace {

constexpr unsigned kMaxLength = 15;

// Immediate sizes beyond a fixed byte count: z is 2 or 4 bytes by the operand size.
enum Imm : std::uint8_t { kNone, kB, kW, kZ, kWB /* enter: iw, ib */, kPtr /* ptr16:z */, kMoffs /* address size */ };

// The at most 15 bytes an instruction can take, read once from the view (its
// zero fill included); past the view's end they are not there.
class Bytes {
 public:
  Bytes(const io::Reader& r, std::uint64_t off) {
    if (off >= r.Size()) return;
    n_ = static_cast<unsigned>(std::min<std::uint64_t>(kMaxLength, r.Size() - off));
    std::span<const std::uint8_t> real = r.Bytes();
    if (off + kMaxLength <= real.size()) {
      p_ = real.data() + off;  // the common case: read in place
      return;
    }
    if (off < real.size()) {
      std::size_t k = std::min<std::size_t>(n_, real.size() - static_cast<std::size_t>(off));
      std::memcpy(b_, real.data() + off, k);
    }
  }
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;
  std::optional<std::uint8_t> At(unsigned i) const {
    if (i >= n_) return std::nullopt;
    return p_[i];
  }
  // `n` little-endian bytes at i, sign-extended.
  std::optional<std::int64_t> Signed(unsigned i, unsigned n) const {
    if (i + n > n_) return std::nullopt;
    std::uint32_t v = 0;
    for (unsigned k = 0; k < n; ++k) v |= std::uint32_t{p_[i + k]} << (8 * k);
    if (n == 1) return static_cast<std::int8_t>(v);
    if (n == 2) return static_cast<std::int16_t>(v);
    return static_cast<std::int32_t>(v);
  }
  std::optional<std::uint32_t> Unsigned(unsigned i, unsigned n) const {
    auto s = Signed(i, n);
    if (!s) return std::nullopt;
    return static_cast<std::uint32_t>(*s) & (n == 4 ? 0xFFFFFFFFu : (1u << (8 * n)) - 1);
  }

 private:
  std::uint8_t b_[kMaxLength] = {};
  const std::uint8_t* p_ = b_;
  unsigned n_ = 0;
};

struct ModRm {
  std::uint8_t mod = 0, reg = 0, rm = 0;
  unsigned size = 0;             // ModRM, SIB and displacement bytes
  bool absolute = false;         // the operand is [disp32] alone
  std::uint32_t disp = 0;
};

// The ModRM byte at `i` with what follows it.
std::optional<ModRm> ReadModRm(const Bytes& b, unsigned i, bool addr16) {
  auto m = b.At(i);
  if (!m) return std::nullopt;
  ModRm r;
  r.mod = *m >> 6;
  r.reg = (*m >> 3) & 7;
  r.rm = *m & 7;
  r.size = 1;
  if (r.mod == 3) return r;
  unsigned disp = 0;
  if (addr16) {
    if (r.mod == 0 && r.rm == 6) disp = 2;
    else if (r.mod == 1) disp = 1;
    else if (r.mod == 2) disp = 2;
  } else {
    bool noBase = r.mod == 0 && r.rm == 5;
    if (r.rm == 4) {
      auto sib = b.At(i + 1);
      if (!sib) return std::nullopt;
      r.size = 2;
      if (r.mod == 0 && (*sib & 7) == 5) {
        noBase = true;
        // No base and index 100 (none): the same absolute operand, written long.
        r.absolute = ((*sib >> 3) & 7) == 4;
      }
    } else if (noBase) {
      r.absolute = true;
    }
    if (noBase || r.mod == 2) disp = 4;
    else if (r.mod == 1) disp = 1;
  }
  if (disp != 0) {
    auto d = b.Unsigned(i + r.size, disp);
    if (!d) return std::nullopt;
    r.disp = *d;
  }
  r.size += disp;
  return r;
}

// Whether a one-byte opcode has a ModRM byte.
constexpr bool OneByteModRm(std::uint8_t op) {
  if (op < 0x40) return (op & 7) < 4;
  switch (op) {
    case 0x62: case 0x63: case 0x69: case 0x6B:
    case 0x80: case 0x81: case 0x82: case 0x83: case 0x84: case 0x85: case 0x86: case 0x87:
    case 0x88: case 0x89: case 0x8A: case 0x8B: case 0x8C: case 0x8D: case 0x8E: case 0x8F:
    case 0xC0: case 0xC1: case 0xC4: case 0xC5: case 0xC6: case 0xC7:
    case 0xD0: case 0xD1: case 0xD2: case 0xD3:
    case 0xD8: case 0xD9: case 0xDA: case 0xDB: case 0xDC: case 0xDD: case 0xDE: case 0xDF:
    case 0xF6: case 0xF7: case 0xFE: case 0xFF:
      return true;
    default:
      return false;
  }
}

// Where a one-byte opcode sends control (the conditional and looping jumps included).
constexpr Flow OneByteFlow(std::uint8_t op) {
  switch (op) {
    case 0xC2: case 0xC3: return Flow::Ret;
    case 0xCA: case 0xCB: case 0xCF: return Flow::Leave;
    case 0xCC: case 0xF4: case 0xF1: return Flow::Trap;
    case 0xE8: return Flow::Call;
    case 0xE9: case 0xEB: return Flow::Jmp;
    case 0xEA: return Flow::JmpIndirect;
    case 0x9A: return Flow::CallIndirect;
    case 0xE0: case 0xE1: case 0xE2: case 0xE3: return Flow::Jcc;
    default: return op >= 0x70 && op <= 0x7F ? Flow::Jcc : Flow::Next;
  }
}

constexpr Imm OneByteImm(std::uint8_t op) {
  if (op < 0x40) {
    if ((op & 7) == 4) return kB;
    if ((op & 7) == 5) return kZ;
    return kNone;
  }
  if (op >= 0x70 && op <= 0x7F) return kB;
  if (op >= 0xB0 && op <= 0xB7) return kB;
  if (op >= 0xB8 && op <= 0xBF) return kZ;
  switch (op) {
    case 0x68: case 0x69: case 0x81: case 0xA9: case 0xC7: case 0xE8: case 0xE9: return kZ;
    case 0x6A: case 0x6B: case 0x80: case 0x82: case 0x83: case 0xA8: case 0xC0: case 0xC1: case 0xC6:
    case 0xCD: case 0xD4: case 0xD5: case 0xE0: case 0xE1: case 0xE2: case 0xE3: case 0xE4: case 0xE5:
    case 0xE6: case 0xE7: case 0xEB:
      return kB;
    case 0xC2: case 0xCA: return kW;
    case 0xC8: return kWB;
    case 0x9A: case 0xEA: return kPtr;
    case 0xA0: case 0xA1: case 0xA2: case 0xA3: return kMoffs;
    default: return kNone;
  }
}

// Two-byte opcodes (after 0F) that are not instructions in 32-bit mode.
constexpr bool TwoByteInvalid(std::uint8_t op) {
  switch (op) {
    case 0x04: case 0x0A: case 0x0C: case 0x24: case 0x25: case 0x26: case 0x27: case 0x36:
    case 0x39: case 0x3B: case 0x3C: case 0x3D: case 0x3E: case 0x3F: case 0x7A: case 0x7B:
    case 0xA6: case 0xA7:
      return true;
    default:
      return false;
  }
}

constexpr bool TwoByteModRm(std::uint8_t op) {
  if (op <= 0x03) return true;
  if (op >= 0x05 && op <= 0x0C) return false;     // syscall .. ud2 .. 0C
  if (op == 0x0E) return false;                    // femms
  if (op >= 0x30 && op <= 0x37) return false;      // wrmsr, rdtsc, ..., sysenter, getsec
  if (op == 0x77) return false;                    // emms
  if (op >= 0x80 && op <= 0x8F) return false;      // jcc rel
  switch (op) {
    case 0xA0: case 0xA1: case 0xA2: case 0xA8: case 0xA9: case 0xAA: return false;
    default: break;
  }
  if (op >= 0xC8 && op <= 0xCF) return false;      // bswap
  return true;
}

constexpr Imm TwoByteImm(std::uint8_t op) {
  if (op >= 0x70 && op <= 0x73) return kB;
  if (op >= 0x80 && op <= 0x8F) return kZ;
  switch (op) {
    case 0x0F:  // 3DNow!: the opcode itself follows the operand
    case 0xA4: case 0xAC: case 0xBA: case 0xC2: case 0xC4: case 0xC5: case 0xC6:
      return kB;
    default:
      return kNone;
  }
}

// The classifiers above as tables, one entry an opcode: bit 7 ModRM, bit 6 not
// an instruction (two-byte map), the low bits the immediate.
struct Tables {
  std::uint8_t one[256] = {}, two[256] = {};
};
constexpr Tables MakeTables() {
  Tables t;
  for (unsigned op = 0; op < 256; ++op) {
    auto o = static_cast<std::uint8_t>(op);
    t.one[op] = static_cast<std::uint8_t>((OneByteModRm(o) ? 0x80 : 0) | OneByteImm(o));
    t.two[op] = static_cast<std::uint8_t>((TwoByteModRm(o) ? 0x80 : 0) | (TwoByteInvalid(o) ? 0x40 : 0) | TwoByteImm(o));
  }
  return t;
}
constexpr Tables kTables = MakeTables();

// The one-byte opcodes the short path (DecodeShort, in the header) decodes:
// no prefix, no second opcode byte, an immediate of 0, 1, 2 or 4 bytes, no
// rule that depends on the ModRM byte beyond lea's and group 5's.
constexpr std::array<std::uint16_t, 256> MakeShort() {
  std::array<std::uint16_t, 256> q{};
  for (unsigned op = 0; op < 256; ++op) {
    switch (op) {
      case 0x66: case 0x67: case 0xF0: case 0xF2: case 0xF3: case 0x26: case 0x2E: case 0x36: case 0x3E:
      case 0x64: case 0x65: case 0x0F: case 0xC4: case 0xC5: case 0x62: case 0x8F: case 0xF6: case 0xF7:
      case 0xFE: case 0xCD: case 0x9A: case 0xEA:
        continue;
      default: break;
    }
    Imm imm = OneByteImm(static_cast<std::uint8_t>(op));
    unsigned immBytes = 0;
    switch (imm) {
      case kNone: immBytes = 0; break;
      case kB: immBytes = 1; break;
      case kW: immBytes = 2; break;
      case kZ: immBytes = 4; break;
      default: continue;
    }
    const Flow f = OneByteFlow(static_cast<std::uint8_t>(op));
    q[op] = static_cast<std::uint16_t>(detail::kShortKnown | (OneByteModRm(static_cast<std::uint8_t>(op)) ? detail::kShortModRm : 0) |
                                       (static_cast<unsigned>(f) << 4) | immBytes);
  }
  return q;
}

}  // namespace

namespace detail {
constexpr std::array<std::uint16_t, 256> kShortTable = MakeShort();
const std::uint16_t* const kShort = kShortTable.data();
}  // namespace detail

Insn Decode(const io::Reader& code, std::uint64_t off) {
  Insn out;
  {
    // All 15 bytes in the file: the short path, when it knows the instruction.
    std::span<const std::uint8_t> real = code.Bytes();
    if (off + kMaxLength <= real.size() && DecodeShort(real.data() + off, off, out)) return out;
  }
  const Bytes b(code, off);
  bool opsize16 = false, addr16 = false;
  unsigned i = 0;
  std::optional<std::uint8_t> op;
  for (;; ++i) {
    op = b.At(i);
    if (!op) return out;
    switch (*op) {
      case 0x66: opsize16 = true; continue;
      case 0x67: addr16 = true; continue;
      case 0xF0: case 0xF2: case 0xF3: case 0x26: case 0x2E: case 0x36: case 0x3E: case 0x64: case 0x65:
        continue;
      default: break;
    }
    break;
  }
  const unsigned zSize = opsize16 ? 2 : 4;
  unsigned at = i + 1;  // past the opcode
  bool hasModRm = false;
  Imm imm = kNone;
  Flow flow = Flow::Next;
  bool twoByte = false;
  std::uint8_t o = *op;

  if (o == 0x0F) {
    twoByte = true;
    auto o2 = b.At(at);
    if (!o2) return out;
    o = *o2;
    ++at;
    const std::uint8_t e = kTables.two[o];
    if (e & 0x40) return out;
    if (o == 0x38 || o == 0x3A) {
      // Three-byte maps: every opcode has ModRM; 0F 3A ones an imm8 as well.
      if (!b.At(at)) return out;
      ++at;
      hasModRm = true;
      imm = o == 0x3A ? kB : kNone;
    } else {
      hasModRm = (e & 0x80) != 0;
      imm = static_cast<Imm>(e & 0x0F);
      if (o >= 0x80 && o <= 0x8F) flow = Flow::Jcc;
      if (o == 0x0B || o == 0xB9 || o == 0xFF) flow = Flow::Trap;  // ud2, ud1, ud0
      if (o == 0x35 || o == 0x07) flow = Flow::Leave;               // sysexit, sysret
    }
  } else if ((o == 0xC4 || o == 0xC5) && b.At(at) && (*b.At(at) >> 6) == 3) {
    // In 32-bit mode LES/LDS with a register operand are the VEX prefixes.
    unsigned map = 1;
    if (o == 0xC4) {
      auto p1 = b.At(at);
      map = *p1 & 0x1F;
      if (map < 1 || map > 3) return out;
      at += 2;
    } else {
      at += 1;
    }
    auto vop = b.At(at);
    if (!vop) return out;
    ++at;
    hasModRm = !(map == 1 && *vop == 0x77);  // vzeroupper / vzeroall
    if (map == 3) imm = kB;
    else if (map == 1 && ((*vop >= 0x70 && *vop <= 0x73) || (*vop >= 0xC4 && *vop <= 0xC6) || *vop == 0xC2)) imm = kB;
    twoByte = true;
    o = 0;  // no two-byte flow rules apply to VEX instructions
  } else {
    hasModRm = (kTables.one[o] & 0x80) != 0;
    imm = static_cast<Imm>(kTables.one[o] & 0x0F);
    flow = OneByteFlow(o);
  }

  ModRm m;
  if (hasModRm) {
    auto r = ReadModRm(b, at, addr16);
    if (!r) return out;
    m = *r;
    at += m.size;
    if (!twoByte) {
      switch (o) {
        case 0x62: case 0x8D: case 0xC4: case 0xC5:  // memory operands only
          if (m.mod == 3) return out;
          break;
        case 0x8F:
          if (m.reg != 0) return out;  // XOP in 64-bit code, nothing here
          break;
        case 0xF6: imm = m.reg <= 1 ? kB : kNone; break;
        case 0xF7: imm = m.reg <= 1 ? kZ : kNone; break;
        case 0xFE: if (m.reg > 1) return out; break;
        case 0xFF:
          switch (m.reg) {
            case 2: flow = Flow::CallIndirect; break;
            case 3: if (m.mod == 3) return out; flow = Flow::CallIndirect; break;
            case 4: flow = m.absolute && !addr16 ? Flow::JmpMem : Flow::JmpIndirect; break;
            case 5: if (m.mod == 3) return out; flow = Flow::JmpIndirect; break;
            case 7: return out;
            default: break;
          }
          break;
        default: break;
      }
    }
  }

  unsigned immAt = at;
  switch (imm) {
    case kNone: break;
    case kB: at += 1; break;
    case kW: at += 2; break;
    case kZ: at += zSize; break;
    case kWB: at += 3; break;
    case kPtr: at += zSize + 2; break;
    case kMoffs: at += addr16 ? 2 : 4; break;
  }
  if (at > kMaxLength) return out;
  if (at > immAt && !b.At(at - 1)) return out;  // cut by the end of the bytes

  out.length = static_cast<std::uint8_t>(at);
  out.flow = flow;
  if (flow == Flow::Ret && o == 0xC2 && !twoByte) out.imm = static_cast<std::uint16_t>(*b.Unsigned(immAt, 2));
  if (flow == Flow::Jmp || flow == Flow::Jcc || flow == Flow::Call) {
    // With a 16-bit operand size the target wraps at 64 KB: not a place we follow
    // (a conditional one still falls through).
    if (opsize16) {
      out.flow = flow == Flow::Call ? Flow::CallIndirect : flow == Flow::Jmp ? Flow::JmpIndirect : Flow::Next;
      return out;
    }
    unsigned n = at - immAt;
    out.target = static_cast<std::int64_t>(off) + at + *b.Signed(immAt, n);
  }
  if (hasModRm && m.absolute && !addr16) {
    out.absolute = true;
    out.mem = m.disp;
  }
  if (!twoByte && o == 0xCD && *b.At(immAt) == 0x29) out.flow = Flow::Trap;  // __fastfail
  return out;
}

}  // namespace kestrova::dumper::x86
