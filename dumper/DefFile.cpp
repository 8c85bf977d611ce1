// The .def writer. Both GNU dlltool and Microsoft's grammar (lib /def, lld-link
// /def) must take every line as written, so a name either fits the plain
// identifier form or goes out as a comment.
#include "dumper/DefFile.h"

#include <string>
#include <unordered_set>

#include "dumper/io/Format.h"
#include "dumper/io/Reader.h"
#include "dumper/lang/catalog/Exports.h"
#include "dumper/pe/ExportUse.h"
#include "dumper/pe/Parse.h"
#include "dumper/pe/Facts.h"
#include "dumper/pe/Relocations.h"
#include "dumper/system/Dependencies.h"
#include "dumper/system/ImportedArgs.h"

namespace kestrova::dumper {

namespace {

using pe::ArgSize;
namespace M = lang::M;

// Characters both grammars take in an unquoted name. '.' only in forwarder
// targets ("NTDLL.RtlAllocateHeap"), where it separates the module.
bool Writable(std::string_view s, bool target = false) {
  if (s.empty() || s.size() > 1024) return false;
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '@' ||
              c == '?' || c == '$' || (target && (c == '.' || c == '#'));
    if (!ok) return false;
  }
  return !(s[0] >= '0' && s[0] <= '9');
}

// A name as a comment can show it: printable ASCII, the rest as \xNN.
std::string Shown(std::string_view s) {
  std::string r;
  for (char ch : s.substr(0, 200)) {
    auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      r += static_cast<char>(c);
    } else {
      static const char* kDigits = "0123456789ABCDEF";
      r += "\\x";
      r += kDigits[c >> 4];
      r += kDigits[c & 15];
    }
  }
  if (s.size() > 200) r += "...";
  return r;
}

std::string_view BaseName(std::string_view path) {
  std::size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// What the code says beyond the line itself, for the reader of the file.
std::string What(const pe::ImportFunction& f) { return f.byOrdinal ? "#" + io::Dec(f.ordinal) : Shown(f.name); }

// Why a function's argument size is not written (a thunk's jump is said by the caller).
std::string ArgsNote(const ArgSize& a, lang::Lang l) {
  switch (a.kind) {
    case ArgSize::Kind::Unknown: return lang::Say(l, M::DefArgsUnknown);
    case ArgSize::Kind::Conflict: return lang::Say(l, M::DefArgsConflict, {a.bytes, a.other});
    case ArgSize::Kind::ViaImport: return lang::Say(l, M::DefViaSlot, {io::Hex(a.importSlot)});
    default: return {};
  }
}

// A stdcall function's name as the import library must give it: "Name@8". A
// name that carries its own decoration, or a C++ one, keeps it.
void Decorate(std::string& name, const ArgSize& a, const std::unordered_set<std::string_view>& taken,
              std::string& note, lang::Lang l) {
  const bool decorable = name.find('@') == std::string::npos && name[0] != '?';
  if (a.kind != ArgSize::Kind::Stdcall || !decorable) return;
  std::string decorated = name + "@" + io::Dec(a.bytes);
  if (taken.count(decorated) == 0) name = decorated;
  else note = lang::Say(l, M::DefTakes, {a.bytes, decorated});
}

}  // namespace

int WriteDefFile(std::span<const std::uint8_t> bytes, std::string_view displayName, io::Sink& out,
                 const system::Environment* deps, lang::Lang l, lang::Lang ui) {
  io::Reader file(bytes);
  pe::Anomalies an;
  pe::Headers h = pe::ParseHeaders(file, an);
  if (h.kind != pe::FileKind::Pe || !h.opt.present) {
    std::string why = h.kind == pe::FileKind::Pe ? lang::Say(ui, M::DefNoOptional) : h.what;
    if (h.kind == pe::FileKind::Dos && why.empty()) why = lang::Say(ui, M::DefDosProgram);
    out.Write(lang::Say(ui, M::DefNotImage, {Shown(displayName), why}) + "\n");
    return 1;
  }
  pe::AddressMap map(file, h);
  pe::Budget budget(bytes.size());
  pe::Options options;
  options.deps = deps;
  pe::Facts facts;
  const pe::Context ctx{file, h, map, budget, an, options, &facts};
  pe::ExportTable exports = pe::ParseExports(ctx);
  pe::ImportTable imports = pe::ParseImports(ctx);
  pe::RelocationTable relocations = pe::ParseRelocations(ctx);
  // Where the DLLs it imports are, for thunks that jump into them.
  if (deps != nullptr && deps->files != nullptr && h.coff.machine == 0x14C && !h.opt.pe32plus) pe::ParseDependencies(ctx);
  system::ImportedArgs follow(deps, &facts.depsPaths);

  std::string_view library = exports.nameOk && Writable(exports.name, true) ? exports.name : BaseName(displayName);
  std::string text = lang::Say(l, M::DefHead, {Shown(BaseName(displayName))}) + "\n";
  if (library.find('"') != std::string_view::npos || library.empty()) library = "unknown.dll";
  text += "LIBRARY \"" + Shown(library) + "\"\nEXPORTS\n";
  if (!exports.present) {
    text += lang::Say(l, M::DefNothing) + "\n";
    out.Write(text);
    return 0;
  }

  // Every name the DLL exports: a name we decorate must not become one of these.
  std::unordered_set<std::string_view> taken;
  {
    pe::ExportWalker w(exports, ctx);
    pe::ExportEntry e;
    while (w.Next(e))
      for (std::uint32_t k = 0; k < e.nameCount; ++k) taken.insert(w.Name(e, k).name);
  }
  pe::ExportUse use(ctx, exports, &imports, &relocations);
  std::unordered_set<std::string> written;
  std::size_t lines = 0;
  // Linker names for ordinal-only exports carry the module's name, since an
  // import library's symbols share one namespace with every other library linked.
  std::string stem;
  for (char c : library.substr(0, library.rfind('.'))) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    stem += word ? c : '_';
  }
  pe::ExportWalker w(exports, ctx);
  pe::ExportEntry e;
  while (w.Next(e)) {
    if (e.rva == 0 && e.nameCount == 0) continue;  // an empty slot exports nothing
    const std::string ord = io::Dec(e.ordinal);
    if (e.ordinal > 0xFFFF) {
      text += lang::Say(l, M::DefOrdinalTooBig, {ord}) + "\n";
      continue;
    }
    for (std::uint32_t k = 0; k < e.nameCount || (k == 0 && e.nameCount == 0); ++k) {
      std::string name;
      bool noName = e.nameCount == 0;
      std::string_view raw;
      if (noName) {
        // A name for the linker only: NONAME makes the import go by ordinal.
        name = stem + "_ord" + ord;
        while (taken.count(name) != 0 || written.count(name) != 0) name += "_";
      } else {
        pe::ExportName n = w.Name(e, k);
        raw = n.name;
        if (!n.ok || !Writable(raw)) {
          text += lang::Say(l, M::DefBadName, {ord, Shown(raw)}) + "\n";
          continue;
        }
        name = std::string(raw);
      }
      std::string line;
      if (e.forwarder) {
        if (!Writable(e.forwardTo, true) || e.forwardTo.find('.') == std::string_view::npos) {
          text += lang::Say(l, M::DefBadForward, {ord, name, Shown(e.forwardTo)}) + "\n";
          continue;
        }
        // Its callers pop what the target pops: the import library's name says it as for code.
        std::string note;
        if (use.I386() && (noName || !pe::DecoratedBytes(raw))) {
          const ArgSize a = follow.Forwarded(e.forwardTo);
          if (a.kind == ArgSize::Kind::None) note = lang::Say(l, M::DefTargetArgs);
          else Decorate(name, a, taken, note, l);
        }
        line = name + " = " + std::string(e.forwardTo) + " @" + ord;
        if (noName) line += " NONAME";
        if (!note.empty()) line += " ; " + note;
      } else if (use.Data(e.rva, raw) != pe::DataReason::NotData) {
        line = name + " @" + ord;
        if (noName) line += " NONAME";
        line += " DATA";
      } else {
        ArgSize a = use.Args(e.rva);
        std::string note;
        std::string_view dll;
        const pe::ImportFunction* f = a.kind == ArgSize::Kind::ViaImport ? use.SlotImport(a.importSlot, dll) : nullptr;
        if (f != nullptr) {
          if (const ArgSize there = follow.Of(dll, *f); there.kind != ArgSize::Kind::None) {
            a = there;
            note = lang::Say(l, M::DefArgsFrom, {Shown(dll), What(*f)});
          } else {
            note = lang::Say(l, M::DefJumpsTo, {Shown(dll), What(*f)});
          }
        }
        if (note.empty()) note = ArgsNote(a, l);
        Decorate(name, a, taken, note, l);
        line = name + " @" + ord;
        if (noName) line += " NONAME";
        if (!note.empty()) line += " ; " + note;
      }
      if (!written.insert(name).second) {
        text += lang::Say(l, M::DefAlreadyWritten, {ord, name}) + "\n";
        continue;
      }
      text += line + "\n";
      ++lines;
      if (noName) break;
    }
    if (text.size() > (1u << 16)) {
      out.Write(text);
      text.clear();
    }
  }
  if (lines == 0) text += lang::Say(l, M::DefNoneWritten) + "\n";
  out.Write(text);
  return 0;
}

}  // namespace kestrova::dumper
