// The comparison: exports matched by name (and by ordinal where they have
// none), imports and DLLs as sets (the loader looks DLL names up without
// regard to case), header facts by key, the rest as sets of names.
#include "dumper/compare/Compare.h"

#include <algorithm>
#include <map>
#include <set>
#include <string_view>
#include <utility>

namespace kestrova::dumper::compare {

namespace {

std::string Lower(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return r;
}

// "KERNEL32.Sleep" and "kernel32.Sleep" name the same function: the module part is looked up without case.
std::string ForwardKey(std::string_view f) {
  const std::size_t dot = f.rfind('.');
  if (dot == std::string_view::npos) return std::string(f);
  return Lower(f.substr(0, dot)) + std::string(f.substr(dot));
}

std::string ImportKey(const Import& i) {
  return Lower(i.dll) + (i.byOrdinal ? "\n#" + std::to_string(i.ordinal) : "\n" + i.name);
}

// `a` less `b` and `b` less `a`, each sorted and without repeats.
void Sets(std::vector<std::string> a, std::vector<std::string> b, std::vector<std::string>& removed,
          std::vector<std::string>& added) {
  for (auto* v : {&a, &b}) {
    std::sort(v->begin(), v->end());
    v->erase(std::unique(v->begin(), v->end()), v->end());
  }
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(removed));
  std::set_difference(b.begin(), b.end(), a.begin(), a.end(), std::back_inserter(added));
}

void Count(Comparison& c, Break b, std::uint64_t n = 1) { c.breaks[static_cast<std::size_t>(b)] += n; }

// What changed between two exports of one function, each change its own entry.
void Details(Comparison& c, const Export& a, const Export& b) {
  using What = ExportChange::What;
  auto add = [&](What w, bool breaks, Break kind) {
    c.exportsChanged.push_back({w, a, b, breaks});
    if (breaks) Count(c, kind);
  };
  if (ForwardKey(a.forward) != ForwardKey(b.forward)) {
    // Code of its own where a forwarder was serves every caller; a new target may not.
    if (b.forward.empty()) add(What::Unforwarded, false, Break::ForwarderChanged);
    else add(What::Forwarder, true, Break::ForwarderChanged);
    return;
  }
  if (!a.forward.empty()) return;
  if (a.data != b.data) {
    add(What::DataOrCode, true, Break::DataOrCode);
    return;
  }
  if (!a.data && a.args >= 0 && b.args >= 0 && a.args != b.args) add(What::Args, true, Break::ArgsChanged);
}

void Exports(const Snapshot& before, const Snapshot& after, Comparison& c) {
  std::map<std::string_view, const Export*> oldNames, newNames;
  std::multimap<std::uint64_t, const Export*> oldOrdinals, newOrdinals;
  for (const Export& e : before.exports) {
    if (!e.name.empty()) oldNames.emplace(e.name, &e);
    oldOrdinals.emplace(e.ordinal, &e);
  }
  for (const Export& e : after.exports) {
    if (!e.name.empty()) newNames.emplace(e.name, &e);
    newOrdinals.emplace(e.ordinal, &e);
  }
  // The export at `ordinal` of `in`: the unnamed one when `unnamed`, else any.
  auto at = [](const std::multimap<std::uint64_t, const Export*>& in, std::uint64_t ordinal,
               bool unnamed) -> const Export* {
    auto [first, last] = in.equal_range(ordinal);
    for (auto it = first; it != last; ++it)
      if (!unnamed || it->second->name.empty()) return it->second;
    return nullptr;
  };
  // What an import by the unnamed export's ordinal reaches now: the export
  // there, unless it is one the old file had under its name elsewhere (then
  // the unnamed one is gone and that one moved into its place).
  auto Unnamed = [&](std::uint64_t ordinal) -> const Export* {
    if (const Export* b = at(newOrdinals, ordinal, true)) return b;
    const Export* b = at(newOrdinals, ordinal, false);
    return b != nullptr && oldNames.count(b->name) == 0 ? b : nullptr;
  };
  for (const Export& a : before.exports) {
    if (!a.name.empty()) {
      if (oldNames.at(a.name) != &a) continue;  // a name given twice: its first export speaks for it
      if (auto it = newNames.find(a.name); it != newNames.end()) {
        const Export& b = *it->second;
        if (a.ordinal != b.ordinal) {
          c.exportsChanged.push_back({ExportChange::What::Ordinal, a, b, true});
          Count(c, Break::OrdinalMoved);
        }
        Details(c, a, b);
      } else if (const Export* b = at(newOrdinals, a.ordinal, true)) {
        c.exportsChanged.push_back({ExportChange::What::NameDropped, a, *b, true});
        Count(c, Break::NameDropped);
      } else {
        c.exportsRemoved.push_back(a);
        Count(c, Break::ExportRemoved);
      }
    } else if (const Export* b = Unnamed(a.ordinal)) {
      Details(c, a, *b);
    } else {
      c.exportsRemoved.push_back(a);
      Count(c, Break::ExportRemoved);
    }
  }
  for (const Export& b : after.exports) {
    if (!b.name.empty() ? newNames.at(b.name) == &b && oldNames.count(b.name) == 0 : at(oldOrdinals, b.ordinal, false) == nullptr)
      c.exportsAdded.push_back(b);
  }
  auto byOrdinal = [](const Export& x, const Export& y) { return x.ordinal != y.ordinal ? x.ordinal < y.ordinal : x.name < y.name; };
  std::stable_sort(c.exportsRemoved.begin(), c.exportsRemoved.end(), byOrdinal);
  std::stable_sort(c.exportsAdded.begin(), c.exportsAdded.end(), byOrdinal);
  std::stable_sort(c.exportsChanged.begin(), c.exportsChanged.end(), [&](const ExportChange& x, const ExportChange& y) {
    return byOrdinal(x.before, y.before);
  });
}

void Imports(const Snapshot& before, const Snapshot& after, Comparison& c) {
  std::map<std::string, const Import*> a, b;
  for (const Import& i : before.imports) a.emplace(ImportKey(i), &i);
  for (const Import& i : after.imports) b.emplace(ImportKey(i), &i);
  for (const auto& [key, i] : a)
    if (b.count(key) == 0) c.importsRemoved.push_back(*i);
  for (const auto& [key, i] : b)
    if (a.count(key) == 0) c.importsAdded.push_back(*i);
  std::map<std::string, std::string> da, db;
  for (const std::string& d : before.dlls) da.emplace(Lower(d), d);
  for (const std::string& d : after.dlls) db.emplace(Lower(d), d);
  for (const auto& [key, d] : da)
    if (db.count(key) == 0) c.dllsRemoved.push_back(d);
  for (const auto& [key, d] : db)
    if (da.count(key) == 0) c.dllsAdded.push_back(d);
}

void Facts(const Snapshot& before, const Snapshot& after, Comparison& c) {
  std::set<std::string_view> seen;
  auto find = [](const std::vector<Fact>& in, std::string_view key) -> const Fact* {
    for (const Fact& f : in)
      if (f.key == key) return &f;
    return nullptr;
  };
  auto one = [&](const Fact& f) {
    if (!seen.insert(f.key).second) return;
    const Fact* a = find(before.facts, f.key);
    const Fact* b = find(after.facts, f.key);
    if (a != nullptr && b != nullptr && a->value == b->value) return;
    FactChange ch;
    ch.before = a != nullptr ? *a : Fact{f.key, f.label, f.name, {}, f.breaks};
    ch.after = b != nullptr ? *b : Fact{f.key, f.label, f.name, {}, f.breaks};
    ch.beforeMissing = a == nullptr;
    ch.afterMissing = b == nullptr;
    if (f.breaks) Count(c, Break::HeaderChanged);
    c.facts.push_back(std::move(ch));
  };
  for (const Fact& f : before.facts) one(f);
  for (const Fact& f : after.facts) one(f);
}

}  // namespace

bool Comparison::BreaksCallers() const {
  for (std::uint64_t n : breaks)
    if (n != 0) return true;
  return false;
}

bool Comparison::Identical() const {
  return exportsRemoved.empty() && exportsAdded.empty() && exportsChanged.empty() && importsAdded.empty() &&
         importsRemoved.empty() && dllsAdded.empty() && dllsRemoved.empty() && facts.empty() && typesAdded.empty() &&
         typesRemoved.empty() && methodsAdded.empty() && methodsRemoved.empty() && membersAdded.empty() &&
         membersRemoved.empty() && symbolsAdded.empty() && symbolsRemoved.empty() && needsAdded.empty() &&
         needsRemoved.empty();
}

Comparison Compare(const Snapshot& before, const Snapshot& after) {
  Comparison c;
  c.kind = before.kind;
  Exports(before, after, c);
  Imports(before, after, c);
  Facts(before, after, c);
  Sets(before.types, after.types, c.typesRemoved, c.typesAdded);
  Sets(before.methods, after.methods, c.methodsRemoved, c.methodsAdded);
  Sets(before.members, after.members, c.membersRemoved, c.membersAdded);
  Sets(before.symbols, after.symbols, c.symbolsRemoved, c.symbolsAdded);
  Sets(before.needs, after.needs, c.needsRemoved, c.needsAdded);
  Count(c, Break::TypeRemoved, c.typesRemoved.size());
  Count(c, Break::MethodRemoved, c.methodsRemoved.size());
  Count(c, Break::SymbolRemoved, c.symbolsRemoved.size());
  return c;
}

}  // namespace kestrova::dumper::compare
