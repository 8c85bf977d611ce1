#pragma once
// A 32-bit thunk that jumps through its import slot pops what the function it
// jumps to pops: kernel32's exports that hand over to kernelbase, for one.
// That function's code is walked in the DLL the Dependencies part found, read
// once and never loaded.
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "dumper/pe/ExportUse.h"
#include "dumper/system/Modules.h"

namespace kestrova::dumper::system {

class ImportedArgs {
 public:
  explicit ImportedArgs(Files& files) : cache_(files) {}
  // The argument bytes of `f` in the DLL at `path`; Kind::None when the DLL is
  // not a 32-bit x86 image or does not export it as code of its own.
  pe::ArgSize Of(const std::string& path, const pe::ImportFunction& f);

 private:
  // The walker keeps a reference to its context, so both live here.
  struct Walker {
    explicit Walker(const Module& m) : ctx(m.Ctx()), use(ctx, m.exports, &m.imports, nullptr) {}
    pe::Context ctx;
    pe::ExportUse use;
  };
  ModuleCache cache_;
  std::map<const Module*, std::unique_ptr<Walker>> walkers_;
  std::map<std::pair<const Module*, std::uint32_t>, pe::ArgSize> done_;
};

}  // namespace kestrova::dumper::system
