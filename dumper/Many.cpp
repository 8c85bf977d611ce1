// --diff, folders and --find. A folder's files are listed on every core, each
// into a buffer of its own, and written in the walk's order as they come due,
// so the output is the same however the threads are scheduled.
#include "dumper/Many.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "dumper/coff/Detect.h"
#include "dumper/demangle/Demangle.h"
#include "dumper/io/Reader.h"
#include "dumper/ne/Ne.h"
#include "dumper/pe/Parse.h"
#include "dumper/system/Closure.h"

#include "dumper/compare/Compare.h"
#include "dumper/compare/Snapshot.h"
#include "dumper/print/Comparison.h"
#include "dumper/print/json/JsonPrinter.h"
#include "dumper/print/text/TextPrinter.h"
#include "dumper/lang/catalog/Cli.h"
#include "dumper/lang/catalog/Compare.h"

namespace kestrova::dumper {

namespace {

namespace M = lang::M;

class StringSink final : public Sink {
 public:
  void Write(std::string_view text) override { s.append(text); }
  std::string s;
};

}  // namespace

// One line saying why a file cannot be read, in the listing's form.
void CannotRead(Sink& out, const Options& opts, std::string_view name, std::string_view error) {
  auto say = [&](print::Printer& o) {
    o.BeginDocument();
    o.Say(M::CliCannotRead).Name("file", name).Say(M::CliCannotReadWhy).Name("error", error);
    o.Nl();
    o.EndDocument();
  };
  if (opts.json) {
    print::JsonPrinter o(out, UINT64_MAX);
    say(o);
  } else {
    print::TextPrinter o(out, UINT64_MAX, opts.lang);
    say(o);
  }
}

namespace {

// One line saying why the files cannot be compared; in JSON an object with the error.
void Refuse(Sink& out, const Options& opts, lang::Msg m, std::initializer_list<lang::Arg> args) {
  if (!opts.json) {
    out.Write(lang::Say(opts.lang, m, args));
    return;
  }
  std::string text = lang::Say(lang::Lang::En, m, args);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  print::JsonPrinter o(out, UINT64_MAX);
  o.BeginDocument();
  o.Name("error", text);
  o.EndDocument();
}

// The snapshot of argument `index`, or nothing when it cannot be read (said on `out`).
std::optional<compare::Snapshot> Load(std::span<const std::string> args, std::size_t index, FileSource& files,
                                      Sink& out, const Options& opts) {
  std::vector<std::uint8_t> bytes;
  std::string error;
  bool ok = false;
  try {
    ok = files.Read(index, bytes, error);
  } catch (const std::bad_alloc&) {
    error = lang::Text(M::CliNotEnoughMemory, opts.lang);
  }
  if (!ok) {
    CannotRead(out, opts, args[index], error);
    return std::nullopt;
  }
  const std::span<const std::uint8_t> mapped = files.Mapped();
  compare::Snapshot s = compare::Take(mapped.empty() ? std::span<const std::uint8_t>(bytes) : mapped);
  if (s.kind == compare::Kind::Unknown) {
    const lang::Lang l = opts.json ? lang::Lang::En : opts.lang;
    Refuse(out, opts, M::CmpCannotCompare, {args[index], lang::Text(M::CmpNotAKind, l)});
    return std::nullopt;
  }
  return s;
}

}  // namespace

int RunDiff(std::span<const std::string> args, std::size_t older, std::size_t newer, FileSource& files, Sink& out,
            const Options& opts) {
  // One file at a time: a snapshot keeps nothing of its file's bytes.
  std::optional<compare::Snapshot> a, b;
  try {
    a = Load(args, older, files, out, opts);
    if (!a) return 2;
    b = Load(args, newer, files, out, opts);
    if (!b) return 2;
  } catch (const std::bad_alloc&) {
    CannotRead(out, opts, args[b ? newer : older], lang::Text(M::CliNotEnoughMemory, opts.lang));
    return 2;
  }
  if (a->kind != b->kind) {
    const lang::Lang l = opts.json ? lang::Lang::En : opts.lang;
    Refuse(out, opts, M::CmpKindsDiffer, {args[older], lang::Text(print::KindWord(a->kind), l), args[newer],
                                          lang::Text(print::KindWord(b->kind), l)});
    return 2;
  }
  const compare::Comparison c = compare::Compare(*a, *b);
  if (opts.json) {
    print::JsonPrinter o(out, UINT64_MAX);
    print::PrintComparison(o, args[older], args[newer], c);
  } else {
    print::TextPrinter o(out, UINT64_MAX, opts.lang, opts.wrap);
    print::PrintComparison(o, args[older], args[newer], c);
  }
  return c.BreaksCallers() ? 1 : 0;
}

namespace {

// ---- the walk

// A file the walk reached, or a path it could not go into (`error`).
struct Item {
  std::string path;
  std::string error;
  bool other = false;  // neither a file nor a folder (a device, a pipe): not read
};

// Deeper than any real tree; a chain of links that makes new folders at every step stops here.
constexpr int kMaxDepth = 64;

// The entries of `dir`, sorted by name, each folder's own entries in its place.
// A folder is entered once whatever the names it is reached by, so a link back
// up the tree ends there instead of going round.
void Walk(system::Files& fs, const std::string& dir, std::unordered_set<std::string>& seen, int depth,
          std::vector<Item>& out) {
  std::vector<std::string> names;
  std::string error;
  if (!fs.ListFolder(dir, names, error)) {
    out.push_back({dir, error.empty() ? "cannot be listed" : error});
    return;
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = system::JoinPath(dir, name);
    const system::PathKind k = fs.Kind(path);
    switch (k.type) {
      case system::PathKind::Type::Folder:
        if (!seen.insert(k.id.empty() ? path : k.id).second) break;
        if (depth >= kMaxDepth) out.push_back({path, "folders nested too deep: not walked"});
        else Walk(fs, path, seen, depth + 1, out);
        break;
      case system::PathKind::Type::File: out.push_back({path, {}}); break;
      case system::PathKind::Type::Other: out.push_back({path, {}, true}); break;
      case system::PathKind::Type::Missing: out.push_back({path, k.error}); break;  // a link to nothing
    }
  }
}

// `root`'s items: the files under it when it is a folder, else itself.
std::vector<Item> ItemsOf(system::Files& fs, const std::string& root) {
  std::vector<Item> items;
  const system::PathKind k = fs.Kind(root);
  if (k.type == system::PathKind::Type::Folder) {
    std::unordered_set<std::string> seen{k.id.empty() ? root : k.id};
    Walk(fs, root, seen, 0, items);
  } else if (k.type == system::PathKind::Type::Missing) {
    items.push_back({root, k.error});
  } else {
    items.push_back({root, {}, k.type == system::PathKind::Type::Other});
  }
  return items;
}

// ---- doing each item's work on every core, writing the answers in order

struct Result {
  std::string text;
  bool failed = false;   // could not be read: `text` says why
  bool skipped = false;  // not of a kind this reads
  bool found = false;
};

// Runs `job` on each item, on as many threads as there are cores, and hands
// each result to `write` in the items' order. The threads run at most a few
// items ahead of the writer, so a slow reader of the output holds the memory down.
void InOrder(const std::vector<Item>& items, const std::function<Result(const Item&)>& job,
             const std::function<void(Result&)>& write) {
  const std::size_t n = items.size();
  const std::size_t threads =
      std::min<std::size_t>({std::max(1u, std::thread::hardware_concurrency()), 16, std::max<std::size_t>(n, 1)});
  const std::size_t ahead = 4 * threads;
  std::vector<Result> results(n);
  std::vector<char> done(n, 0);
  std::mutex m;
  std::condition_variable cv;
  std::size_t written = 0;
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i = next++; i < n; i = next++) {
      {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return i < written + ahead; });
      }
      Result r = job(items[i]);
      {
        std::lock_guard<std::mutex> lock(m);
        results[i] = std::move(r);
        done[i] = 1;
      }
      cv.notify_all();
    }
  };
  // With more than one core a worker runs on each, and the writer, which
  // mostly waits, only writes; with one core (or no thread to be had) the
  // writer does the work itself.
  std::vector<std::thread> pool;
  try {
    for (std::size_t t = 0; t < threads && threads > 1; ++t) pool.emplace_back(work);
  } catch (const std::system_error&) {
    // the workers started share the items
  }
  if (pool.empty()) {
    for (std::size_t i = 0; i < n; ++i) {
      Result r = job(items[i]);
      write(r);
    }
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    Result r;
    {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [&] { return done[i] != 0; });
      r = std::move(results[i]);
      written = i + 1;
    }
    cv.notify_all();
    write(r);
  }
  for (std::thread& t : pool) t.join();
}

std::string CannotReadText(const Options& opts, std::string_view name, std::string_view error) {
  StringSink s;
  CannotRead(s, opts, name, error);
  return std::move(s.s);
}

// ---- --find

// "name" of "_name@8", "name@8", "@name@8" and "name@@8": the 32-bit calling
// conventions' decorations, which a caller does not write.
std::string_view Undecorated(std::string_view n) {
  const std::size_t at = n.rfind('@');
  if (at == std::string_view::npos || at == 0 || at + 1 >= n.size()) return {};
  for (char c : n.substr(at + 1))
    if (c < '0' || c > '9') return {};
  std::string_view base = n.substr(0, at);
  if (!base.empty() && base.back() == '@') base.remove_suffix(1);
  else if (n[0] == '@' || n[0] == '_') base.remove_prefix(1);
  return base;
}

// The qualified name in a readable form: "ns::Cls::f" of "public: void __thiscall ns::Cls::f(int)".
std::string_view Qualified(std::string_view text) {
  int depth = 0;
  std::size_t end = text.size();
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '<') ++depth;
    else if (c == '>' && depth > 0) --depth;
    else if (c == '(' && depth == 0) {
      end = i;
      break;
    }
  }
  std::string_view head = text.substr(0, end);
  while (!head.empty() && head.back() == ' ') head.remove_suffix(1);
  depth = 0;
  for (std::size_t i = head.size(); i > 0; --i) {
    const char c = head[i - 1];
    if (c == '>') ++depth;
    else if (c == '<' && depth > 0) --depth;
    else if (c == ' ' && depth == 0) return head.substr(i);
  }
  return head;
}

bool Matches(std::string_view name, std::string_view want, bool x86) {
  if (name.empty()) return false;
  if (name == want || Undecorated(name) == want) return true;
  const bool mangled = name[0] == '?' || name.starts_with("_Z") || name.starts_with("__Z") || name[0] == '@';
  if (!mangled) return false;
  const demangle::Result r = demangle::Demangle(name, x86);
  return !r.text.empty() && (r.text == want || Qualified(r.text) == want);
}

struct Hit {
  bool exported = false;
  std::string_view name, dll;
  std::uint64_t ordinal = 0;
  bool byOrdinal = false, delayed = false;
};

void SayHit(print::Printer& o, std::string_view file, const Hit& h) {
  o.BeginDocument();
  o.Name("file", file);
  if (h.exported) {
    o.Say(M::FindExports).FactName("match", "exports").Name("name", h.name);
    o.Say(M::FindOrdinal, {h.ordinal}).Fact("ordinal", h.ordinal);
  } else {
    o.Say(M::FindImports).FactName("match", "imports").Name("name", h.name);
    if (h.byOrdinal) o.Say(M::FindByOrdinal, {h.ordinal}).Fact("ordinal", h.ordinal);
    o.Say(M::FindFrom).Name("dll", h.dll);
    if (h.delayed) o.Say(M::FindDelayed).Fact("delayLoaded", true);
  }
  o.Nl();
  o.EndDocument();
}

// Opens one file of a walk into `f`; false, with `r` saying why (or that it is skipped), when it cannot.
bool OpenItem(system::Files& fs, const Item& item, const Options& opts, bool whole,
              std::unique_ptr<system::FileBytes>& f, Result& r) {
  if (item.other) {
    r.skipped = true;
    return false;
  }
  std::string error = item.error;
  if (error.empty()) f = whole ? fs.OpenWhole(item.path, error) : fs.Open(item.path, error);
  if (!f) {
    r.failed = true;
    r.text = CannotReadText(opts, item.path, error);
    return false;
  }
  return true;
}

Result FindInFile(system::Files& fs, const Item& item, std::string_view want, const Options& opts) {
  Result r;
  std::unique_ptr<system::FileBytes> f;
  if (!OpenItem(fs, item, opts, false, f, r)) return r;
  const io::Reader file(f->Bytes());
  // The hits' names point into the file's bytes (or the table of known ordinals), not into the tables.
  std::vector<Hit> hits;
  const coff::Kind kind = coff::DetectKind(file);
  if (kind == coff::Kind::Image) {
    pe::Anomalies an;
    const pe::Headers h = pe::ParseHeaders(file, an, nullptr, false);
    if (h.kind == pe::FileKind::Pe && h.opt.present) {
      const pe::AddressMap map(file, h);
      const bool x86 = h.coff.machine == 0x14C;
      auto has = [&](int dir) {
        return static_cast<std::size_t>(dir) < h.dirs.size() && h.dirs[static_cast<std::size_t>(dir)].rva != 0;
      };
      pe::Budget budget(file.Size());
      const pe::Context ctx{file, h, map, budget, an, opts};
      if (has(pe::kDirExport)) {
        const pe::ExportTable t = pe::ParseExports(ctx);
        pe::ExportWalker w(t, ctx);
        pe::ExportEntry e;
        while (w.Next(e))
          for (std::uint32_t k = 0; k < e.nameCount; ++k) {
            const pe::ExportName n = w.Name(e, k);
            if (Matches(n.name, want, x86)) hits.push_back({true, n.name, {}, e.ordinal});
          }
      }
      for (const bool delayed : {false, true}) {
        if (!has(delayed ? pe::kDirDelayImport : pe::kDirImport)) continue;
        const pe::ImportTable t = delayed ? pe::ParseDelayImports(ctx) : pe::ParseImports(ctx);
        for (const pe::ImportDll& d : t.dlls)
          for (const pe::ImportFunction& fn : d.functions) {
            const std::string_view n = fn.byOrdinal ? fn.knownName : fn.name;
            if (Matches(n, want, x86)) hits.push_back({false, n, d.name, fn.ordinal, fn.byOrdinal, delayed});
          }
      }
    }
  } else if (kind == coff::Kind::Ne) {
    pe::Anomalies an;
    pe::Budget budget(file.Size());
    const ne::Module m = ne::ParseNe(file, budget, an);
    for (const auto* list : {&m.residentNames, &m.nonResidentNames})
      for (std::size_t i = 1; i < list->size(); ++i)
        if (Matches((*list)[i].text, want, false)) hits.push_back({true, (*list)[i].text, {}, (*list)[i].ordinal});
  } else {
    r.skipped = true;
    return r;
  }
  StringSink out;
  for (const Hit& h : hits) {
    if (opts.json) {
      print::JsonPrinter o(out, UINT64_MAX);
      SayHit(o, item.path, h);
    } else {
      print::TextPrinter o(out, UINT64_MAX, opts.lang);
      SayHit(o, item.path, h);
    }
  }
  r.found = !hits.empty();
  r.text = std::move(out.s);
  return r;
}

// One file of a folder: its listing, or why it cannot be read, or skipped.
Result ListOne(system::Files& fs, const Item& item, const Options& opts, const std::string& appDir) {
  Result r;
  std::unique_ptr<system::FileBytes> f;
  if (!OpenItem(fs, item, opts, true, f, r)) return r;
  switch (coff::DetectKind(io::Reader(f->Bytes()))) {
    case coff::Kind::Image:
    case coff::Kind::Ne:
    case coff::Kind::Archive:
    case coff::Kind::Object:
    case coff::Kind::BigObject: break;
    default: r.skipped = true; return r;
  }
  // Each file resolves its Dependencies from its own folder.
  Options mine = opts;
  system::Environment env;
  if (opts.deps != nullptr) {
    env = *opts.deps;
    env.program = item.path;
    env.appDir = appDir;
    if (appDir.empty()) {
      const std::size_t slash = item.path.find_last_of("/\\");
      env.appDir = slash == std::string::npos ? "." : item.path.substr(0, slash == 0 ? 1 : slash);
    }
    mine.deps = &env;
  }
  StringSink s;
  DumpImage(f->Bytes(), item.path, s, f->Pages(), mine);
  r.text = std::move(s.s);
  return r;
}

// A file that leaves too little memory to read it is a line like a file that cannot be read.
template <class Job>
Result Guarded(const Item& item, const Options& opts, Job job) {
  try {
    return job();
  } catch (const std::bad_alloc&) {
    Result r;
    r.failed = true;
    r.text = CannotReadText(opts, item.path, lang::Text(M::CliNotEnoughMemory, opts.json ? lang::Lang::En : opts.lang));
    return r;
  }
}

}  // namespace

bool IsFolder(system::Files& fs, const std::string& path) {
  return fs.Kind(path).type == system::PathKind::Type::Folder;
}

int ListFolder(const std::string& folder, system::Files& fs, Sink& out, const Options& opts,
               const std::string& appDir, bool& first) {
  const std::vector<Item> items = ItemsOf(fs, folder);
  int rc = 0;
  std::uint64_t skipped = 0;
  auto job = [&](const Item& item) { return Guarded(item, opts, [&] { return ListOne(fs, item, opts, appDir); }); };
  auto write = [&](Result& r) {
    if (r.skipped) {
      ++skipped;
      return;
    }
    if (r.failed) rc = 1;
    if (!first && !opts.json) out.Write("\n");
    first = false;
    out.Write(r.text);
  };
  InOrder(items, job, write);
  if (skipped != 0) {
    if (opts.json) {
      print::JsonPrinter o(out, UINT64_MAX);
      o.BeginDocument();
      o.Name("folder", folder).Dec("skipped", skipped);
      o.EndDocument();
    } else {
      if (!first) out.Write("\n");
      first = false;
      out.Write(lang::Say(opts.lang, skipped == 1 ? M::ManySkippedOne : M::ManySkippedMany, {skipped, folder}));
    }
  }
  return rc;
}

int RunFind(std::string_view name, std::span<const std::string> paths, system::Files& fs, Sink& out,
            const Options& opts) {
  std::vector<Item> items;
  for (const std::string& p : paths) {
    std::vector<Item> more = ItemsOf(fs, p);
    items.insert(items.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
  }
  bool found = false;
  InOrder(
      items, [&](const Item& item) { return Guarded(item, opts, [&] { return FindInFile(fs, item, name, opts); }); },
      [&](Result& r) {
        found = found || r.found;
        out.Write(r.text);
      });
  return found ? 0 : 1;
}

}  // namespace kestrova::dumper
