#pragma once
// A 32-bit thunk that jumps through its import slot pops what the function it
// jumps to pops: kernel32's exports that hand over to kernelbase, for one.
// That function's code is walked in the DLL the Dependencies part found, read
// once and never loaded.
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dumper/pe/ExportUse.h"
#include "dumper/system/Modules.h"

namespace kestrova::dumper::system {

class ImportedArgs {
 public:
  using Paths = std::vector<std::pair<std::string, std::string>>;  // lower-case DLL name, path
  // With no files or no paths (no system to resolve against) nothing is followed.
  ImportedArgs(Files* files, const Paths* paths) : files_(files), paths_(paths) {}
  // The argument bytes of `f`, imported from `dll`, when its code settles them
  // (Stdcall or NoArgs); Kind::None otherwise.
  pe::ArgSize Of(std::string_view dll, const pe::ImportFunction& f);

 private:
  pe::ArgSize In(const std::string& path, const pe::ImportFunction& f);
  // The walker keeps a reference to its context, so both live here.
  struct Walker {
    explicit Walker(const Module& m) : ctx(m.Ctx()), use(ctx, m.exports, &m.imports, nullptr) {}
    pe::Context ctx;
    pe::ExportUse use;
  };
  Files* files_;
  const Paths* paths_;
  std::unique_ptr<ModuleCache> cache_;  // made on the first thunk followed
  std::map<const Module*, std::unique_ptr<Walker>> walkers_;
  std::map<std::pair<const Module*, std::uint32_t>, pe::ArgSize> done_;
};

}  // namespace kestrova::dumper::system
