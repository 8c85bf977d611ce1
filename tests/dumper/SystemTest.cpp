// The system outside the file: the API-set schema in its three layouts (and
// Wine's own), the search order, and the closure walk's verdicts over a small
// Windows folder held in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>

#include "dumper/io/Format.h"
#include "dumper/pe/Parse.h"
#include "dumper/system/Closure.h"
#include "tests/dumper/Golden.h"
#include "tests/dumper/Images.h"

namespace kestrova::dumper::testing {
namespace {

using namespace system;

// ---- API-set schemas built by hand ----

struct Contract {
  std::string name;  // full, without ".dll": "api-ms-win-core-a-l1-1-0"
  std::vector<std::pair<std::string, std::string>> values;  // importer ("" default), host
};

void Wide(Blob& b, std::string_view s) {
  for (char c : s) b.U16(static_cast<std::uint8_t>(c));
}

std::uint32_t Hash(std::string_view s, std::uint32_t factor) {
  std::uint32_t h = 0;
  for (char c : s) h = h * factor + static_cast<std::uint8_t>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return h;
}

// A schema of layout 2, 4 or 6, laid out as: header, entries, value tables,
// (hash table), names.
std::vector<std::uint8_t> Schema(int version, const std::vector<Contract>& cs) {
  Blob b;
  const std::uint32_t n = static_cast<std::uint32_t>(cs.size());
  const std::uint32_t header = version == 2 ? 8 : version == 4 ? 16 : 28;
  const std::uint32_t width = version == 2 ? 12 : 24;
  const std::uint32_t valueWidth = version == 2 ? 16 : 20;
  b.Zeros(header + width * n);
  std::vector<std::uint32_t> valuesAt;
  for (const Contract& c : cs) {
    valuesAt.push_back(b.Size());
    if (version == 4) b.U32(0);
    if (version != 6) b.U32(static_cast<std::uint32_t>(c.values.size()));
    b.Zeros(valueWidth * c.values.size());
  }
  const std::uint32_t hashAt = b.Size();
  if (version == 6) b.Zeros(8 * n);
  auto name = [&](std::string_view s) {
    std::uint32_t at = b.Size();
    Wide(b, s);
    return std::array<std::uint32_t, 2>{at, static_cast<std::uint32_t>(2 * s.size())};
  };
  std::vector<std::pair<std::uint32_t, std::uint32_t>> hashes;
  for (std::uint32_t i = 0; i < n; ++i) {
    const Contract& c = cs[i];
    std::string stored = version == 6 ? c.name : c.name.substr(4);
    auto nm = name(stored);
    const std::uint32_t e = header + width * i;
    const std::uint32_t hashed = static_cast<std::uint32_t>(c.name.rfind('-'));
    if (version == 2) {
      b.Put32(e, nm[0]); b.Put32(e + 4, nm[1]); b.Put32(e + 8, valuesAt[i]);
    } else if (version == 4) {
      b.Put32(e + 4, nm[0]); b.Put32(e + 8, nm[1]); b.Put32(e + 12, nm[0]); b.Put32(e + 16, nm[1]);
      b.Put32(e + 20, valuesAt[i]);
    } else {
      b.Put32(e + 4, nm[0]); b.Put32(e + 8, nm[1]); b.Put32(e + 12, 2 * hashed);
      b.Put32(e + 16, valuesAt[i]); b.Put32(e + 20, static_cast<std::uint32_t>(c.values.size()));
      hashes.push_back({Hash(std::string_view(c.name).substr(0, hashed), 31), i});
    }
    const std::uint32_t first = valuesAt[i] + (version == 2 ? 4 : version == 4 ? 8 : 0);
    for (std::size_t k = 0; k < c.values.size(); ++k) {
      const std::uint32_t v = first + valueWidth * static_cast<std::uint32_t>(k) + (version == 2 ? 0 : 4);
      if (!c.values[k].first.empty()) {
        auto imp = name(c.values[k].first);
        b.Put32(v, imp[0]); b.Put32(v + 4, imp[1]);
      }
      if (!c.values[k].second.empty()) {
        auto host = name(c.values[k].second);
        b.Put32(v + 8, host[0]); b.Put32(v + 12, host[1]);
      }
    }
  }
  std::sort(hashes.begin(), hashes.end());
  for (std::uint32_t i = 0; i < hashes.size(); ++i) {
    b.Put32(hashAt + 8 * i, hashes[i].first);
    b.Put32(hashAt + 8 * i + 4, hashes[i].second);
  }
  b.Put32(0, static_cast<std::uint32_t>(version));
  if (version == 2) {
    b.Put32(4, n);
  } else {
    b.Put32(4, b.Size()); b.Put32(12, n);
    if (version == 6) { b.Put32(16, header); b.Put32(20, hashAt); b.Put32(24, 31); }
  }
  return b.b;
}

const std::vector<Contract> kContracts = {
    {"api-ms-win-core-file-l1-2-0", {{"", "kernelbase.dll"}}},
    {"api-ms-win-core-synch-l1-1-0", {{"", "kernel32.dll"}, {"kernel32.dll", "kernelbase.dll"}}},
    {"ext-ms-win-gdi-draw-l1-1-0", {{"", ""}}},
};

// The schema as text: its entries, then the anomalies, then how names resolve.
std::string Describe(const ApiSetSchema& s, const pe::Anomalies& an,
                     const std::vector<std::pair<std::string, std::string>>& lookups) {
  std::string o = "version " + io::Dec(s.version) + "  Count " + io::Dec(s.count) + "  entries read " +
                  io::Dec(s.entries.size()) + "\n";
  for (const ApiSetEntry& e : s.entries) {
    o += ContractName(s, e) + " ->";
    for (const ApiSetValue& v : e.values) {
      o += " ";
      if (!v.importer.Empty()) o += "[" + Narrow(s, v.importer) + "] ";
      o += v.host.Empty() ? "(none)" : Narrow(s, v.host);
    }
    o += "\n";
  }
  for (const pe::Anomaly& a : an.List()) o += "! at " + io::Hex(a.at) + ": " + a.text + "\n";
  static const char* kKinds[] = {"not a contract", "unknown", "no host", "host"};
  for (const auto& [dll, importer] : lookups) {
    ApiSetHit h = ResolveApiSet(s, dll, importer);
    o += dll + (importer.empty() ? "" : " for " + importer) + ": " + kKinds[static_cast<int>(h.kind)];
    if (h.kind == ApiSetHit::Kind::Host) o += " " + h.host + (h.exception ? " (exception)" : "");
    o += "\n";
  }
  return o;
}

std::string ReadSchema(const std::vector<std::uint8_t>& bytes, const std::vector<std::pair<std::string, std::string>>& lookups) {
  pe::Anomalies an;
  pe::Budget budget(bytes.size());
  io::Reader r(bytes);
  ApiSetSchema s = ReadApiSetSchema(r, an, pe::Area::File, budget);
  return Describe(s, an, lookups);
}

const std::vector<std::pair<std::string, std::string>> kLookups = {
    {"API-MS-Win-Core-File-L1-2-0.dll", ""},       // case does not matter
    {"api-ms-win-core-file-l1-2-7.dll", ""},       // layout 6 ignores the minor version
    {"api-ms-win-core-synch-l1-1-0.dll", "app.exe"},
    {"api-ms-win-core-synch-l1-1-0.dll", "KERNEL32.DLL"},
    {"ext-ms-win-gdi-draw-l1-1-0.dll", ""},
    {"api-ms-win-core-nothere-l1-1-0.dll", ""},
    {"kernel32.dll", ""},
};

TEST(ApiSetSchema, ThreeLayoutsResolveAlike) {
  std::string all;
  for (int v : {2, 4, 6}) all += ReadSchema(Schema(v, kContracts), kLookups) + "\n";
  ExpectGolden("apiset_layouts", all);
}

TEST(ApiSetSchema, Damage) {
  std::string all;
  auto damaged = [&](const char* what, std::vector<std::uint8_t> b) {
    all += std::string("== ") + what + "\n" + ReadSchema(b, kLookups) + "\n";
  };
  auto v6 = Schema(6, kContracts);
  auto v = v6;
  Put32(v, 12, 1000);
  damaged("layout 6: Count past the entries", v);
  v = v6;
  Put32(v, 28 + 24 + 4, 0xFFFFFF00);  // entry 1's name offset
  damaged("layout 6: a name outside the schema", v);
  v = v6;
  Put32(v, 28 + 24 + 20, 0x10000);  // entry 1's value count
  damaged("layout 6: a value count past the data", v);
  v = v6;
  const std::uint32_t hashAt = std::uint32_t{v[20]} | std::uint32_t{v[21]} << 8;
  std::swap_ranges(v.begin() + hashAt, v.begin() + hashAt + 8, v.begin() + hashAt + 8);
  damaged("layout 6: hash table out of order", v);
  v = v6;
  Put32(v, hashAt, v[hashAt] ^ 0x55u);
  damaged("layout 6: a hash that does not match its name", v);
  v = v6;
  Put32(v, hashAt + 4, 7);
  damaged("layout 6: a hash entry past the entries", v);
  v = v6;
  Put32(v, 20, 0xFFFFFFF0);
  damaged("layout 6: hash table outside the schema", v);
  v = Schema(4, kContracts);
  Put32(v, 16 + 20, 0xFFFF0000);  // entry 0's value table
  damaged("layout 4: a value table outside the schema", v);
  v = Schema(2, kContracts);
  v.resize(30);
  damaged("layout 2: cut short", v);
  v = v6;
  Put32(v, 0, 5);
  damaged("unknown layout", v);
  ExpectGolden("apiset_damage", all);
}

std::vector<std::uint8_t> ReadWhole(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// Wine's schema: every contract its loader maps, each to the host the loader
// picks, found through the same hash lookup for every minor version.
TEST(ApiSetSchema, WineSchema) {
  const std::string path = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/apisetschema.dll";
  std::vector<std::uint8_t> bytes = ReadWhole(path);
  if (bytes.empty()) GTEST_SKIP() << "no " << path;
  io::Reader file(bytes);
  pe::Anomalies an;
  pe::Headers h = pe::ParseHeaders(file, an, nullptr, false);
  pe::AddressMap map(file, h);
  pe::Budget budget(bytes.size());
  pe::Options options;
  const pe::Context ctx{file, h, map, budget, an, options};
  ApiSetSchema s = ParseApiSetSchema(ctx, pe::Area::File);
  ASSERT_TRUE(s.present);
  EXPECT_EQ(s.version, 6u);
  EXPECT_TRUE(an.List().empty());
  std::vector<std::pair<std::string, std::string>> lookups;
  for (const ApiSetEntry& e : s.entries) {
    const std::string name = ContractName(s, e);
    ApiSetHit exact = ResolveApiSet(s, name + ".dll", "");
    ApiSetHit other = ResolveApiSet(s, name.substr(0, name.rfind('-')) + "-9.dll", "");
    EXPECT_EQ(exact.kind, other.kind) << name;
    EXPECT_EQ(exact.host, other.host) << name;
    EXPECT_EQ(exact.host, e.values.empty() || e.values[0].host.Empty() ? "" : Narrow(s, e.values[0].host)) << name;
  }
  ExpectGolden("apiset_wine", Describe(s, an, {}));
}

// ---- the closure walk over a Windows folder in memory ----

class MemFiles final : public Files {
 public:
  std::map<std::string, std::vector<std::uint8_t>> files;
  bool List(const std::string& dir, std::vector<std::string>& names) override {
    bool any = false;
    const std::string prefix = dir + "/";
    for (const auto& [path, bytes] : files) {
      if (path.rfind(prefix, 0) != 0) continue;
      any = true;
      std::string rest = path.substr(prefix.size());
      rest = rest.substr(0, rest.find('/'));
      if (std::find(names.begin(), names.end(), rest) == names.end()) names.push_back(rest);
    }
    return any;
  }
  std::unique_ptr<FileBytes> Open(const std::string& path, std::string& error) override {
    auto it = files.find(path);
    if (it == files.end()) {
      error = "no such file";
      return nullptr;
    }
    struct Held final : FileBytes {
      std::span<const std::uint8_t> b;
      std::span<const std::uint8_t> Bytes() const override { return b; }
    };
    auto h = std::make_unique<Held>();
    h->b = it->second;
    return h;
  }
};

struct DllSpec {
  std::string name;
  std::vector<std::string> exports;                 // "Name", or "Name=TARGET.Func" for a forwarder
  std::vector<DllPlan> imports, delayImports;
  bool pe32plus = true;
};

std::vector<std::uint8_t> Dll(const DllSpec& d) {
  PeBuilder pe(d.pe32plus);
  pe.Add(".text", kCode).data.Zeros(0x10).U8(0xC3);
  PeBuilder::Section& rdata = pe.Add(".rdata", kRData);
  if (!d.exports.empty()) {
    ExportPlan e;
    e.dll = d.name;
    std::vector<std::string> sorted = d.exports;
    std::sort(sorted.begin(), sorted.end());
    for (const std::string& x : sorted) {
      const std::size_t eq = x.find('=');
      e.names.push_back({x.substr(0, eq), static_cast<std::uint16_t>(e.functions.size())});
      e.functions.push_back({eq == std::string::npos ? 0x1000u : 0u, eq == std::string::npos ? "" : x.substr(eq + 1)});
    }
    auto ex = WriteExports(rdata, e);
    pe.dirs[0] = {ex[0], ex[1]};
  }
  if (!d.imports.empty()) {
    PeBuilder::Section& idata = pe.Add(".idata", kData);
    pe.dirs[1] = {WriteImports(pe, idata, d.imports), 20 * static_cast<std::uint32_t>(d.imports.size() + 1)};
  }
  if (!d.delayImports.empty()) {
    PeBuilder::Section& didat = pe.Add(".didat", kData);
    pe.dirs[13] = {WriteImports(pe, didat, d.delayImports, nullptr, true), 32};
  }
  return pe.Build();
}

const char* FailureName(Failure f) {
  static const char* kNames[] = {"DLL not found", "API set without a host", "wrong machine (0xC000007B)",
                                 "not a valid image", "function missing", "ordinal missing",
                                 "forwarder to a missing DLL", "forwarder to a missing function",
                                 "forwarders nested too deep", "side-by-side assembly not in WinSxS"};
  return kNames[static_cast<int>(f)];
}

// The closure as a tree (each module expanded where it first appears), then the problems and counts.
std::string Describe(const Closure& c) {
  if (!c.present) return "no walk: " + c.why + "\n";
  std::string o;
  std::vector<bool> shown(c.modules.size(), false);
  struct Item { std::int32_t module; std::size_t depth; const Edge* edge; };
  std::vector<Item> stack{{0, 0, nullptr}};
  while (!stack.empty()) {
    Item it = stack.back();
    stack.pop_back();
    if (it.edge != nullptr) {
      const Edge& e = *it.edge;
      o += std::string(it.depth * 2, ' ') + e.imported + (e.delay ? " (delay-load)" : "") + (e.forward ? " (forwarder)" : "");
      if (e.contract == ApiSetHit::Kind::Host) o += " api set -> " + e.host + (e.exception ? " (exception)" : "");
      if (!e.assembly.empty())
        o += " [" + e.assembly + (!e.sxsUnbound ? "" : e.sxsJudged ? ", not in WinSxS" : ", no WinSxS") + "]";
      if (e.module < 0 && !e.assembly.empty()) {
        o += "\n";
        continue;
      }
      if (e.module < 0) {
        o += e.cut ? ": not walked, module bound\n" : ": not found\n";
        continue;
      }
      const Node& n = c.modules[static_cast<std::size_t>(e.module)];
      o += ": " + std::string(RuleName(e.rule)) + " " + n.path;
      if (n.damage != 0) o += " (" + io::Dec(n.damage) + " anomalies)";
      if (shown[static_cast<std::size_t>(e.module)]) o += " (above)";
      o += "\n";
    }
    if (it.module < 0 || shown[static_cast<std::size_t>(it.module)]) continue;
    shown[static_cast<std::size_t>(it.module)] = true;
    const Node& n = c.modules[static_cast<std::size_t>(it.module)];
    for (auto e = n.edges.rbegin(); e != n.edges.rend(); ++e) stack.push_back({e->module, it.depth + 1, &*e});
  }
  for (const Problem& p : c.problems) {
    o += std::string(p.delayed ? "when called: " : "at start: ") + FailureName(p.kind) + ": " +
         c.modules[p.importer].name + " -> " + p.dll;
    if (!p.function.empty()) o += " " + p.function;
    if (!p.forward.empty()) o += " (forwards to " + p.forward + ")";
    if (!p.assembly.empty()) o += "assembly " + p.assembly;
    o += "\n";
  }
  o += std::string(c.WillLoad() ? "loads" : "will not load") + ": " + io::Dec(c.modules.size()) + " modules, " +
       io::Dec(c.dllsMissing) + " DLLs missing, " + io::Dec(c.functionsMissing) + " functions missing, " +
       io::Dec(c.wrongMachine) + " wrong machine, " + io::Dec(c.badImages) + " bad images, " +
       io::Dec(c.delayedFailures) + " failing when called\n";
  return o;
}

// A drive with Windows/System32 and SysWOW64, an API-set schema, and an
// application folder holding a program and DLLs of its own.
MemFiles Drive() {
  MemFiles m;
  const std::string sys = "C/Windows/System32/";
  m.files[sys + "ntdll.dll"] = Dll({"ntdll.dll", {"RtlAlloc", "RtlFree"}, {}, {}});
  m.files[sys + "kernelbase.dll"] = Dll({"kernelbase.dll", {"CreateFileW", "Sleep"}, {{"ntdll.dll", {{"RtlAlloc", 0}}}}, {}});
  m.files[sys + "kernel32.dll"] =
      Dll({"kernel32.dll",
           {"ExitProcess", "HeapAlloc=NTDLL.RtlAlloc", "Gone=nothere.Func", "Lost=ntdll.Nope", "Deep=kernel32.Deep",
            "ViaSet=api-ms-win-core-file-l1-2-0.CreateFileW"},
           {{"ntdll.dll", {{"RtlFree", 0}}}, {"api-ms-win-core-synch-l1-1-0.dll", {{"Sleep", 0}}}}, {}});
  m.files[sys + "user32.dll"] = Dll({"user32.dll", {"MessageBoxW"}, {{"kernel32.dll", {{"ExitProcess", 0}}}}, {}});
  m.files[sys + "oldlib.dll"] = Dll({"oldlib.dll", {"Old"}, {}, {}, false});
  m.files["C/Windows/SysWOW64/user32.dll"] = Dll({"user32.dll", {"MessageBoxW"}, {}, {}, false});
  PeBuilder schema(true);
  schema.Add(".apiset", kRData).data.b = Schema(6, kContracts);
  m.files[sys + "apisetschema.dll"] = schema.Build();
  // The application folder: its own kernel32.dll loses to the known one.
  m.files["C/app/kernel32.dll"] = Dll({"kernel32.dll", {"Fake"}, {}, {}});
  m.files["C/app/liba.dll"] = Dll({"liba.dll", {"A"}, {{"libb.dll", {{"B", 0}}}}, {}});
  m.files["C/app/libb.dll"] = Dll({"libb.dll", {"B"}, {{"liba.dll", {{"A", 0}}}}, {}});
  m.files["C/app/x86.dll"] = Dll({"x86.dll", {"F"}, {}, {}, false});
  std::vector<std::uint8_t> junk(300, 0x41);
  m.files["C/app/junk.dll"] = junk;
  std::vector<std::uint8_t> hurt = Dll({"hurt.dll", {"H"}, {}, {}});
  Put32(hurt, 0x400 + 0x200 + 20, 0x7FFFFFFF);  // export count past the file: damage, not a stop
  m.files["C/app/hurt.dll"] = hurt;
  return m;
}

Closure Walk(MemFiles& m, const DllSpec& program, const WalkLimits& limits = {}) {
  m.files["C/app/app.exe"] = Dll(program);
  SystemView view = OpenWindowsRoot(m, "C");
  ModuleCache cache(m);
  return WalkClosure(m, view, cache, {"C/app/app.exe", m.files["C/app/app.exe"], "C/app", {}}, limits);
}

TEST(DependencyWalk, VerdictsAgainstADrive) {
  MemFiles m = Drive();
  DllSpec app{"app.exe", {}, {}, {}};
  app.imports = {
      {"KERNEL32.dll", {{"ExitProcess", 0}, {"NoSuchName", 0}, {"", 77}, {"HeapAlloc", 1}, {"Gone", 2}, {"Lost", 3},
                        {"Deep", 4}, {"ViaSet", 5}}},
      {"missing.dll", {{"F", 0}}},
      {"api-ms-win-core-file-l1-2-1.dll", {{"CreateFileW", 0}}},
      {"ext-ms-win-gdi-draw-l1-1-0.dll", {{"Draw", 0}}},
      {"x86.dll", {{"F", 0}}},
      {"junk", {{"J", 0}}},
      {"hurt.dll", {{"H", 0}}},
      {"liba.dll", {{"A", 0}}},
      {"oldlib.dll", {{"Old", 0}}},
  };
  app.delayImports = {{"user32.dll", {{"MessageBoxW", 0}, {"MessageBoxX", 0}}}, {"later.dll", {{"L", 0}}}};
  ExpectGolden("deps_verdicts", Describe(Walk(m, app)));
}

// The part as the listing shows it: verdict, folders, tree, what fails.
TEST(DependencyWalk, ThePartInTheListing) {
  MemFiles m = Drive();
  DllSpec app{"app.exe", {}, {}, {}};
  app.imports = {{"KERNEL32.dll", {{"ExitProcess", 0}, {"Lost", 3}}},
                 {"api-ms-win-core-file-l1-2-1.dll", {{"CreateFileW", 0}}},
                 {"x86.dll", {{"F", 0}}}};
  app.delayImports = {{"later.dll", {{"L", 0}}}};
  m.files["C/app/app.exe"] = Dll(app);
  Environment env;
  env.files = &m;
  env.view = OpenWindowsRoot(m, "C");
  env.appDir = "C/app";
  env.program = "C/app/app.exe";
  pe::Options options;
  options.deps = &env;
  const std::string listing = DumpToString(m.files["C/app/app.exe"], "app.exe", options);
  const std::size_t from = listing.find("== Dependencies ==");
  ASSERT_NE(from, std::string::npos);
  ExpectGolden("deps_part", listing.substr(from, listing.find("\n== ", from + 1) - from + 1));
  options.noDeps = true;
  EXPECT_EQ(DumpToString(m.files["C/app/app.exe"], "app.exe", options).find("== Dependencies"), std::string::npos);
}

TEST(DependencyWalk, ThirtyTwoBitProgramUsesSysWow64AndBounds) {
  MemFiles m = Drive();
  DllSpec app{"app.exe", {}, {{"user32.dll", {{"MessageBoxW", 0}}}}, {}, false};
  Closure c = Walk(m, app);
  ASSERT_EQ(c.modules.size(), 2u);
  EXPECT_EQ(c.modules[1].path, "C/Windows/SysWOW64/user32.dll");
  EXPECT_TRUE(c.WillLoad());

  // The module bound stops the walk and says so; the cycle liba <-> libb ends by itself.
  DllSpec wide{"app.exe", {}, {{"liba.dll", {{"A", 0}}}, {"user32.dll", {{"MessageBoxW", 0}}}}, {}};
  WalkLimits limits;
  limits.modules = 3;
  c = Walk(m, wide, limits);
  EXPECT_TRUE(c.cutModules);
  EXPECT_EQ(c.modules.size(), 3u);
  limits = {};
  limits.work = 5;
  EXPECT_TRUE(Walk(m, wide, limits).cutWork);
}

TEST(DependencyWalk, NoSystemOrNothingToResolve) {
  MemFiles m;
  m.files["C/readme.txt"] = {1};
  EXPECT_EQ(OpenWindowsRoot(m, "C").why, "no Windows folder in C");
  SystemView none;
  ModuleCache cache(m);
  std::vector<std::uint8_t> lone = Dll({"lone.exe", {}, {}, {}});
  EXPECT_EQ(Describe(WalkClosure(m, none, cache, {"lone.exe", lone, "", {}})), "no walk: imports nothing\n");
  std::vector<std::uint8_t> prog = Dll({"p.exe", {}, {{"kernel32.dll", {{"ExitProcess", 0}}}}, {}});
  EXPECT_EQ(Describe(WalkClosure(m, none, cache, {"p.exe", prog, "", {}})), "no walk: no system to resolve against\n");

  // The reason, given in English for JSON, reads in the listing's language, the folder as it is.
  Environment env;
  env.files = &m;
  env.view = OpenWindowsRoot(m, "C");
  pe::Options options;
  options.deps = &env;
  options.lang = lang::Lang::ZhCN;
  const std::string zh = DumpToString(prog, "p.exe", options);
  EXPECT_NE(zh.find("未解析：没有可供解析的系统（C 中没有 Windows 文件夹）\n"), std::string::npos) << zh;
}

// Common Controls 6 bound to the highest 6.0 at or above the version asked for,
// in the language asked for; the VC 9 runtime, not in the store, named as a
// missing assembly (the process is not created), not as missing DLLs; without
// a store nothing is judged.
TEST(DependencyWalk, SideBySideAssembliesInWinSxS) {
  MemFiles m = Drive();
  const std::string sxs = "C/Windows/WinSxS/", cc = "amd64_microsoft.windows.common-controls_6595b64144ccf1df_";
  const std::string manifest = "<assembly><file name=\"comctl32.dll\"/><file name=\"extra.dll\"/></assembly>";
  for (const char* v : {"6.0.2600.2982_none_deadbeef", "6.0.9200.16384_none_1", "6.1.0.0_none_2", "6.0.9999.0_en-us_3",
                        "6.0.x.0_none_4", "5.82.0.0_none_5"}) {
    m.files[sxs + "manifests/" + cc + v + ".manifest"] = {manifest.begin(), manifest.end()};
    m.files[sxs + cc + v + "/comctl32.dll"] = Dll({"comctl32.dll", {"InitCommonControls"}, {}, {}});
  }
  m.files["C/app/comctl32.dll"] = Dll({"comctl32.dll", {}, {}, {}});  // never searched for
  m.files["C/app/app.exe"] = Dll({"app.exe", {}, {{"comctl32.dll", {{"InitCommonControls", 0}}},
                                                  {"MSVCR90.dll", {{"printf", 0}}}}, {}});
  const std::vector<Assembly> asked = {
      {"Microsoft.Windows.Common-Controls", "6.0.0.0", "*", "6595B64144CCF1DF", "*"},
      {"Microsoft.VC90.CRT", "9.0.21022.8", "amd64", "1fc8b3b9a1e18e3b", ""}};
  auto walk = [&] {
    SystemView view = OpenWindowsRoot(m, "C");
    ModuleCache cache(m);
    return WalkClosure(m, view, cache, {"C/app/app.exe", m.files["C/app/app.exe"], "C/app", asked});
  };
  Closure c = walk();
  ExpectGolden("deps_sxs", Describe(c));
  ASSERT_EQ(c.assemblies.size(), 2u);
  EXPECT_EQ(c.assemblies[0].version, "6.0.9200.16384");
  EXPECT_TRUE(c.assemblies[0].judged);
  EXPECT_EQ(c.assemblies[0].dlls.size(), 2u);  // from its manifest; extra.dll is not in its folder
  EXPECT_TRUE(c.assemblies[0].dlls[1].path.empty());
  EXPECT_EQ(c.assembliesMissing, 1u);
  EXPECT_EQ(c.dllsMissing, 0u);

  for (auto it = m.files.begin(); it != m.files.end();) it = it->first.starts_with(sxs) ? m.files.erase(it) : std::next(it);
  c = walk();
  EXPECT_TRUE(c.problems.empty());
  ASSERT_EQ(c.modules[0].edges.size(), 2u);
  EXPECT_TRUE(c.modules[0].edges[0].sxsUnbound);
  EXPECT_FALSE(c.modules[0].edges[0].sxsJudged);
}

TEST(DependencyWalk, KnownDllsFromAWineRegistry) {
  const std::string reg =
      "WINE REGISTRY Version 2\n\n"
      "[System\\\\ControlSet001\\\\Control\\\\Session Manager\\\\KnownDLLs] 1700000000\n"
      "#time=1d9\n\"kernel32\"=\"kernel32.dll\"\n\"USER32\"=\"USER32.DLL\"\n\n"
      "[System\\\\ControlSet001\\\\Control\\\\Session Manager\\\\Other] 1700000000\n\"x\"=\"x.dll\"\n";
  EXPECT_EQ(KnownDllsFromSystemReg(reg), (std::vector<std::string>{"kernel32.dll", "user32.dll"}));
  EXPECT_TRUE(KnownDllsFromSystemReg("[Software\\\\Wine] 1\n\"a\"=\"b\"\n").empty());
}

}  // namespace
}  // namespace kestrova::dumper::testing
