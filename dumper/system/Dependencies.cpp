#include "dumper/system/Dependencies.h"

#include "dumper/pe/Facts.h"
#include "dumper/lang/catalog/Dependencies.h"
#include "dumper/pe/Manifest.h"
#include "dumper/system/System.h"

namespace kestrova::dumper::pe {

namespace {

// The dependent assemblies of the manifest the loader uses: a program's id 1
// when the process is created, a DLL's id 2 (or 3) when it loads.
std::vector<system::Assembly> DependentAssemblies(const Context& ctx) {
  std::vector<system::Assembly> out;
  const bool dll = (ctx.h.coff.characteristics & 0x2000) != 0;
  const auto list = SharedManifest(ctx);
  for (const Manifest& m : list->manifests) {
    const std::uint32_t id = m.leaf.name.named ? 0 : m.leaf.name.id;
    if (dll ? id != 2 && id != 3 : id != 1) continue;
    for (const ManifestAssembly& a : m.dependencies)
      out.push_back({a.name, a.version, a.architecture, a.publicKeyToken, a.language});
    break;
  }
  return out;
}

}  // namespace

system::Closure ParseDependencies(const Context& ctx) {
  system::Closure c;
  if (ctx.options.noDeps) return c;
  const system::Environment* env = ctx.options.deps;
  if (env == nullptr || env->files == nullptr) {
    c.present = true;
    c.why = lang::Text(lang::M::DepWhyNoSystem, lang::Lang::En);  // JSON's words; the listing says it in its own
    return c;
  }
  system::ModuleCache cache(*env->files);
  const std::span<const std::uint8_t> bytes = ctx.file.Bytes();
  system::WalkInput in{env->program, bytes, env->appDir, {}};
  if (env->view.present) in.assemblies = DependentAssemblies(ctx);
  c = system::WalkClosure(*env->files, env->view, cache, in, env->limits);
  // An image that imports nothing has no part; one that cannot be resolved says why.
  if (!c.present && c.why != lang::Text(lang::M::DepWhyImportsNothing, lang::Lang::En)) c.present = true;
  else if (!c.present) return c;
  if (ctx.facts != nullptr && c.modules.size() > 0) {
    ctx.facts->depsWalked = true;
    ctx.facts->depsLoads = c.WillLoad();
    ctx.facts->depsModules = c.modules.size();
    ctx.facts->depsDllsMissing = c.dllsMissing;
    ctx.facts->depsFunctionsMissing = c.functionsMissing;
    ctx.facts->depsBadImages = c.wrongMachine + c.badImages;
    ctx.facts->depsDelayedFailures = c.delayedFailures;
    ctx.facts->depsAssembliesMissing = c.assembliesMissing;
    for (const system::Edge& e : c.modules[0].edges) {
      if (e.module < 0 || c.modules[static_cast<std::size_t>(e.module)].state != system::Module::State::Image) continue;
      ctx.facts->depsPaths.emplace_back(system::LowerAscii(e.imported), c.modules[static_cast<std::size_t>(e.module)].path);
    }
  }
  return c;
}

}  // namespace kestrova::dumper::pe
