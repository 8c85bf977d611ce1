// A .NET assembly: its CLR header, metadata, references, types with their
// methods, and the native functions it calls.
#include <string>

#include "dumper/lang/catalog/Clr.h"
#include "dumper/pe/Clr.h"
#include "dumper/pe/ClrSig.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

void PrintClr(Printer& o, const pe::ClrInfo& r, const pe::Context& ctx);

using namespace pe;
using namespace pe::clr;
using lang::Msg;
namespace M = lang::M;

namespace {

void Heading(Printer& o, Msg what) {
  o.Nl();
  o.Say(M::ClrHeading, {o.L(what)});
  o.Nl();
}

// A member's access and a call's convention: the metadata's own keywords, and
// our words for the values that have none.
void Access(Printer& o, std::uint32_t flags) {
  if ((flags & 7) == 7) o.Word("access", M::ClrAccess7);
  else o.Word("access", MemberAccess(flags));
}

void Convention(Printer& o, std::uint32_t flags) {
  const std::uint32_t c = (flags >> 8) & 7;
  if (c == 6 || c == 7) o.Word("callingConvention", c == 6 ? M::ClrCallConv6 : M::ClrCallConv7);
  else o.Word("callingConvention", CallingConvention(flags));
}

// The four parts under the tables' own column names.
void Version4(Printer& o, const Metadata& md, int table, std::uint32_t row, int first) {
  static constexpr Key kParts[] = {"MajorVersion", "MinorVersion", "BuildNumber", "RevisionNumber"};
  for (int k = 0; k < 4; ++k) {
    if (k) o.Ch('.');
    o.Dec(kParts[k], md.Col(table, row, first + k));
  }
}

// Bytes as one run of hex digits, the same in both forms.
void HexRun(Printer& o, Key k, std::span<const std::uint8_t> bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string s;
  for (std::uint8_t b : bytes) {
    s.push_back(kHex[b >> 4]);
    s.push_back(kHex[b & 0xF]);
  }
  o.Word(k, s, s);
}

void Token(Printer& o, const std::array<std::uint8_t, 8>& t) { HexRun(o, "PublicKeyToken", t); }

// ", PublicKeyToken=..." from a key or a token blob; nothing when there is neither.
void KeyOrToken(Printer& o, const Metadata& md, std::uint32_t row, bool fullKey) {
  auto b = md.BlobOf(kAssemblyRef, row, col::kAssemblyRefKey);
  o.Text(", PublicKeyToken=");
  if (!b || b->Size() == 0) {
    o.Word("PublicKeyToken", "null", "");
    return;
  }
  if (fullKey) {
    Token(o, KeyToken(*b));
  } else {
    HexRun(o, "PublicKeyToken", b->Bytes().first(b->Bytes().size() < 8 ? b->Bytes().size() : 8));
  }
}

void PrintRoot(Printer& o, const Metadata& md) {
  Heading(o, M::ClrMetadata);
  Scoped root(o, Scoped::kObject, "metadata");
  Field(o, M::ClrVersion).Name(md.version);
  o.Nl();
  Field(o, "MajorVersion.MinorVersion").Dec("MajorVersion", md.major).Ch('.').Dec("MinorVersion", md.minor);
  o.Nl();
  Field(o, M::ClrStreams).Dec(kNoKey, md.streams.size());
  o.Nl();
  o.Say(M::ClrStreamColumns);
  o.Nl();
  {
    Scoped rows(o, Scoped::kList, "streams");
    for (const Stream& s : md.streams) {
      Scoped row(o, Scoped::kObject, {});
      o.Text("    ").Hex("offset", s.offset, 8).Text("  ").Hex("size", s.size, 8).Text("  ");
      o.Hex("fileOffset", s.fileOffset, 8).Text("     ").Name("name", s.name);
      o.Nl();
    }
  }
  if (!md.hasTables) return;
  // The #~ stream's header: its version and fields would clash with the root's.
  Scoped tables(o, Scoped::kObject, "tables");
  Field(o, M::ClrTablesVersion).Dec("MajorVersion", md.tablesMajor).Ch('.').Dec("MinorVersion", md.tablesMinor);
  o.Nl();
  Field(o, "HeapSizes").Hex(md.heapSizes, 2).Say(M::ClrHeapStrings).Dec("stringIndexSize", md.heapSizes & 1 ? 4 : 2);
  o.Say(M::ClrHeapGuid).Dec("guidIndexSize", md.heapSizes & 2 ? 4 : 2);
  o.Say(M::ClrHeapBlob).Dec("blobIndexSize", md.heapSizes & 4 ? 4 : 2).Say(M::ClrHeapTail);
  o.Nl();
  Field(o, "Valid").Hex(md.valid, 16);
  o.Nl();
  Field(o, "Sorted").Hex(md.sorted, 16);
  o.Nl();
  o.Say(M::ClrTableColumns);
  o.Nl();
  Scoped rows(o, Scoped::kList, "rows");
  for (int t = 0; t < kMaxTables; ++t) {
    if ((md.valid >> t & 1) == 0) continue;
    Scoped row(o, Scoped::kObject, {});
    std::string_view name = TableName(t);
    o.Text("    ").Hex("table", static_cast<std::uint64_t>(t), 2).Ch(' ');
    if (name.empty()) o.Say(M::ClrUnknownTable);
    else o.Word("name", name);
    o.Col(31).DecR("rows", md.declared[static_cast<std::size_t>(t)], 7);
    if (!name.empty()) o.Text("  ").DecR("rowSize", md.RowSize(t), 8);
    o.Nl();
  }
}

void PrintAssembly(Printer& o, const Metadata& md) {
  if (md.Rows(kModule) != 0) {
    Heading(o, M::ClrModule);
    Scoped module(o, Scoped::kObject, "module");
    Field(o, M::ClrName).Name(md.Str(kModule, 1, col::kModuleName));
    o.Nl();
    Field(o, "Mvid");
    if (auto g = md.Guid(md.Col(kModule, 1, col::kModuleMvid))) Guid(o, {}, g->Bytes());
    else o.Word({}, M::ClrNone, "");
    o.Nl();
  }
  if (md.Rows(kAssembly) == 0) return;
  Heading(o, M::ClrAssembly);
  Scoped assembly(o, Scoped::kObject, "assembly");
  std::uint32_t flags = md.Col(kAssembly, 1, col::kAssemblyFlags);
  Field(o, M::ClrName).Name(md.Str(kAssembly, 1, col::kAssemblyName));
  o.Nl();
  Field(o, M::ClrVersion);
  Version4(o, md, kAssembly, 1, col::kAssemblyMajor);
  o.Nl();
  std::string_view culture = md.Str(kAssembly, 1, col::kAssemblyCulture);
  Field(o, M::ClrCulture);
  if (culture.empty()) o.Word({}, M::ClrNeutral, "");
  else o.Name(culture);
  o.Nl();
  Field(o, M::ClrFlags).Hex(flags, 8);
  o.Nl();
  FlagLines(o, "FlagsFlags", flags & ~std::uint32_t{0xF0}, AssemblyFlags(), 8);
  std::uint32_t hash = md.Col(kAssembly, 1, col::kAssemblyHash);
  Field(o, "HashAlgId").Hex(hash, 8);
  if (const Named* n = Find(HashAlgorithms(), hash)) o.Text("  ").Word("HashAlgIdName", n->name);
  o.Nl();
  auto key = md.BlobOf(kAssembly, 1, col::kAssemblyKey);
  Field(o, "PublicKey");
  if (!key || key->Size() == 0) {
    o.Word({}, M::ClrNone, "");
    o.Nl();
    return;
  }
  o.Dec("publicKeySize", key->Size()).Say(M::ClrKeyBytes);
  HexBytes(o, "publicKeyStart", key->Bytes(), 12);
  o.Nl();
  Field(o, "PublicKeyToken");
  Token(o, KeyToken(*key));
  o.Nl();
}

void PrintReferences(Printer& o, const Metadata& md) {
  if (std::uint32_t n = md.Rows(kAssemblyRef)) {
    Heading(o, M::ClrAssemblyRefs);
    Scoped rows(o, Scoped::kList, "assemblyRefs");
    for (std::uint32_t i = 1; i <= n && !o.Exhausted(); ++i) {
      Scoped row(o, Scoped::kObject, {});
      o.Text("    ").Name("Name", md.Str(kAssemblyRef, i, col::kAssemblyRefName)).Text(", Version=");
      Version4(o, md, kAssemblyRef, i, col::kAssemblyRefMajor);
      std::string_view culture = md.Str(kAssemblyRef, i, col::kAssemblyRefCulture);
      o.Text(", Culture=");
      if (culture.empty()) o.Word("Culture", "neutral", "");
      else o.Name("Culture", culture);
      std::uint32_t flags = md.Col(kAssemblyRef, i, col::kAssemblyRefFlags);
      KeyOrToken(o, md, i, flags & 1);
      if (flags & ~std::uint32_t{1}) FlagWords(o, "flags", flags & ~std::uint32_t{1}, AssemblyFlags(), "  ");
      o.Nl();
    }
  }
  if (std::uint32_t n = md.Rows(kModuleRef)) {
    Heading(o, M::ClrModuleRefs);
    Scoped rows(o, Scoped::kList, "moduleRefs");
    for (std::uint32_t i = 1; i <= n && !o.Exhausted(); ++i) {
      Scoped row(o, Scoped::kObject, {});
      o.Text("    ").Name("Name", md.Str(kModuleRef, i, col::kModuleRefName));
      o.Nl();
    }
  }
}

// One step of work; when the budget is gone, says so once (the member lists of
// a damaged file can overlap, so their sum is not bounded by the tables' sizes).
bool Step(const Metadata& md, const Context& ctx) {
  if (ctx.budget.Take()) return true;
  md.StoppedOnce(lang::Say(md.language, M::ClrBudget));
  return false;
}

// "class", "interface", "value type" or "enum": what the type is, from its flags and base.
std::string_view TypeKind(std::uint32_t flags, std::string_view base) {
  if (flags & 0x20) return "interface";
  if (base == "System.Enum") return "enum";
  if (base == "System.ValueType") return "struct";
  return "class";
}

void PrintTypes(Printer& o, const Metadata& md, const Names& names, const Context& ctx) {
  std::uint32_t types = md.Rows(kTypeDef);
  if (types == 0) return;
  Heading(o, M::ClrTypesAndMethods);
  std::string text, base;
  std::uint32_t methods = 0, fields = 0, methodsSeen = 1, fieldsSeen = 1;
  Scoped rows(o, Scoped::kList, "types");
  for (std::uint32_t t = 1; t <= types && !o.Exhausted(); ++t) {
    Scoped row(o, Scoped::kObject, {});
    std::uint32_t flags = md.Col(kTypeDef, t, col::kTypeDefFlags);
    base.clear();
    if (auto ext = md.DecodeAt(Coded::TypeDefOrRef, kTypeDef, t, col::kTypeDefExtends); ext && ext->row != 0)
      names.Type(base, *ext);
    text.clear();
    names.TypeDef(text, t);
    o.Text("  ").Word("kind", TypeKind(flags, base)).Ch(' ').Name("name", text);
    o.Text("  ").Word("visibility", TypeVisibility(flags));
    FlagWords(o, "flags", flags, TypeFlagWords());
    if (!base.empty()) o.Text("  extends ").Name("extends", base);
    o.Nl();

    Metadata::Range fr = md.NextList(kTypeDef, t, col::kTypeDefFields, kField, fieldsSeen);
    {
      Scoped fieldRows(o, Scoped::kList, "fields");
      for (std::uint32_t p = fr.first; p < fr.end && !o.Exhausted() && Step(md, ctx); ++p) {
        std::uint32_t f = md.ListRow(kField, p);
        if (f == 0) continue;
        Scoped fieldRow(o, Scoped::kObject, {});
        std::uint32_t ff = md.Col(kField, f, col::kFieldFlags);
        text.clear();
        names.Field(text, f);
        o.Text("    field   ");
        Access(o, ff);
        FlagWords(o, "flags", ff, FieldFlagWords());
        o.Text("  ").Name("type", text).Ch(' ').Name("name", md.Str(kField, f, col::kFieldName));
        o.Nl();
        ++fields;
      }
    }

    Metadata::Range mr = md.NextList(kTypeDef, t, col::kTypeDefMethods, kMethodDef, methodsSeen);
    Scoped methodRows(o, Scoped::kList, "methods");
    for (std::uint32_t p = mr.first; p < mr.end && !o.Exhausted() && Step(md, ctx); ++p) {
      std::uint32_t m = md.ListRow(kMethodDef, p);
      if (m == 0) continue;
      Scoped methodRow(o, Scoped::kObject, {});
      std::uint32_t mf = md.Col(kMethodDef, m, col::kMethodFlags);
      std::uint32_t impl = md.Col(kMethodDef, m, col::kMethodImplFlags);
      std::uint32_t rva = md.Col(kMethodDef, m, col::kMethodRva);
      text.clear();
      names.Method(text, m);
      o.Text("    method  ");
      Access(o, mf);
      FlagWords(o, "flags", mf, MethodFlagWords());
      FlagWords(o, "implFlags", impl, MethodImplWords());
      o.Text("  ").Name("signature", text);
      if (rva != 0) {
        o.Text("  RVA ").Hex("rva", rva, 8);
        if ((impl & 3) == 0) {
          if (auto size = IlSize(ctx, rva)) o.Say(M::ClrSep).Dec("ilSize", *size).Say(M::ClrIlBytes);
          else o.Say(M::ClrIlUnreadable).Fact("ilHeaderReadable", false);
        }
      }
      if (std::uint32_t im = (mf & 0x2000) ? ImplMapOf(md, m) : 0) {
        std::uint32_t scope = md.Col(kImplMap, im, col::kImplMapScope);
        o.Text("  -> ");
        if (md.CheckRow(kModuleRef, scope, false)) o.Name("module", md.Str(kModuleRef, scope, col::kModuleRefName));
        o.Ch('!').Name("importName", md.Str(kImplMap, im, col::kImplMapName));
      }
      o.Nl();
      ++methods;
    }
  }
  // The rows give these counts.
  o.Say(M::ClrCountsOpen);
  Count(o, kNoKey, types, M::ClrTypesOne, M::ClrTypesMany);
  Count(o, kNoKey, methods, M::ClrMethodsOne, M::ClrMethodsMany);
  Count(o, kNoKey, fields, M::ClrFieldsOne, M::ClrFieldsMany);
  o.Nl();
}

void PrintNativeCalls(Printer& o, const Metadata& md, const Names& names, const Context& ctx) {
  std::uint32_t n = md.Rows(kImplMap);
  if (n == 0) return;
  Heading(o, M::ClrNativeCalls);
  Scoped groups(o, Scoped::kList, "nativeCalls");
  // Grouped by module as the import part groups by DLL; a row whose module is
  // not a ModuleRef row is listed under "(no module)" at the end.
  std::uint32_t modules = md.Rows(kModuleRef);
  for (std::uint32_t mod = 1; mod <= modules + 1 && !o.Exhausted(); ++mod) {
    // Opened with the group's first call, so a module without calls shows nothing.
    std::optional<Scoped> group, calls;
    for (std::uint32_t i = 1; i <= n && !o.Exhausted(); ++i) {
      if (!Step(md, ctx)) return;
      std::uint32_t scope = md.Col(kImplMap, i, col::kImplMapScope);
      bool mine = mod <= modules ? scope == mod : (scope == 0 || scope > modules);
      if (!mine) continue;
      if (!group) {
        group.emplace(o, Scoped::kObject, Key{});
        o.Text("  ");
        if (mod <= modules) o.Name("module", md.Str(kModuleRef, mod, col::kModuleRefName));
        else o.Say(M::ClrNoModule).Fact("noModule", true);
        o.Nl();
        o.Say(M::ClrCallColumns);
        o.Nl();
        calls.emplace(o, Scoped::kList, "calls");
      }
      Scoped row(o, Scoped::kObject, {});
      std::uint32_t flags = md.Col(kImplMap, i, col::kImplMapFlags);
      o.Text("    ").Name("importName", md.Str(kImplMap, i, col::kImplMapName)).Col(37);
      if (auto member = md.DecodeAt(Coded::MemberForwarded, kImplMap, i, col::kImplMapMember); member && member->row) {
        if (member->table == kMethodDef) {
          std::string text;
          names.MethodDefName(text, member->row);
          o.Name("method", text);
        } else {
          o.Text("field ").Name("field", md.Str(kField, member->row, col::kFieldName));
        }
      }
      o.Text("  ");
      Convention(o, flags);
      if (!CharSet(flags).empty()) o.Ch(' ').Word("charSet", CharSet(flags));
      FlagWords(o, "flags", flags, ImplMapWords());
      o.Nl();
    }
  }
}

// An exported type's full name, nested ones as Outer/Inner through the rows they name.
void ExportedName(std::string& out, const Metadata& md, std::uint32_t row, int depth) {
  auto impl = md.DecodeAt(Coded::Implementation, kExportedType, row, col::kExportedImpl);
  if (impl && impl->table == kExportedType && impl->row != 0 && depth < 32) {
    ExportedName(out, md, impl->row, depth + 1);
    out += "/";
  } else if (std::string_view ns = md.Str(kExportedType, row, col::kExportedNamespace); !ns.empty()) {
    out += ns;
    out += ".";
  }
  out += md.Str(kExportedType, row, col::kExportedName);
}

void PrintExportedTypes(Printer& o, const Metadata& md) {
  std::uint32_t n = md.Rows(kExportedType);
  if (n == 0) return;
  Heading(o, M::ClrExportedTypes);
  Scoped rows(o, Scoped::kList, "exportedTypes");
  std::string text;
  for (std::uint32_t i = 1; i <= n && !o.Exhausted(); ++i) {
    Scoped row(o, Scoped::kObject, {});
    text.clear();
    ExportedName(text, md, i, 0);
    o.Text("    ").Name("name", text);
    // Where the type lives: the outermost row's Implementation says.
    std::uint32_t outer = i;
    for (int d = 0; d < 32; ++d) {
      auto up = md.DecodeAt(Coded::Implementation, kExportedType, outer, col::kExportedImpl);
      if (!up || up->table != kExportedType || up->row == 0) break;
      outer = up->row;
    }
    auto impl = md.DecodeAt(Coded::Implementation, kExportedType, outer, col::kExportedImpl);
    if (impl && impl->row != 0 && impl->table == kAssemblyRef)
      o.Say(M::ClrInAssembly).Name("assembly", md.Str(kAssemblyRef, impl->row, col::kAssemblyRefName));
    else if (impl && impl->row != 0 && impl->table == kFile)
      o.Say(M::ClrInFile).Name("file", md.Str(kFile, impl->row, col::kFileName));
    std::uint32_t flags = md.Col(kExportedType, i, col::kExportedFlags);
    o.Text("  ").Word("visibility", TypeVisibility(flags));
    FlagWords(o, "flags", flags, TypeFlagWords());
    o.Nl();
  }
}

void PrintResources(Printer& o, const Metadata& md) {
  std::uint32_t n = md.Rows(kManifestResource);
  if (n == 0) return;
  Heading(o, M::ClrManifestResources);
  Scoped rows(o, Scoped::kList, "manifestResources");
  for (std::uint32_t i = 1; i <= n && !o.Exhausted(); ++i) {
    Scoped row(o, Scoped::kObject, {});
    std::uint32_t flags = md.Col(kManifestResource, i, col::kResourceFlags);
    o.Text("    ").Name("name", md.Str(kManifestResource, i, col::kResourceName));
    auto impl = md.DecodeAt(Coded::Implementation, kManifestResource, i, col::kResourceImpl);
    std::uint32_t offset = md.Col(kManifestResource, i, col::kResourceOffset);
    if (!impl || impl->row == 0) o.Say(M::ClrAtResourceOffset).Hex("offset", offset, 8).Say(M::ClrOfTheResources);
    else if (impl->table == kFile) o.Say(M::ClrInFile).Name("file", md.Str(kFile, impl->row, col::kFileName));
    else if (impl->table == kAssemblyRef)
      o.Say(M::ClrInAssembly).Name("assembly", md.Str(kAssemblyRef, impl->row, col::kAssemblyRefName));
    if ((flags & 7) == 1) o.Word("visibility", "  public", "public");
    else if ((flags & 7) == 2) o.Word("visibility", "  private", "private");
    else o.Word("visibility", M::ClrVisibilityUnknown, "unknown");
    o.Nl();
  }
}

}  // namespace

void PrintClr(Printer& o, const ClrInfo& r, const Context& ctx) {
  if (!r.present) return;
  std::optional<Names> names;
  if (r.md && r.md->hasTables) names.emplace(*r.md);
  PrintFields(o, r.header, ctx, [&](Printer& out, std::size_t, std::uint64_t v) {
    std::uint32_t token = static_cast<std::uint32_t>(v);
    out.Hex(token, 8);
    if (token == 0) {
      out.Word("entryPointKind", M::ClrEntryNone, "none");
    } else if (r.header[kClrFlags] & kClrNativeEntryPoint) {
      out.Word("entryPointKind", M::ClrEntryNative, "native");
      InSection(out, ctx, token, "entryPointSection");
    } else if (names && (token >> 24) == kMethodDef && (token & 0xFFFFFF) <= r.md->Rows(kMethodDef)) {
      std::string text;
      names->MethodDefName(text, token & 0xFFFFFF);
      out.Word("entryPointKind", "  ", "method").Name("entryPoint", text);
    } else if (names && (token >> 24) == kFile && (token & 0xFFFFFF) <= r.md->Rows(kFile)) {
      out.Word("entryPointKind", M::ClrEntryInFile, "file").Name("entryPoint", r.md->Str(kFile, token & 0xFFFFFF, col::kFileName));
    } else {
      out.Word("entryPointKind", M::ClrEntryMissing, "missing");
    }
  });
  if (!r.md || !r.md->ok()) return;
  const Metadata& md = *r.md;
  PrintRoot(o, md);
  if (names) {
    PrintAssembly(o, md);
    PrintReferences(o, md);
    PrintTypes(o, md, *names, ctx);
    PrintNativeCalls(o, md, *names, ctx);
    PrintExportedTypes(o, md);
    PrintResources(o, md);
  }
  md.ReportSummary();
}

KESTROVA_PART(Clr)

}  // namespace kestrova::dumper::print
