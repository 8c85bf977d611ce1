#include "dumper/system/ImportedArgs.h"

#include "dumper/system/System.h"

namespace kestrova::dumper::system {

pe::ArgSize ImportedArgs::Of(std::string_view dll, const pe::ImportFunction& f) {
  if (files_ == nullptr || paths_ == nullptr || paths_->empty()) return {};
  const std::string lower = LowerAscii(dll);
  for (const auto& [name, path] : *paths_) {
    if (name != lower) continue;
    const pe::ArgSize a = In(path, f);
    if (a.kind == pe::ArgSize::Kind::Stdcall || a.kind == pe::ArgSize::Kind::NoArgs) return a;
    return {};
  }
  return {};
}

pe::ArgSize ImportedArgs::In(const std::string& path, const pe::ImportFunction& f) {
  constexpr std::uint16_t kMachineI386 = 0x14C;
  if (!cache_) cache_ = std::make_unique<ModuleCache>(*files_);
  const Module& m = cache_->Get(path);
  if (m.state != Module::State::Image || m.machine != kMachineI386 || m.pe32plus) return {};
  const ExportHit hit = f.byOrdinal ? FindOrdinal(m, static_cast<std::uint32_t>(f.ordinal))
                                    : FindExport(m, f.name, static_cast<std::int32_t>(f.hint));
  // A forwarder leads on to a third DLL, which only the loader's search would find.
  if (hit.kind != ExportHit::Kind::Found) return {};
  const auto key = std::make_pair(&m, hit.rva);
  if (auto it = done_.find(key); it != done_.end()) return it->second;
  std::unique_ptr<Walker>& w = walkers_[&m];
  if (!w) w = std::make_unique<Walker>(m);
  const pe::ArgSize a = w->use.Args(hit.rva);  // a jump on to a third DLL is not followed: one step only
  done_.emplace(key, a);
  return a;
}

}  // namespace kestrova::dumper::system
