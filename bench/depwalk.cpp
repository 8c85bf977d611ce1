// The dependency walk on its own, for the bench: walks a program's closure
// against a folder laid out like a Windows drive and prints what it reached,
// what fails, and the time the walk took.
//   depwalk --windows-root DIR [--app-dir DIR] [--tree] FILE
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "dumper/system/Closure.h"
#include "dumper/system/posix/MappedFiles.h"

namespace sys = kestrova::dumper::system;

namespace {

const char* FailureText(sys::Failure f) {
  switch (f) {
    case sys::Failure::DllNotFound: return "DLL not found";
    case sys::Failure::ContractWithoutHost: return "API set without a host";
    case sys::Failure::WrongMachine: return "wrong machine (0xC000007B)";
    case sys::Failure::BadImage: return "not a valid image (0xC000007B)";
    case sys::Failure::NameMissing: return "function missing";
    case sys::Failure::OrdinalMissing: return "ordinal missing";
    case sys::Failure::ForwardDllMissing: return "forwarder to a missing DLL";
    case sys::Failure::ForwardNameMissing: return "forwarder to a missing function";
    case sys::Failure::ForwardTooDeep: return "forwarders nested too deep";
    case sys::Failure::AssemblyMissing: return "side-by-side assembly not in WinSxS";
  }
  return "?";
}

void Tree(const sys::Closure& c) {
  std::vector<bool> shown(c.modules.size(), false);
  struct Item { std::int32_t module; int depth; const sys::Edge* edge; };
  std::vector<Item> stack{{0, 0, nullptr}};
  while (!stack.empty()) {
    Item it = stack.back();
    stack.pop_back();
    std::string pad(static_cast<std::size_t>(it.depth) * 2, ' ');
    if (it.edge != nullptr) {
      const sys::Edge& e = *it.edge;
      std::printf("%s%s%s%s", pad.c_str(), e.imported.c_str(), e.delay ? " (delay)" : "", e.forward ? " (forward)" : "");
      if (e.contract == sys::ApiSetHit::Kind::Host) std::printf(" api set -> %s", e.host.c_str());
      if (e.module < 0) {
        std::printf(e.cut ? "  [not walked: module bound]\n" : "  NOT FOUND\n");
        continue;
      }
      const sys::Node& n = c.modules[static_cast<std::size_t>(e.module)];
      std::printf("  %s  %s%s\n", std::string(sys::RuleName(e.rule == sys::Rule::Loaded ? n.rule : e.rule)).c_str(),
                  n.path.c_str(), shown[static_cast<std::size_t>(e.module)] ? "  (see above)" : "");
    }
    if (it.module < 0 || shown[static_cast<std::size_t>(it.module)]) continue;
    shown[static_cast<std::size_t>(it.module)] = true;
    const sys::Node& n = c.modules[static_cast<std::size_t>(it.module)];
    for (auto e = n.edges.rbegin(); e != n.edges.rend(); ++e) stack.push_back({e->module, it.depth + 1, &*e});
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string root, app, file;
  bool tree = false;
  int repeat = 1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--windows-root" && i + 1 < argc) root = argv[++i];
    else if (a == "--app-dir" && i + 1 < argc) app = argv[++i];
    else if (a == "--repeat" && i + 1 < argc) repeat = std::stoi(argv[++i]);
    else if (a == "--tree") tree = true;
    else file = a;
  }
  if (file.empty()) {
    std::fprintf(stderr, "usage: depwalk --windows-root DIR [--app-dir DIR] [--tree] [--repeat N] FILE\n");
    return 2;
  }
  if (app.empty()) {
    std::size_t slash = file.rfind('/');
    app = slash == std::string::npos ? "." : file.substr(0, slash);
  }
  sys::MappedFiles files;
  std::string error;
  auto bytes = files.Open(file, error);
  if (!bytes) {
    std::fprintf(stderr, "depwalk: cannot read %s: %s\n", file.c_str(), error.c_str());
    return 1;
  }
  double best = 1e9;
  sys::Closure c;
  for (int r = 0; r < repeat; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    sys::SystemView view = root.empty() ? sys::SystemView{} : sys::OpenWindowsRoot(files, root);
    sys::ModuleCache cache(files);
    c = sys::WalkClosure(files, view, cache, {file, bytes->Bytes(), app, {}});
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    if (ms < best) best = ms;
  }
  if (!c.present) {
    std::printf("no walk: %s\n", c.why.c_str());
    return 0;
  }
  if (tree) Tree(c);
  for (const sys::Problem& p : c.problems)
    std::printf("%s%s: %s imports %s%s%s%s%s\n", p.delayed ? "(when called) " : "", FailureText(p.kind),
                c.modules[p.importer].name.c_str(), p.dll.c_str(), p.function.empty() ? "" : ".",
                p.function.c_str(), p.forward.empty() ? "" : " -> ", p.forward.c_str());
  std::printf("modules %zu  work %llu  missing dlls %u functions %u wrong machine %u bad images %u  delayed failures %u%s%s\n",
              c.modules.size(), static_cast<unsigned long long>(c.work), c.dllsMissing, c.functionsMissing,
              c.wrongMachine, c.badImages, c.delayedFailures, c.cutModules ? "  (module bound)" : "",
              c.cutWork ? "  (work bound)" : "");
  std::printf("time %.2f ms (best of %d)\n", best, repeat);
  return 0;
}
