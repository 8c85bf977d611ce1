#pragma once
// A 32-bit thunk that jumps through its import slot pops what the function it
// jumps to pops (kernel32's exports that hand over to kernelbase, for one), and
// a forwarder's callers pop what its target pops. That function is looked for
// in the DLL the Dependencies part found for the name, or else where the loader
// would look: with a system, its search order and API sets; without one, the
// application folder, which is where a user without Windows keeps a program's
// DLLs (a folder of Wine's). What it finds there is followed in turn: a
// decorated name, the code's own `ret N`, another thunk, another forwarder.
// Every DLL is read once and never loaded; the chase is bounded in depth, in
// DLLs read and in steps, and a cycle ends it.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "dumper/pe/ExportUse.h"
#include "dumper/system/ApiSet.h"
#include "dumper/system/Modules.h"

namespace kestrova::dumper::system {

struct Environment;
class Locator;

class ImportedArgs {
 public:
  using Paths = std::vector<std::pair<std::string, std::string>>;  // lower-case DLL name, path
  // Only 32-bit x86 code has argument sizes to find, so the DLLs looked for are
  // those of a 32-bit process. With no environment or no files, or with
  // --no-deps, nothing is followed. `paths` (may be null): the DLLs the
  // Dependencies part resolved, which the loader would find loaded already.
  ImportedArgs(const Environment* env, const Paths* paths);
  ~ImportedArgs();
  ImportedArgs(const ImportedArgs&) = delete;
  ImportedArgs& operator=(const ImportedArgs&) = delete;
  // The argument bytes of `f`, imported from `dll` by the file being listed,
  // when they are settled (Stdcall or NoArgs); Kind::None otherwise.
  pe::ArgSize Of(std::string_view dll, const pe::ImportFunction& f);
  // The same for a forwarder of the file being listed ("DLL.Function", "DLL.#7").
  pe::ArgSize Forwarded(std::string_view target);

 private:
  struct Walker;
  // The 32-bit image the loader would map for `dll` when `importer` asks, or null.
  const Module* Find(std::string_view dll, std::string_view importer);
  pe::ArgSize Import(std::string_view importer, std::string_view dll, const pe::ImportFunction& f, int depth);
  pe::ArgSize Forward(std::string_view importer, std::string_view text, int depth);
  pe::ArgSize At(const Module& m, const ExportHit& hit, int depth);

  const Environment* env_;
  const Paths* paths_;
  std::string self_;  // the listed file's lower-case name: API-set exceptions go by importer
  std::unique_ptr<ModuleCache> cache_;  // made on the first DLL looked for
  std::unique_ptr<Locator> locator_;
  std::unordered_map<std::string, std::string> loaded_;  // `paths` by the name the loader looks for
  std::unordered_set<std::string> read_;                  // paths of the DLLs read
  ApiSetSchema schema_;
  bool schemaRead_ = false;
  std::map<const Module*, std::unique_ptr<Walker>> walkers_;
  struct Memo {
    pe::ArgSize a;
    bool done = false;  // false while its chase is in progress: meeting it again is a cycle
  };
  std::map<std::pair<const Module*, std::uint32_t>, Memo> done_;
  std::uint64_t steps_ = 0;
};

}  // namespace kestrova::dumper::system
