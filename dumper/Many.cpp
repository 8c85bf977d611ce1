// --diff: each file's snapshot in turn, then the comparison.
#include "dumper/Many.h"

#include <new>
#include <optional>

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

}  // namespace kestrova::dumper
