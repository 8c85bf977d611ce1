#pragma once
// The function table (.pdata) of x64, ARM64 and ARMNT images. The table stays
// a view of the file: its entries and their unwind information are decoded one
// at a time while the listing is written, so a DLL with a hundred thousand
// functions costs no record per function.
#include <cstdint>
#include <span>

#include "dumper/io/Reader.h"
#include "dumper/pe/Constants.h"
#include "dumper/pe/Context.h"

namespace kestrova::dumper::pe {

enum class UnwindKind : std::uint8_t { X64, Arm64, ArmNt };

struct ExceptionTable {
  bool present = false;
  UnwindKind kind = UnwindKind::X64;
  std::uint32_t rva = 0, size = 0;
  std::uint32_t entrySize = 12;
  std::uint64_t count = 0;  // whole entries inside the file
  io::Reader entries;       // count * entrySize bytes
};

// The fixed part of x64 unwind information, and where it leads.
struct UnwindX64 {
  bool ok = false;  // the four header bytes were read
  std::uint8_t version = 0, flags = 0, prologSize = 0, codeCount = 0, frameRegister = 0, frameOffset = 0;
  bool hasHandler = false;
  std::uint32_t handler = 0;
  bool chained = false;  // continues the entry below
  std::uint32_t parentBegin = 0, parentEnd = 0, parentUnwind = 0;
  std::uint32_t rootBegin = 0;  // the primary entry at the end of the chain
  std::uint32_t links = 0;      // entries followed to get there
};

// ARM64 and ARMNT: either packed into the entry, or an .xdata record.
struct UnwindArm {
  std::uint8_t flag = 0;  // low two bits of the entry's second word
  std::uint32_t length = 0;  // function length in bytes
  // Packed form: the fields as they sit in the word (decoded by the printer's table).
  // .xdata form:
  bool ok = false;
  std::uint8_t version = 0;
  bool x = false, e = false, f = false;  // handler follows; one epilog packed in; fragment (ARMNT)
  std::uint32_t epilogCount = 0, codeWords = 0;
  bool hasHandler = false;
  std::uint32_t handler = 0;
};

struct RuntimeFunction {
  std::uint64_t index = 0;
  std::uint64_t offset = 0;  // file offset of the entry
  std::uint32_t begin = 0;   // ARMNT: without the Thumb bit
  std::uint32_t end = 0;     // x64 only
  std::uint32_t unwind = 0;  // x64: unwind information RVA; ARM: the raw second word
  bool empty = false;        // all zero: padding, not a function
  bool indirect = false;     // x64: the unwind field names another entry (low bit set)
  UnwindX64 x64;
  UnwindArm arm;
};

// Produces the entries in table order; problems found on the way (addresses
// outside the image, cut unwind data, long chains, disorder) go to ctx.an.
class ExceptionWalker {
 public:
  ExceptionWalker(const ExceptionTable& t, const Context& ctx) : t_(t), ctx_(ctx) {}
  bool Next(RuntimeFunction& f);

 private:
  void DecodeX64(RuntimeFunction& f) const;
  void DecodeArm(RuntimeFunction& f) const;
  const ExceptionTable& t_;
  const Context& ctx_;
  std::uint64_t next_ = 0;
  std::uint32_t lastBegin_ = 0;
  bool disorderSaid_ = false;
};

// Longest chain of x64 unwind entries followed; real ones are one or two deep.
inline constexpr std::uint32_t kMaxUnwindChain = 32;

std::span<const Named> UnwindFlagsX64();   // bits
std::span<const Named> UnwindRegistersX64();  // by number

ExceptionTable ParseException(const Context& ctx);

}  // namespace kestrova::dumper::pe
