// A .NET assembly: its CLR header, metadata, references, types with their
// methods, and the native functions it calls.
#include <string>

#include "dumper/pe/Clr.h"
#include "dumper/pe/ClrSig.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

void PrintClr(Printer& o, const pe::ClrInfo& r, const pe::Context& ctx);

using namespace pe;
using namespace pe::clr;

namespace {

void Heading(Printer& o, std::string_view what) {
  o.Nl();
  o.Text("  -- ").Text(what).Text(" --");
  o.Nl();
}

void Version4(Printer& o, const Metadata& md, int table, std::uint32_t row, int first) {
  for (int k = 0; k < 4; ++k) {
    if (k) o.Ch('.');
    o.Dec(md.Col(table, row, first + k));
  }
}

void Token(Printer& o, const std::array<std::uint8_t, 8>& t) {
  for (std::uint8_t b : t) o.Hex(b, 2);
}

// ", PublicKeyToken=..." from a key or a token blob; nothing when there is neither.
void KeyOrToken(Printer& o, const Metadata& md, std::uint32_t row, bool fullKey) {
  auto b = md.BlobOf(kAssemblyRef, row, col::kAssemblyRefKey);
  if (!b || b->Size() == 0) {
    o.Text(", PublicKeyToken=null");
    return;
  }
  o.Text(", PublicKeyToken=");
  if (fullKey) {
    Token(o, KeyToken(*b));
  } else {
    for (std::uint8_t x : b->Bytes().first(b->Bytes().size() < 8 ? b->Bytes().size() : 8)) o.Hex(x, 2);
  }
}

void PrintRoot(Printer& o, const Metadata& md) {
  Heading(o, "Metadata");
  Field(o, "Version").Name(md.version);
  o.Nl();
  Field(o, "MajorVersion.MinorVersion").Dec(md.major).Ch('.').Dec(md.minor);
  o.Nl();
  Field(o, "Streams").Dec(md.streams.size());
  o.Nl();
  o.Text("    Offset    Size      File offset  Name");
  o.Nl();
  for (const Stream& s : md.streams) {
    o.Text("    ").Hex(s.offset, 8).Text("  ").Hex(s.size, 8).Text("  ").Hex(s.fileOffset, 8).Text("     ").Name(s.name);
    o.Nl();
  }
  if (!md.hasTables) return;
  Field(o, "Tables version").Dec(md.tablesMajor).Ch('.').Dec(md.tablesMinor);
  o.Nl();
  Field(o, "HeapSizes").Hex(md.heapSizes, 2).Text("  strings ").Dec(md.heapSizes & 1 ? 4 : 2);
  o.Text(", GUID ").Dec(md.heapSizes & 2 ? 4 : 2).Text(", blob ").Dec(md.heapSizes & 4 ? 4 : 2).Text(" bytes an index");
  o.Nl();
  Field(o, "Valid").Hex(md.valid, 16);
  o.Nl();
  Field(o, "Sorted").Hex(md.sorted, 16);
  o.Nl();
  o.Text("    Table                      Rows  Row size");
  o.Nl();
  for (int t = 0; t < kMaxTables; ++t) {
    if ((md.valid >> t & 1) == 0) continue;
    std::string_view name = TableName(t);
    o.Text("    ").Hex(static_cast<std::uint64_t>(t), 2).Ch(' ');
    if (name.empty()) o.Text("(unknown)");
    else o.Text(name);
    o.Col(31).DecR(md.declared[static_cast<std::size_t>(t)], 7);
    if (!name.empty()) o.Text("  ").DecR(md.RowSize(t), 8);
    o.Nl();
  }
}

void PrintAssembly(Printer& o, const Metadata& md) {
  if (md.Rows(kModule) != 0) {
    Heading(o, "Module");
    Field(o, "Name").Name(md.Str(kModule, 1, col::kModuleName));
    o.Nl();
    Field(o, "Mvid");
    if (auto g = md.Guid(md.Col(kModule, 1, col::kModuleMvid))) Guid(o, {}, g->Bytes());
    else o.Text("(none)");
    o.Nl();
  }
  if (md.Rows(kAssembly) == 0) return;
  Heading(o, "Assembly");
  std::uint32_t flags = md.Col(kAssembly, 1, col::kAssemblyFlags);
  Field(o, "Name").Name(md.Str(kAssembly, 1, col::kAssemblyName));
  o.Nl();
  Field(o, "Version");
  Version4(o, md, kAssembly, 1, col::kAssemblyMajor);
  o.Nl();
  std::string_view culture = md.Str(kAssembly, 1, col::kAssemblyCulture);
  Field(o, "Culture");
  if (culture.empty()) o.Text("neutral");
  else o.Name(culture);
  o.Nl();
  Field(o, "Flags").Hex(flags, 8);
  o.Nl();
  FlagLines(o, {}, flags & ~std::uint32_t{0xF0}, AssemblyFlags(), 8);
  std::uint32_t hash = md.Col(kAssembly, 1, col::kAssemblyHash);
  Field(o, "HashAlgId").Hex(hash, 8);
  if (const Named* n = Find(HashAlgorithms(), hash)) o.Text("  ").Text(n->name);
  o.Nl();
  auto key = md.BlobOf(kAssembly, 1, col::kAssemblyKey);
  Field(o, "PublicKey");
  if (!key || key->Size() == 0) {
    o.Text("(none)");
    o.Nl();
    return;
  }
  o.Dec(key->Size()).Text(" bytes  ");
  HexBytes(o, {}, key->Bytes(), 12);
  o.Nl();
  Field(o, "PublicKeyToken");
  Token(o, KeyToken(*key));
  o.Nl();
}

void PrintReferences(Printer& o, const Metadata& md) {
  if (std::uint32_t n = md.Rows(kAssemblyRef)) {
    Heading(o, "Referenced assemblies");
    for (std::uint32_t i = 1; i <= n && !o.Exhausted(); ++i) {
      o.Text("    ").Name(md.Str(kAssemblyRef, i, col::kAssemblyRefName)).Text(", Version=");
      Version4(o, md, kAssemblyRef, i, col::kAssemblyRefMajor);
      std::string_view culture = md.Str(kAssemblyRef, i, col::kAssemblyRefCulture);
      o.Text(", Culture=");
      if (culture.empty()) o.Text("neutral");
      else o.Name(culture);
      std::uint32_t flags = md.Col(kAssemblyRef, i, col::kAssemblyRefFlags);
      KeyOrToken(o, md, i, flags & 1);
      if (flags & ~std::uint32_t{1}) FlagWords(o, {}, flags & ~std::uint32_t{1}, AssemblyFlags(), "  ");
      o.Nl();
    }
  }
  if (std::uint32_t n = md.Rows(kModuleRef)) {
    Heading(o, "Referenced modules");
    for (std::uint32_t i = 1; i <= n && !o.Exhausted(); ++i) {
      o.Text("    ").Name(md.Str(kModuleRef, i, col::kModuleRefName));
      o.Nl();
    }
  }
}

// One step of work; when the budget is gone, says so once (the member lists of
// a damaged file can overlap, so their sum is not bounded by the tables' sizes).
bool Step(const Metadata& md, const Context& ctx) {
  if (ctx.budget.Take()) return true;
  md.StoppedOnce("work budget used up: members and native calls after this point are not listed");
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
  Heading(o, "Types and methods");
  std::string text, base;
  std::uint32_t methods = 0, fields = 0, methodsSeen = 1, fieldsSeen = 1;
  for (std::uint32_t t = 1; t <= types && !o.Exhausted(); ++t) {
    std::uint32_t flags = md.Col(kTypeDef, t, col::kTypeDefFlags);
    base.clear();
    if (auto ext = md.DecodeAt(Coded::TypeDefOrRef, kTypeDef, t, col::kTypeDefExtends); ext && ext->row != 0)
      names.Type(base, *ext);
    text.clear();
    names.TypeDef(text, t);
    o.Text("  ").Text(TypeKind(flags, base)).Ch(' ').Name(text).Text("  ").Text(TypeVisibility(flags));
    FlagWords(o, {}, flags, TypeFlagWords());
    if (!base.empty()) o.Text("  extends ").Name(base);
    o.Nl();

    Metadata::Range fr = md.NextList(kTypeDef, t, col::kTypeDefFields, kField, fieldsSeen);
    for (std::uint32_t p = fr.first; p < fr.end && !o.Exhausted() && Step(md, ctx); ++p) {
      std::uint32_t f = md.ListRow(kField, p);
      if (f == 0) continue;
      std::uint32_t ff = md.Col(kField, f, col::kFieldFlags);
      text.clear();
      names.Field(text, f);
      o.Text("    field   ").Text(MemberAccess(ff));
      FlagWords(o, {}, ff, FieldFlagWords());
      o.Text("  ").Name(text).Ch(' ').Name(md.Str(kField, f, col::kFieldName));
      o.Nl();
      ++fields;
    }

    Metadata::Range mr = md.NextList(kTypeDef, t, col::kTypeDefMethods, kMethodDef, methodsSeen);
    for (std::uint32_t p = mr.first; p < mr.end && !o.Exhausted() && Step(md, ctx); ++p) {
      std::uint32_t m = md.ListRow(kMethodDef, p);
      if (m == 0) continue;
      std::uint32_t mf = md.Col(kMethodDef, m, col::kMethodFlags);
      std::uint32_t impl = md.Col(kMethodDef, m, col::kMethodImplFlags);
      std::uint32_t rva = md.Col(kMethodDef, m, col::kMethodRva);
      text.clear();
      names.Method(text, m);
      o.Text("    method  ").Text(MemberAccess(mf));
      FlagWords(o, {}, mf, MethodFlagWords());
      FlagWords(o, {}, impl, MethodImplWords());
      o.Text("  ").Name(text);
      if (rva != 0) {
        o.Text("  RVA ").Hex(rva, 8);
        if ((impl & 3) == 0) {
          if (auto size = IlSize(ctx, rva)) o.Text(", ").Dec(*size).Text(" bytes of IL");
          else o.Text(", IL header not readable");
        }
      }
      if (std::uint32_t im = (mf & 0x2000) ? ImplMapOf(md, m) : 0) {
        std::uint32_t scope = md.Col(kImplMap, im, col::kImplMapScope);
        o.Text("  -> ");
        if (md.CheckRow(kModuleRef, scope, false)) o.Name(md.Str(kModuleRef, scope, col::kModuleRefName));
        o.Ch('!').Name(md.Str(kImplMap, im, col::kImplMapName));
      }
      o.Nl();
      ++methods;
    }
  }
  o.Text("  (");
  Count(o, {}, types, "type, ", "types, ");
  Count(o, {}, methods, "method, ", "methods, ");
  Count(o, {}, fields, "field)", "fields)");
  o.Nl();
}

void PrintNativeCalls(Printer& o, const Metadata& md, const Names& names, const Context& ctx) {
  std::uint32_t n = md.Rows(kImplMap);
  if (n == 0) return;
  Heading(o, "Native calls (P/Invoke)");
  std::string text;
  // Grouped by module as the import part groups by DLL; a row whose module is
  // not a ModuleRef row is listed under "(no module)" at the end.
  std::uint32_t modules = md.Rows(kModuleRef);
  for (std::uint32_t mod = 1; mod <= modules + 1 && !o.Exhausted(); ++mod) {
    bool any = false;
    for (std::uint32_t i = 1; i <= n && !o.Exhausted(); ++i) {
      if (!Step(md, ctx)) return;
      std::uint32_t scope = md.Col(kImplMap, i, col::kImplMapScope);
      bool mine = mod <= modules ? scope == mod : (scope == 0 || scope > modules);
      if (!mine) continue;
      if (!any) {
        o.Text("  ");
        if (mod <= modules) o.Name(md.Str(kModuleRef, mod, col::kModuleRefName));
        else o.Text("(no module)");
        o.Nl();
        o.Text("    Entry point                      Managed method");
        o.Nl();
        any = true;
      }
      std::uint32_t flags = md.Col(kImplMap, i, col::kImplMapFlags);
      text.clear();
      if (auto member = md.DecodeAt(Coded::MemberForwarded, kImplMap, i, col::kImplMapMember); member && member->row) {
        if (member->table == kMethodDef) names.MethodDefName(text, member->row);
        else text = "field " + std::string(md.Str(kField, member->row, col::kFieldName));
      }
      o.Text("    ").Name(md.Str(kImplMap, i, col::kImplMapName)).Col(37).Name(text);
      o.Text("  ").Text(CallingConvention(flags));
      if (!CharSet(flags).empty()) o.Ch(' ').Text(CharSet(flags));
      FlagWords(o, {}, flags, ImplMapWords());
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
  Heading(o, "Exported types");
  std::string text;
  for (std::uint32_t i = 1; i <= n && !o.Exhausted(); ++i) {
    text.clear();
    ExportedName(text, md, i, 0);
    o.Text("    ").Name(text);
    // Where the type lives: the outermost row's Implementation says.
    std::uint32_t outer = i;
    for (int d = 0; d < 32; ++d) {
      auto up = md.DecodeAt(Coded::Implementation, kExportedType, outer, col::kExportedImpl);
      if (!up || up->table != kExportedType || up->row == 0) break;
      outer = up->row;
    }
    auto impl = md.DecodeAt(Coded::Implementation, kExportedType, outer, col::kExportedImpl);
    if (impl && impl->row != 0 && impl->table == kAssemblyRef)
      o.Text("  in assembly ").Name(md.Str(kAssemblyRef, impl->row, col::kAssemblyRefName));
    else if (impl && impl->row != 0 && impl->table == kFile)
      o.Text("  in file ").Name(md.Str(kFile, impl->row, col::kFileName));
    std::uint32_t flags = md.Col(kExportedType, i, col::kExportedFlags);
    o.Text("  ").Text(TypeVisibility(flags));
    FlagWords(o, {}, flags, TypeFlagWords());
    o.Nl();
  }
}

void PrintResources(Printer& o, const Metadata& md) {
  std::uint32_t n = md.Rows(kManifestResource);
  if (n == 0) return;
  Heading(o, "Manifest resources");
  for (std::uint32_t i = 1; i <= n && !o.Exhausted(); ++i) {
    std::uint32_t flags = md.Col(kManifestResource, i, col::kResourceFlags);
    o.Text("    ").Name(md.Str(kManifestResource, i, col::kResourceName));
    auto impl = md.DecodeAt(Coded::Implementation, kManifestResource, i, col::kResourceImpl);
    std::uint32_t offset = md.Col(kManifestResource, i, col::kResourceOffset);
    if (!impl || impl->row == 0) o.Text("  at offset ").Hex(offset, 8).Text(" of the resources");
    else if (impl->table == kFile) o.Text("  in file ").Name(md.Str(kFile, impl->row, col::kFileName));
    else if (impl->table == kAssemblyRef)
      o.Text("  in assembly ").Name(md.Str(kAssemblyRef, impl->row, col::kAssemblyRefName));
    o.Text((flags & 7) == 1 ? "  public" : (flags & 7) == 2 ? "  private" : "  (visibility ?)");
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
      out.Text("  (none)");
    } else if (r.header[kClrFlags] & kClrNativeEntryPoint) {
      out.Text("  native code at RVA");
      InSection(out, ctx, token);
    } else if (names && (token >> 24) == kMethodDef && (token & 0xFFFFFF) <= r.md->Rows(kMethodDef)) {
      std::string text;
      names->MethodDefName(text, token & 0xFFFFFF);
      out.Text("  ").Name(text);
    } else if (names && (token >> 24) == kFile && (token & 0xFFFFFF) <= r.md->Rows(kFile)) {
      out.Text("  in file ").Name(r.md->Str(kFile, token & 0xFFFFFF, col::kFileName));
    } else {
      out.Text("  (no such method)");
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
