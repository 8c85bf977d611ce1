// The closure walk: resolve, read once, check every import, follow forwarders.
#include "dumper/system/Closure.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Dependencies.h"

namespace kestrova::dumper::system {

namespace {

struct Target {
  std::int32_t module = -1;
  Rule rule = Rule::NotFound;
  ApiSetHit hit;
  bool cut = false;
  const SxsDll* sxs = nullptr;
  bool sxsJudged = false;
};

class Walker {
 public:
  Walker(Files& files, const SystemView& sys, ModuleCache& cache, const WalkLimits& limits, Closure& out,
         const std::string& appDir, bool wow64)
      : files_(files), sys_(sys), cache_(cache), limits_(limits), out_(out), loc_(files, sys, appDir, wow64) {}

  void Run(const Module& root, const std::vector<Assembly>& assemblies) {
    machine_ = root.machine;
    LoadSchema();
    Bind(assemblies);
    Add(root, Rule::NotFound, false);
    // Static imports first, so that a module any static import reaches counts
    // as needed at start even where a delay-loaded DLL reaches it too.
    std::vector<std::uint32_t> queue{0};
    queue_ = &queue;
    for (std::size_t i = 0; i < queue.size() && !Stopped(); ++i) Imports(queue[i], mods_[queue[i]]->imports, false, false);
    std::vector<std::uint32_t> later;
    queue_ = &later;
    for (std::size_t i = 0; i < queue.size() && !Stopped(); ++i)
      Imports(queue[i], mods_[queue[i]]->delayImports, true, true);
    for (std::size_t i = 0; i < later.size() && !Stopped(); ++i) {
      Imports(later[i], mods_[later[i]]->imports, false, true);
      Imports(later[i], mods_[later[i]]->delayImports, true, true);
    }
  }

 private:
  bool Stopped() {
    if (out_.work < limits_.work) return false;
    out_.cutWork = true;
    return true;
  }

  void LoadSchema() {
    Located at = loc_.Find("apisetschema.dll");
    if (at.rule == Rule::NotFound || !sys_.present) return;
    const Module& m = cache_.Get(at.path);
    if (m.state != Module::State::Image) return;
    schema_ = ParseApiSetSchema(m.Ctx(), pe::Area::File);
  }

  // The process's activation context: without its assemblies the process is
  // not created, whatever it imports.
  void Bind(const std::vector<Assembly>& assemblies) {
    out_.assemblies = BindAssemblies(files_, sys_, machine_, assemblies);
    for (const SxsBinding& b : out_.assemblies) {
      if (b.judged && b.folder.empty()) {
        ++out_.assembliesMissing;
        out_.problems.push_back({Failure::AssemblyMissing, false, 0, {}, {}, {}, b.asked.name + " " + b.asked.version});
      }
      for (const SxsDll& d : b.dlls) sxs_.emplace(d.dll, SxsRef{&d, b.judged});
    }
  }

  std::int32_t Add(const Module& m, Rule rule, bool delayed) {
    const auto index = static_cast<std::int32_t>(out_.modules.size());
    Node n;
    n.path = m.path;
    n.name = m.name;
    n.rule = rule;
    n.state = m.state;
    n.machine = m.machine;
    n.delayedOnly = delayed;
    n.damage = m.an.List().size() + m.an.Suppressed();
    out_.modules.push_back(std::move(n));
    mods_.push_back(&m);
    loaded_.emplace(m.name, index);
    // Only a module the loader would map goes on to have its own imports read.
    if (index != 0 && m.state == Module::State::Image && m.machine == machine_)
      queue_->push_back(static_cast<std::uint32_t>(index));
    return index;
  }

  Target Resolve(std::string_view imported, const std::string& importer, bool delayed) {
    Target t;
    std::string name = LoaderName(imported);
    if (schema_.present) {
      t.hit = ResolveApiSet(schema_, name, importer);
      if (t.hit.kind == ApiSetHit::Kind::NoHost) return t;
      if (t.hit.kind == ApiSetHit::Kind::Host) name = LoaderName(t.hit.host);
    } else if (IsContractName(name)) {
      t.hit.kind = ApiSetHit::Kind::Unknown;
    }
    const std::string key = LowerAscii(name);
    // The activation context comes before the modules loaded and KnownDLLs.
    Located at;
    if (auto s = sxs_.find(key); s != sxs_.end()) {
      t.sxs = s->second.dll;
      t.sxsJudged = s->second.judged;
      if (t.sxs->path.empty()) return t;
      at = {Rule::SideBySide, t.sxs->path};
    }
    if (auto it = loaded_.find(key); it != loaded_.end()) {
      t.module = it->second;
      t.rule = Rule::Loaded;
      return t;
    }
    if (at.rule == Rule::NotFound) at = loc_.Find(key);
    t.rule = at.rule;
    if (at.rule == Rule::NotFound) return t;
    if (out_.modules.size() >= limits_.modules) {
      out_.cutModules = true;
      t.cut = true;
      return t;
    }
    out_.work += 16;
    const Module& m = cache_.Get(at.path);
    t.module = Add(m, at.rule, delayed);
    Touch(t.module);
    return t;
  }

  void Report(Failure kind, bool delayed, std::uint32_t importer, std::string dll, std::string function = {},
              std::string forward = {}) {
    if (delayed) {
      ++out_.delayedFailures;
    } else {
      switch (kind) {
        case Failure::DllNotFound:
        case Failure::ContractWithoutHost:
          if (missingDlls_.insert(LowerAscii(dll)).second) ++out_.dllsMissing;
          break;
        case Failure::WrongMachine: ++out_.wrongMachine; break;
        case Failure::BadImage: ++out_.badImages; break;
        default: ++out_.functionsMissing; break;
      }
    }
    out_.problems.push_back({kind, delayed, importer, std::move(dll), std::move(function), std::move(forward), {}});
  }

  // The edge to a DLL imported as `imported`, resolved to `t`.
  static Edge EdgeTo(std::string imported, const Target& t) {
    Edge e;
    e.imported = std::move(imported);
    e.contract = t.hit.kind;
    e.host = t.hit.host;
    e.exception = t.hit.exception;
    e.rule = t.rule;
    e.module = t.module;
    e.cut = t.cut;
    if (t.sxs) {
      e.assembly = t.sxs->assembly;
      e.sxsUnbound = t.sxs->path.empty();
      e.sxsJudged = t.sxsJudged;
    }
    return e;
  }

  // Whether the module at `index` can give exports; reports why not once per importer and DLL.
  bool Usable(std::int32_t index, bool delayed, std::uint32_t importer, const std::string& dll) {
    const Node& n = out_.modules[static_cast<std::size_t>(index)];
    if (n.state != Module::State::Image) {
      Report(Failure::BadImage, delayed, importer, dll);
      return false;
    }
    if (n.machine != machine_) {
      Report(Failure::WrongMachine, delayed, importer, dll);
      return false;
    }
    return true;
  }

  // Only the few modules used last keep their pages: a page read can bring in a
  // large folio of the file (up to 2 MiB), so a closure of a hundred DLLs would
  // otherwise hold hundreds of MiB. The DLLs nearly every module imports (ntdll,
  // kernel32, the C runtime) stay among the last used and are not read again.
  static constexpr std::size_t kResident = 16;
  void Touch(std::int32_t index) {
    const Module* m = mods_[static_cast<std::size_t>(index)];
    auto it = std::find(resident_.begin(), resident_.end(), m);
    if (it != resident_.end()) {
      std::rotate(it, it + 1, resident_.end());
      return;
    }
    resident_.push_back(m);
    if (resident_.size() > kResident) {
      resident_.front()->Release();
      resident_.erase(resident_.begin());
    }
  }

  void Imports(std::uint32_t from, const pe::ImportTable& table, bool delayTable, bool delayed) {
    const std::string importer = out_.modules[from].name;
    for (const pe::ImportDll& d : table.dlls) {
      if (Stopped()) return;
      Touch(static_cast<std::int32_t>(from));  // its names are read again after each release
      if (!d.nameOk) continue;  // its damage is the import parser's to report
      Target t = Resolve(d.name, importer, delayed);
      Edge e = EdgeTo(std::string(d.name), t);
      e.delay = delayTable;
      if (t.module < 0) {
        if (!t.cut && !t.sxs)
          Report(t.hit.kind == ApiSetHit::Kind::NoHost ? Failure::ContractWithoutHost : Failure::DllNotFound, delayed,
                 from, e.imported);
      } else if (Usable(t.module, delayed, from, e.imported)) {
        Touch(t.module);
        const Module& m = *mods_[static_cast<std::size_t>(t.module)];
        for (const pe::ImportFunction& f : d.functions) {
          if (Stopped()) break;
          ++out_.work;
          if (!f.byOrdinal && !f.nameOk) continue;
          ExportHit hit = f.byOrdinal ? FindOrdinal(m, f.ordinal) : FindExport(m, f.name, f.hint);
          std::string fn = f.byOrdinal ? "#" + io::Dec(f.ordinal) : std::string(f.name);
          if (hit.kind == ExportHit::Kind::Missing) {
            Report(f.byOrdinal ? Failure::OrdinalMissing : Failure::NameMissing, delayed, from, e.imported, fn);
            ++e.missing;
          } else if (hit.kind == ExportHit::Kind::Forward) {
            if (!Forward(static_cast<std::uint32_t>(t.module), hit.forward, 1, delayed, from, e.imported, fn))
              ++e.missing;
          }
        }
      }
      out_.modules[from].edges.push_back(std::move(e));
    }
  }

  // Follows a forwarder of module `owner`; false (and a problem reported) when it leads nowhere.
  bool Forward(std::uint32_t owner, std::string_view text, int depth, bool delayed, std::uint32_t importer,
               const std::string& dll, const std::string& fn) {
    if (depth > limits_.forwardDepth) {
      Report(Failure::ForwardTooDeep, delayed, importer, dll, fn, std::string(text));
      return false;
    }
    ++out_.work;
    const std::size_t dot = text.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == text.size()) {
      Report(Failure::ForwardNameMissing, delayed, importer, dll, fn, std::string(text));
      return false;
    }
    const std::string target(text.substr(0, dot));
    const std::string_view function = text.substr(dot + 1);
    const std::string ownerName = out_.modules[owner].name;
    Target t = Resolve(target, ownerName, delayed);
    // The loader loads the target for the DLL that forwards: one edge per DLL it forwards to.
    if (forwardEdges_.insert(io::Dec(owner) + "/" + LowerAscii(target)).second) {
      Edge e = EdgeTo(target, t);
      e.forward = true;
      out_.modules[owner].edges.push_back(std::move(e));
    }
    if (t.cut || (t.module < 0 && t.sxs)) return true;  // past the bound, or an assembly not bound: not judged
    if (t.module < 0 || out_.modules[static_cast<std::size_t>(t.module)].state != Module::State::Image ||
        out_.modules[static_cast<std::size_t>(t.module)].machine != machine_) {
      Report(Failure::ForwardDllMissing, delayed, importer, dll, fn, std::string(text));
      return false;
    }
    Touch(t.module);
    const Module& m = *mods_[static_cast<std::size_t>(t.module)];
    ExportHit hit;
    if (function[0] == '#') {
      std::uint32_t ordinal = 0;
      bool digits = function.size() > 1 && function.size() <= 6;
      for (char c : function.substr(1)) {
        if (c < '0' || c > '9') digits = false;
        else ordinal = ordinal * 10 + static_cast<std::uint32_t>(c - '0');
      }
      if (digits) hit = FindOrdinal(m, ordinal);
    } else {
      hit = FindExport(m, function);
    }
    if (hit.kind == ExportHit::Kind::Missing) {
      Report(Failure::ForwardNameMissing, delayed, importer, dll, fn, std::string(text));
      return false;
    }
    if (hit.kind == ExportHit::Kind::Forward)
      return Forward(static_cast<std::uint32_t>(t.module), hit.forward, depth + 1, delayed, importer, dll, fn);
    return true;
  }

  Files& files_;
  const SystemView& sys_;
  ModuleCache& cache_;
  const WalkLimits& limits_;
  Closure& out_;
  Locator loc_;
  ApiSetSchema schema_;
  std::uint16_t machine_ = 0;
  std::vector<const Module*> mods_;
  std::unordered_map<std::string, std::int32_t> loaded_;
  std::unordered_set<std::string> missingDlls_, forwardEdges_;
  std::vector<std::uint32_t>* queue_ = nullptr;
  std::vector<const Module*> resident_;  // most recently used last
  struct SxsRef {
    const SxsDll* dll;
    bool judged;
  };
  std::unordered_map<std::string, SxsRef> sxs_;  // DLL name -> the assembly that holds it
};

}  // namespace

Closure WalkClosure(Files& files, const SystemView& sys, ModuleCache& cache, const WalkInput& in,
                    const WalkLimits& limits) {
  Closure out;
  const Module& root = cache.Add(in.path, in.bytes);
  if (root.state != Module::State::Image) {
    out.why = lang::Text(lang::M::DepWhyNotImage, lang::Lang::En);
    return out;
  }
  if (root.imports.dlls.empty() && root.delayImports.dlls.empty()) {
    out.why = lang::Text(lang::M::DepWhyImportsNothing, lang::Lang::En);
    return out;
  }
  if (!sys.present) {
    out.why = sys.why.empty() ? lang::Say(lang::Lang::En, lang::M::DepWhyNoSystem)
                              : lang::Say(lang::Lang::En, lang::M::DepWhyNoSystemBecause, {sys.why});
    return out;
  }
  out.present = true;
  // A 32-bit program on 64-bit Windows sees SysWOW64 as its system folder.
  const bool wow64 = !root.pe32plus && !sys.sysWow64.empty();
  Walker w(files, sys, cache, limits, out, in.appDir, wow64);
  w.Run(root, in.assemblies);
  return out;
}

}  // namespace kestrova::dumper::system
