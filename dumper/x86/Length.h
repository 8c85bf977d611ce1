#pragma once
// The length of one 32-bit x86 instruction and what it does to the flow of
// control: enough to walk a function's paths, not a disassembler.
#include <cstdint>

#include "dumper/io/Reader.h"

namespace kestrova::dumper::x86 {

enum class Flow : std::uint8_t {
  Next,          // control goes on to the next instruction
  Ret,           // near return; `imm` is the bytes it pops (0 for a plain ret)
  Jmp,           // jmp rel8/rel32 to `target`
  JmpMem,        // jmp [disp32]: through the pointer at the absolute address `mem`
  JmpIndirect,   // any other jump we cannot follow (register, table, far)
  Jcc,           // conditional: jcc, loop, jecxz; `target` or the next instruction
  Call,          // call rel32 to `target`
  CallIndirect,  // call through a register or memory, or far
  Trap,          // int3, ud0/ud1/ud2, hlt, int 29h: nothing runs after it
  Leave,         // far return or iret: leaves in a way a near caller does not see
  Invalid        // not an instruction, longer than 15 bytes, or cut by the end of the bytes
};

struct Insn {
  std::uint8_t length = 0;  // 0 when Invalid
  Flow flow = Flow::Invalid;
  std::uint16_t imm = 0;    // Ret: bytes popped
  std::int64_t target = 0;  // Jmp, Jcc, Call: offset in the view, relative to its start
  std::uint32_t mem = 0;    // a [disp32] operand's absolute address (JmpMem: of the pointer)
  bool absolute = false;    // whether the operand is [disp32]
};

// Decodes the instruction at `off` of `code`, in 32-bit mode.
Insn Decode(const io::Reader& code, std::uint64_t off);

namespace detail {
// Per one-byte opcode, for DecodeShort: kShortKnown when it takes the short path,
// kShortModRm when a ModRM byte follows, the Flow in bits 4-7, the immediate's bytes in 0-3.
inline constexpr std::uint16_t kShortKnown = 0x200, kShortModRm = 0x100;
extern const std::uint16_t* const kShort;
}  // namespace detail

// The path Decode takes first, inline for the walks that decode many
// instructions: the unprefixed one-byte instructions that make most compiled
// code. `p` points at the instruction, which is at `off` of its view, with 15
// bytes readable. True when it decided (an encoding that is not an instruction
// leaves `out` as it was: Invalid); false, `out` untouched, when Decode must.
inline bool DecodeShort(const std::uint8_t* p, std::uint64_t off, Insn& out) {
  const std::uint8_t o = p[0];
  const std::uint16_t q = detail::kShort[o];
  if (!(q & detail::kShortKnown)) return false;
  unsigned at = 1;
  bool absolute = false;
  std::uint32_t disp = 0;
  auto flow = static_cast<Flow>((q >> 4) & 0xF);
  if (q & detail::kShortModRm) {
    const std::uint8_t m = p[1], mod = m >> 6, rm = m & 7;
    at = 2;
    if (mod != 3) {
      unsigned dispSize = mod == 1 ? 1 : mod == 2 ? 4 : 0;
      if (rm == 4) {
        const std::uint8_t sib = p[2];
        at = 3;
        if (mod == 0 && (sib & 7) == 5) {
          dispSize = 4;
          absolute = ((sib >> 3) & 7) == 4;  // no base, no index: [disp32] written long
        }
      } else if (mod == 0 && rm == 5) {
        dispSize = 4;
        absolute = true;
      }
      if (absolute)
        disp = std::uint32_t{p[at]} | std::uint32_t{p[at + 1]} << 8 | std::uint32_t{p[at + 2]} << 16 |
               std::uint32_t{p[at + 3]} << 24;
      at += dispSize;
    } else if (o == 0x8D) {
      return true;  // lea of a register
    }
    if (o == 0xFF) {
      switch ((m >> 3) & 7) {
        case 2: flow = Flow::CallIndirect; break;
        case 3: if (mod == 3) return true; flow = Flow::CallIndirect; break;
        case 4: flow = absolute ? Flow::JmpMem : Flow::JmpIndirect; break;
        case 5: if (mod == 3) return true; flow = Flow::JmpIndirect; break;
        case 7: return true;
        default: break;
      }
    }
  }
  const unsigned immAt = at;
  at += q & 0xF;
  out.length = static_cast<std::uint8_t>(at);
  out.flow = flow;
  if (o == 0xC2) out.imm = static_cast<std::uint16_t>(p[immAt] | p[immAt + 1] << 8);
  if (flow == Flow::Jmp || flow == Flow::Jcc || flow == Flow::Call) {
    std::int64_t rel = at - immAt == 1 ? static_cast<std::int8_t>(p[immAt])
                                       : static_cast<std::int32_t>(std::uint32_t{p[immAt]} | std::uint32_t{p[immAt + 1]} << 8 |
                                                                   std::uint32_t{p[immAt + 2]} << 16 |
                                                                   std::uint32_t{p[immAt + 3]} << 24);
    out.target = static_cast<std::int64_t>(off) + at + rel;
  }
  if (absolute) {
    out.absolute = true;
    out.mem = disp;
  }
  return true;
}

}  // namespace kestrova::dumper::x86
