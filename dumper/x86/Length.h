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

}  // namespace kestrova::dumper::x86
