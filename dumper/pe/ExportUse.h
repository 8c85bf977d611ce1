#pragma once
// How an export is used by a caller: whether it is data (a linker must import
// it as DATA), and for 32-bit x86 code how many bytes of arguments it pops,
// read from the `ret N` its code ends in.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dumper/pe/Context.h"
#include "dumper/pe/Relocations.h"
#include "dumper/x86/Length.h"

namespace kestrova::dumper::pe {

enum class DataReason : std::uint8_t {
  NotData,
  Section,     // its address is in a section that is not executable
  Relocation,  // a base relocation patches the bytes at its address
  Name,        // a vtable (??_7) or RTTI record (??_R) by its name
};

struct ArgSize {
  enum class Kind : std::uint8_t {
    None,        // nothing inferred: not i386 code
    Stdcall,     // every return found pops `bytes`
    NoArgs,      // a plain ret: cdecl, or no arguments
    Unknown,     // no return found: never returns, or left by a way we do not follow
    Conflict,    // returns that pop `bytes` and `other`
    ViaImport,   // a jump through the import slot at `importSlot`, and no return of its own
  };
  Kind kind = Kind::None;
  std::uint16_t bytes = 0, other = 0;
  std::uint32_t importSlot = 0;
  bool noReturn = false;  // Stdcall or NoArgs by the name of a function that never returns
};

// `code` for a function whose code says nothing (Unknown); for one of the
// well-known functions that never return (ExitProcess, exit ...), the bytes
// its callers push, by its name.
ArgSize NoReturnArgs(const ArgSize& code, std::string_view name);

// The addresses one walk has decoded: an open-addressing table sized for the
// walk's step cap, so never more than half full. An address goes to the slot
// its low bits name, so a function's instructions fill neighbouring slots.
// Each slot carries the walk it was filled in: starting a walk clears nothing,
// and a walk costs no allocation.
class SeenSet {
 public:
  void Reset(std::uint32_t cap);
  // False when `pc` was there already.
  bool Insert(std::uint32_t pc) {
    for (std::uint32_t i = pc & mask_;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.walk != walk_) {
        s = {pc, walk_};
        return true;
      }
      if (s.pc == pc) return false;
    }
  }

 private:
  struct Slot {
    std::uint32_t pc = 0, walk = 0;
  };
  std::vector<Slot> slots_;
  std::uint32_t mask_ = 0, walk_ = 0;
};

class ExportUse {
 public:
  // `imports` may be null: then no jump is known to go through the IAT, and no
  // imported function is known never to return.
  ExportUse(const Context& ctx, const ExportTable& exports, const ImportTable* imports,
            const RelocationTable* relocations);
  DataReason Data(std::uint32_t rva, std::string_view name) const;
  // The argument bytes of the code at `rva`; None unless the image is i386
  // and the address is in an executable section.
  ArgSize Args(std::uint32_t rva);
  // The code's answer (NoReturnArgs applied) and, for a stdcall-decorated
  // name, the decoration's; a decoration the code contradicts is reported at `rva`.
  struct Named {
    ArgSize code;
    std::optional<std::uint16_t> decorated;
  };
  Named ArgsOf(std::uint32_t rva, std::string_view name, std::uint64_t ordinal);
  // The import behind an IAT slot (ViaImport's importSlot), or null.
  const ImportFunction* SlotImport(std::uint32_t slot, std::string_view& dll) const;
  bool I386() const { return i386_; }

 private:
  int Section(std::uint32_t rva) const;
  bool ExecutableSection(int section) const;
  bool Executable(std::uint32_t rva) const;
  bool ExportStart(std::uint32_t rva) const;
  std::uint32_t NextStart(std::uint32_t rva) const;  // the first export address past rva
  bool NoReturnImport(std::uint32_t slot) const;
  // Whether the bytes at `rva` (at `off` of `code` when it holds them) are padding.
  bool Padding(const io::Reader& code, std::uint64_t off, std::uint32_t rva) const;
  // `in` is the call, decoded from a view that starts at `codeStart`.
  bool CallReturns(const x86::Insn& in, const io::Reader& code, std::uint64_t codeStart, std::uint32_t next, int depth);
  struct Walk {
    std::array<std::uint16_t, 2> rets{};  // the first two distinct pops, in the order found
    std::uint8_t retCount = 0;            // distinct pops found, up to 2
    std::uint32_t iatSlot = 0;
    bool iat = false, open = false, cut = false;
    void AddRet(std::uint16_t bytes);
    void Merge(const Walk& w);
    bool Returns() const { return retCount != 0 || iat || open || cut; }
  };
  // A callee's walk (`depth` > 0) stops at the first sign that it returns.
  Walk WalkFrom(std::uint32_t rva, int depth, std::uint32_t cap);
  // The whole walk from an export's address, made once: exports that share
  // code (aliases, thunks and tail jumps into another export) reuse it.
  const Walk& ExportWalk(std::uint32_t rva);

  // What one walk in progress holds, kept between walks so a walk allocates nothing.
  struct Frame {
    SeenSet seen;
    std::vector<std::uint32_t> work;
  };

  const Context& ctx_;
  bool i386_ = false;
  std::vector<std::uint32_t> starts_;   // export addresses, sorted
  std::vector<std::uint32_t> relocs_;   // patched addresses, sorted
  // The IAT slots, sorted: whether the function never returns, and where it is in the imports.
  struct ImportSlot {
    std::uint32_t slot = 0;
    bool noReturn = false;
    std::uint32_t dll = 0, function = 0;
    bool operator<(const ImportSlot& o) const {
      return slot != o.slot ? slot < o.slot : noReturn != o.noReturn ? !noReturn : dll != o.dll ? dll < o.dll : function < o.function;
    }
  };
  const ImportSlot* FindSlot(std::uint32_t slot) const;  // the first with that slot, or null
  std::vector<ImportSlot> slots_;
  const ImportTable* imports_ = nullptr;
  std::unordered_map<std::uint32_t, bool> returns_;    // local callees: whether they can return
  // Export walks by address; `done` false while one is in progress.
  struct Memo {
    Walk walk;
    bool done = false;
  };
  std::unordered_map<std::uint32_t, Memo> exportWalks_;
  // The code the walks read: per section, one view from the lowest address read in it.
  struct Stretch {
    std::uint64_t start = 0, end = 0;
    io::Reader code;
  };
  std::vector<Stretch> stretches_;
  std::vector<Frame> frames_;                           // one per walk in progress
  std::size_t level_ = 0;                               // frames in use
  std::uint64_t left_ = 0;                              // decode steps left for the whole image
  mutable std::size_t gap_ = 0;                         // NextStart's last answer, as an index into starts_
  mutable std::uint32_t lastRva_ = 0;                   // Section's one-entry memo
  mutable int lastSection_ = kNoSection;
  mutable bool lastOk_ = false;
};

// The argument bytes a stdcall decoration gives ("_name@8", "name@8"); nothing
// for other names (C++, fastcall "@name@8", plain).
std::optional<std::uint16_t> DecoratedBytes(std::string_view name);

// Whether code that says `a` contradicts a decoration of `bytes`: a return that
// pops another count. Paths that end elsewhere contradict nothing.
bool Contradicts(const ArgSize& a, std::uint16_t bytes);

}  // namespace kestrova::dumper::pe
