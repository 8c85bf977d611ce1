#include "dumper/system/Dependencies.h"

#include "dumper/pe/Facts.h"

namespace kestrova::dumper::pe {

system::Closure ParseDependencies(const Context& ctx) {
  system::Closure c;
  if (ctx.options.noDeps) return c;
  const system::Environment* env = ctx.options.deps;
  if (env == nullptr || env->files == nullptr) {
    c.present = true;
    c.why = "no system to resolve against";
    return c;
  }
  system::ModuleCache cache(*env->files);
  const std::span<const std::uint8_t> bytes = ctx.file.Bytes();
  c = system::WalkClosure(*env->files, env->view, cache, {env->program, bytes, env->appDir}, env->limits);
  // An image that imports nothing has no part; one that cannot be resolved says why.
  if (!c.present && c.why != "imports nothing") c.present = true;
  else if (!c.present) return c;
  if (ctx.facts != nullptr && c.modules.size() > 0) {
    ctx.facts->depsWalked = true;
    ctx.facts->depsLoads = c.WillLoad();
    ctx.facts->depsModules = c.modules.size();
    ctx.facts->depsDllsMissing = c.dllsMissing;
    ctx.facts->depsFunctionsMissing = c.functionsMissing;
    ctx.facts->depsBadImages = c.wrongMachine + c.badImages;
    ctx.facts->depsDelayedFailures = c.delayedFailures;
  }
  return c;
}

}  // namespace kestrova::dumper::pe
