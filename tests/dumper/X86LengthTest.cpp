// The length decoder against encodings from the opcode maps of Intel's manual
// (volume 2, appendix A): one line per form.
#include <gtest/gtest.h>

#include <vector>

#include "dumper/x86/Length.h"

namespace {

using kestrova::dumper::io::Reader;
using kestrova::dumper::x86::Decode;
using kestrova::dumper::x86::Flow;

struct Form {
  const char* what;
  std::vector<std::uint8_t> bytes;
  unsigned length;
  Flow flow;
};

TEST(X86Length, OpcodeMapForms) {
  const Form forms[] = {
      {"push ebp", {0x55}, 1, Flow::Next},
      {"mov ebp, esp", {0x8B, 0xEC}, 2, Flow::Next},
      {"add eax, imm32", {0x05, 1, 2, 3, 4}, 5, Flow::Next},
      {"add al, imm8", {0x04, 1}, 2, Flow::Next},
      {"o16 add ax, imm16", {0x66, 0x05, 1, 2}, 4, Flow::Next},
      {"mov eax, [ebp+8]", {0x8B, 0x45, 0x08}, 3, Flow::Next},
      {"mov eax, [ebp+disp32]", {0x8B, 0x85, 0, 1, 0, 0}, 6, Flow::Next},
      {"mov eax, [disp32]", {0x8B, 0x05, 0, 0x10, 0, 0}, 6, Flow::Next},
      {"mov eax, [esp+4] (SIB, disp8)", {0x8B, 0x44, 0x24, 0x04}, 4, Flow::Next},
      {"mov eax, [disp32+ecx*4] (SIB, no base)", {0x8B, 0x04, 0x8D, 0, 0, 0, 0}, 7, Flow::Next},
      {"a16 mov eax, [bp+si]", {0x67, 0x8B, 0x02}, 3, Flow::Next},
      {"a16 mov eax, [disp16]", {0x67, 0x8B, 0x06, 0x34, 0x12}, 5, Flow::Next},
      {"mov dword [esp+4], imm32", {0xC7, 0x44, 0x24, 0x04, 1, 2, 3, 4}, 8, Flow::Next},
      {"o16 mov word [eax], imm16", {0x66, 0xC7, 0x00, 1, 2}, 5, Flow::Next},
      {"sub esp, imm8 (83 /5)", {0x83, 0xEC, 0x0C}, 3, Flow::Next},
      {"imul eax, ecx, imm32", {0x69, 0xC1, 1, 2, 3, 4}, 6, Flow::Next},
      {"test byte [eax], imm8 (F6 /0)", {0xF6, 0x00, 0x01}, 3, Flow::Next},
      {"not dword [eax] (F7 /2)", {0xF7, 0x10}, 2, Flow::Next},
      {"test eax, imm32 (F7 /0)", {0xF7, 0xC0, 1, 2, 3, 4}, 6, Flow::Next},
      {"mov al, [moffs32]", {0xA0, 1, 2, 3, 4}, 5, Flow::Next},
      {"a16 mov eax, [moffs16]", {0x67, 0xA1, 1, 2}, 4, Flow::Next},
      {"mov ecx, imm32", {0xB9, 1, 2, 3, 4}, 5, Flow::Next},
      {"enter imm16, imm8", {0xC8, 0x10, 0x00, 0x00}, 4, Flow::Next},
      {"lock cmpxchg [ecx], edx", {0xF0, 0x0F, 0xB1, 0x11}, 4, Flow::Next},
      {"rep movsd", {0xF3, 0xA5}, 2, Flow::Next},
      {"fs: mov eax, [disp32]", {0x64, 0xA1, 0x18, 0, 0, 0}, 6, Flow::Next},
      {"fld qword [esp]", {0xDD, 0x04, 0x24}, 3, Flow::Next},
      {"movzx eax, byte [ecx]", {0x0F, 0xB6, 0x01}, 3, Flow::Next},
      {"shld eax, edx, imm8", {0x0F, 0xA4, 0xD0, 0x04}, 4, Flow::Next},
      {"bt eax, imm8 (0F BA /4)", {0x0F, 0xBA, 0xE0, 0x03}, 4, Flow::Next},
      {"pshufd xmm0, xmm1, imm8", {0x66, 0x0F, 0x70, 0xC1, 0x1B}, 5, Flow::Next},
      {"pshufb xmm0, xmm1 (0F 38)", {0x66, 0x0F, 0x38, 0x00, 0xC1}, 5, Flow::Next},
      {"palignr xmm0, xmm1, imm8 (0F 3A)", {0x66, 0x0F, 0x3A, 0x0F, 0xC1, 0x04}, 6, Flow::Next},
      {"vmovups ymm0, [eax] (VEX C5)", {0xC5, 0xFC, 0x10, 0x00}, 4, Flow::Next},
      {"vpshufd xmm0, xmm1, imm8 (VEX C4)", {0xC4, 0xE1, 0x79, 0x70, 0xC1, 0x1B}, 6, Flow::Next},
      {"les eax, [ecx]", {0xC4, 0x01}, 2, Flow::Next},
      {"nop dword [eax+eax+0]", {0x0F, 0x1F, 0x44, 0x00, 0x00}, 5, Flow::Next},
      {"bswap eax", {0x0F, 0xC8}, 2, Flow::Next},
      {"cpuid", {0x0F, 0xA2}, 2, Flow::Next},
      {"int 2Eh", {0xCD, 0x2E}, 2, Flow::Next},
      {"ret", {0xC3}, 1, Flow::Ret},
      {"ret imm16", {0xC2, 0x1C, 0x00}, 3, Flow::Ret},
      {"retf", {0xCB}, 1, Flow::Leave},
      {"iret", {0xCF}, 1, Flow::Leave},
      {"jmp rel8", {0xEB, 0x10}, 2, Flow::Jmp},
      {"jmp rel32", {0xE9, 0x00, 0x01, 0x00, 0x00}, 5, Flow::Jmp},
      {"jz rel8", {0x74, 0xFE}, 2, Flow::Jcc},
      {"jnz rel32", {0x0F, 0x85, 0x10, 0, 0, 0}, 6, Flow::Jcc},
      {"loop rel8", {0xE2, 0x02}, 2, Flow::Jcc},
      {"jecxz rel8", {0xE3, 0x02}, 2, Flow::Jcc},
      {"call rel32", {0xE8, 0, 0, 0, 0}, 5, Flow::Call},
      {"call [disp32]", {0xFF, 0x15, 0, 0x20, 0, 0x10}, 6, Flow::CallIndirect},
      {"call eax", {0xFF, 0xD0}, 2, Flow::CallIndirect},
      {"call far ptr16:32", {0x9A, 1, 2, 3, 4, 5, 6}, 7, Flow::CallIndirect},
      {"jmp [disp32]", {0xFF, 0x25, 0x00, 0x20, 0x00, 0x10}, 6, Flow::JmpMem},
      {"jmp [disp32] via SIB", {0xFF, 0x24, 0x25, 0x00, 0x20, 0x00, 0x10}, 7, Flow::JmpMem},
      {"jmp [table+eax*4]", {0xFF, 0x24, 0x85, 0, 0x20, 0, 0x10}, 7, Flow::JmpIndirect},
      {"jmp eax", {0xFF, 0xE0}, 2, Flow::JmpIndirect},
      {"jmp far ptr16:32", {0xEA, 1, 2, 3, 4, 5, 6}, 7, Flow::JmpIndirect},
      {"int3", {0xCC}, 1, Flow::Trap},
      {"int 29h (fast fail)", {0xCD, 0x29}, 2, Flow::Trap},
      {"hlt", {0xF4}, 1, Flow::Trap},
      {"ud2", {0x0F, 0x0B}, 2, Flow::Trap},
      {"FF /7 is not an instruction", {0xFF, 0xF8}, 0, Flow::Invalid},
      {"lea with a register operand", {0x8D, 0xC0}, 0, Flow::Invalid},
      {"0F 04 is not an instruction", {0x0F, 0x04}, 0, Flow::Invalid},
      {"cut inside the immediate", {0xB8, 1, 2}, 0, Flow::Invalid},
      {"cut inside the displacement", {0x8B, 0x85, 0}, 0, Flow::Invalid},
      {"more than 15 bytes of prefixes", std::vector<std::uint8_t>(15, 0x66), 0, Flow::Invalid},
  };
  for (const Form& f : forms) {
    Reader r(f.bytes);
    auto in = Decode(r, 0);
    EXPECT_EQ(in.length, f.length) << f.what;
    EXPECT_EQ(in.flow, f.flow) << f.what;
  }
}

TEST(X86Length, Operands) {
  // ret 1Ch pops 28 bytes; jumps give their target; jmp [disp32] its pointer's address.
  std::vector<std::uint8_t> code = {0x90, 0xC2, 0x1C, 0x00, 0xEB, 0xFA, 0xFF, 0x25, 0x78, 0x56, 0x34, 0x12,
                                    0xE8, 0xF0, 0xFF, 0xFF, 0xFF};
  Reader r(code);
  EXPECT_EQ(Decode(r, 1).imm, 28);
  EXPECT_EQ(Decode(r, 4).target, 0);  // 4 + 2 - 6
  auto jmp = Decode(r, 6);
  EXPECT_TRUE(jmp.absolute);
  EXPECT_EQ(jmp.mem, 0x12345678u);
  EXPECT_EQ(Decode(r, 12).target, 1);  // 12 + 5 - 16
}

}  // namespace
