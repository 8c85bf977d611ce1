#include "dumper/system/ImportedArgs.h"

#include <optional>

#include "dumper/system/Closure.h"
#include "dumper/system/System.h"

namespace kestrova::dumper::system {

namespace {

constexpr std::uint16_t kMachineI386 = 0x14C;
// Thunk to thunk to forwarder ...: real chains are two or three links long.
constexpr int kDepth = 16;
// DLLs read for one file: a DLL forwards to a few dozen at most.
constexpr std::size_t kModules = 64;
// Look-ups for one file, memo hits aside: past this nothing more is followed.
constexpr std::uint64_t kSteps = std::uint64_t{1} << 20;

bool Settled(const pe::ArgSize& a) {
  return a.kind == pe::ArgSize::Kind::Stdcall || a.kind == pe::ArgSize::Kind::NoArgs;
}

pe::ArgSize Decorated(std::uint16_t bytes) {
  pe::ArgSize a;
  a.kind = bytes == 0 ? pe::ArgSize::Kind::NoArgs : pe::ArgSize::Kind::Stdcall;
  a.bytes = bytes;
  return a;
}

}  // namespace

// The walker keeps a reference to its context, so both live here.
struct ImportedArgs::Walker {
  explicit Walker(const Module& m) : ctx(m.Ctx()), use(ctx, m.exports, &m.imports, nullptr) {}
  pe::Context ctx;
  pe::ExportUse use;
};

ImportedArgs::ImportedArgs(const Environment* env, const Paths* paths) : env_(env), paths_(paths) {
  if (env_ != nullptr && env_->files == nullptr) env_ = nullptr;
  if (env_ != nullptr) self_ = LowerAscii(BaseName(env_->program));
}

ImportedArgs::~ImportedArgs() = default;

pe::ArgSize ImportedArgs::Of(std::string_view dll, const pe::ImportFunction& f) {
  const pe::ArgSize a = Import(self_, dll, f, 0);
  return Settled(a) ? a : pe::ArgSize{};
}

pe::ArgSize ImportedArgs::Forwarded(std::string_view target) {
  const pe::ArgSize a = Forward(self_, target, 0);
  return Settled(a) ? a : pe::ArgSize{};
}

const Module* ImportedArgs::Find(std::string_view dll, std::string_view importer) {
  if (env_ == nullptr || ++steps_ > kSteps) return nullptr;
  std::string name = LoaderName(dll);
  if (!cache_) {
    cache_ = std::make_unique<ModuleCache>(*env_->files);
    // Only 32-bit code is followed: on 64-bit Windows its system folder is SysWOW64.
    locator_ = std::make_unique<Locator>(*env_->files, env_->view, env_->appDir, true);
    if (paths_ != nullptr)
      for (const auto& [loaded, where] : *paths_) loaded_.emplace(LowerAscii(LoaderName(loaded)), where);
  }
  if (IsContractName(name) && env_->view.present) {
    if (!schemaRead_) {
      schemaRead_ = true;
      const Located at = locator_->Find("apisetschema.dll");
      if (at.rule != Rule::NotFound) {
        const Module& m = cache_->Get(at.path);
        if (m.state == Module::State::Image) schema_ = ParseApiSetSchema(m.Ctx(), pe::Area::File);
      }
    }
    if (schema_.present) {
      const ApiSetHit hit = ResolveApiSet(schema_, name, importer);
      if (hit.kind == ApiSetHit::Kind::NoHost) return nullptr;
      if (hit.kind == ApiSetHit::Kind::Host) name = LoaderName(hit.host);
    }
  }
  const std::string key = LowerAscii(name);
  std::string path;
  // A DLL the process has loaded already is the one the loader gives.
  if (auto it = loaded_.find(key); it != loaded_.end()) {
    path = it->second;
  } else {
    const Located at = locator_->Find(key);
    if (at.rule == Rule::NotFound) return nullptr;
    path = at.path;
  }
  if (read_.count(path) == 0) {
    if (read_.size() >= kModules) return nullptr;
    read_.insert(path);
  }
  const Module& m = cache_->Get(path);
  if (m.state != Module::State::Image || m.machine != kMachineI386 || m.pe32plus) return nullptr;
  return &m;
}

pe::ArgSize ImportedArgs::Import(std::string_view importer, std::string_view dll, const pe::ImportFunction& f,
                                 int depth) {
  // The name the linker recorded says it (an import of "_Beep@8" style names).
  if (!f.byOrdinal)
    if (auto bytes = pe::DecoratedBytes(f.name)) return Decorated(*bytes);
  const Module* m = Find(dll, importer);
  if (m == nullptr) return {};
  const ExportHit hit = f.byOrdinal ? FindOrdinal(*m, static_cast<std::uint32_t>(f.ordinal))
                                    : FindExport(*m, f.name, static_cast<std::int32_t>(f.hint));
  return At(*m, hit, depth);
}

pe::ArgSize ImportedArgs::Forward(std::string_view importer, std::string_view text, int depth) {
  const std::size_t dot = text.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size()) return {};
  const std::string_view dll = text.substr(0, dot), function = text.substr(dot + 1);
  std::optional<std::uint32_t> ordinal;
  if (function[0] == '#') {
    if (function.size() < 2 || function.size() > 6) return {};
    std::uint32_t n = 0;
    for (char c : function.substr(1)) {
      if (c < '0' || c > '9') return {};
      n = n * 10 + static_cast<std::uint32_t>(c - '0');
    }
    ordinal = n;
  } else if (auto bytes = pe::DecoratedBytes(function)) {
    return Decorated(*bytes);
  }
  const Module* m = Find(dll, importer);
  if (m == nullptr) return {};
  return At(*m, ordinal ? FindOrdinal(*m, *ordinal) : FindExport(*m, function), depth);
}

pe::ArgSize ImportedArgs::At(const Module& m, const ExportHit& hit, int depth) {
  if (depth >= kDepth || ++steps_ > kSteps) return {};
  if (hit.kind == ExportHit::Kind::Forward) return Forward(m.name, hit.forward, depth + 1);
  if (hit.kind != ExportHit::Kind::Found) return {};
  const auto key = std::make_pair(&m, hit.rva);
  auto [it, fresh] = done_.try_emplace(key);
  if (!fresh) return it->second.done ? it->second.a : pe::ArgSize{};  // a cycle settles nothing
  std::unique_ptr<Walker>& w = walkers_[&m];
  if (!w) w = std::make_unique<Walker>(m);
  pe::ArgSize a = w->use.Args(hit.rva);
  if (a.kind == pe::ArgSize::Kind::ViaImport) {
    // A thunk in that DLL too: on to the function its slot leads to.
    std::string_view next;
    const pe::ImportFunction* f = w->use.SlotImport(a.importSlot, next);
    a = f != nullptr ? Import(m.name, next, *f, depth + 1) : pe::ArgSize{};
  }
  if (!Settled(a)) a = {};
  Memo& memo = done_[key];  // the chase may have added entries since
  memo.a = a;
  memo.done = true;
  return a;
}

}  // namespace kestrova::dumper::system
