#include "dumper/pe/ClrSig.h"

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Clr.h"

namespace kestrova::dumper::pe::clr {

using lang::Msg;
namespace M = lang::M;

namespace {

// Nesting deeper than this is a loop in the file, not a real program.
constexpr int kMaxDepth = 32;
// Elements one signature may take, counting the type specs it goes through.
constexpr std::uint32_t kMaxSteps = 4096;
// Longest text one signature is written to.
constexpr std::size_t kMaxText = 2048;

constexpr std::string_view kPrimitive[] = {
    "",       "void",   "bool",    "char",    "int8",    "uint8",  "int16",  "uint16",
    "int32",  "uint32", "int64",   "uint64",  "float32", "float64", "string",
};

}  // namespace

// Reads one signature blob front to back.
struct Names::Sig {
  const Names& n;
  io::Reader r;
  std::uint64_t at = 0;
  std::uint32_t& steps;
  bool bad = false;

  void Fail(Msg what, std::initializer_list<lang::Arg> args = {}) {
    if (bad) return;
    bad = true;
    n.md_.Report(Fault::Signature, r.Base() + at, lang::Say(n.md_.language, what, args));
  }
  std::uint8_t Byte() {
    auto b = r.U8(at);
    if (!b) {
      Fail(M::ClrSigEndsEarly);
      return 0;
    }
    ++at;
    return *b;
  }
  std::uint8_t Peek() { return r.U8(at).value_or(0); }
  // A compressed unsigned number: 1, 2 or 4 bytes by the top bits of the first.
  std::uint32_t Number() {
    std::uint8_t b = Byte();
    if ((b & 0x80) == 0) return b;
    if ((b & 0xC0) == 0x80) return (std::uint32_t{b} & 0x3F) << 8 | Byte();
    if ((b & 0xE0) == 0xC0) {
      std::uint32_t v = std::uint32_t{b} & 0x1F;
      for (int i = 0; i < 3; ++i) v = v << 8 | Byte();
      return v;
    }
    Fail(M::ClrSigBadNumber);
    return 0;
  }
  // A compressed signed number (array lower bounds).
  std::int64_t Signed() {
    std::uint8_t b = Peek();
    int bits = (b & 0x80) == 0 ? 7 : (b & 0xC0) == 0x80 ? 14 : 29;
    std::uint32_t v = Number();
    std::int64_t x = v >> 1;
    if (v & 1) x -= std::int64_t{1} << (bits - 1);
    return x;
  }
  bool Room(std::string& out) {
    if (out.size() > kMaxText) {
      Fail(M::ClrSigTooLong);
      return false;
    }
    return !bad;
  }
  void TypeDefOrRef(std::string& out, int depth) {
    std::uint32_t v = Number();
    if (bad) return;
    static constexpr int kTag[] = {kTypeDef, kTypeRef, kTypeSpec, -1};
    int t = kTag[v & 3];
    if (t < 0) {
      Fail(M::ClrSigBadTypeTag);
      return;
    }
    Ref ref{t, v >> 2};
    if (!n.md_.CheckRow(t, ref.row, false) || ref.row == 0) {
      out += "?";
      return;
    }
    n.TypeAt(out, ref, depth + 1, steps);
  }
  void Mods(std::string& out, int depth) {
    while (!bad && (Peek() == 0x1F || Peek() == 0x20)) {
      std::string m = Byte() == 0x1F ? " modreq(" : " modopt(";
      TypeDefOrRef(m, depth);
      out += m;
      out += ")";
    }
  }
  void Type(std::string& out, int depth) {
    if (depth > kMaxDepth || ++steps > kMaxSteps) {
      Fail(depth > kMaxDepth ? M::ClrSigTooDeep : M::ClrSigTooManySteps);
      return;
    }
    if (!Room(out)) return;
    std::uint8_t e = Byte();
    if (bad) return;
    if (e >= 0x01 && e <= 0x0E) {
      out += kPrimitive[e];
      return;
    }
    switch (e) {
      case 0x0F: Type(out, depth + 1); out += "*"; return;
      case 0x10: Type(out, depth + 1); out += "&"; return;
      case 0x11:
      case 0x12: TypeDefOrRef(out, depth); return;
      case 0x13: out += "!"; out += io::Dec(Number()); return;
      case 0x1E: out += "!!"; out += io::Dec(Number()); return;
      case 0x14: Array(out, depth); return;
      case 0x15: {
        std::uint8_t kind = Byte();
        if (kind != 0x11 && kind != 0x12) Fail(M::ClrSigBadGenericInst);
        TypeDefOrRef(out, depth);
        std::uint32_t count = Number();
        if (count > 1024) Fail(M::ClrSigTooManyGenericArgs);
        out += "<";
        for (std::uint32_t i = 0; i < count && !bad; ++i) {
          if (i) out += ", ";
          Type(out, depth + 1);
        }
        out += ">";
        return;
      }
      case 0x16: out += "typedref"; return;
      case 0x18: out += "native int"; return;
      case 0x19: out += "native uint"; return;
      case 0x1B: out += "method "; Method(out, "*", depth + 1); return;
      case 0x1C: out += "object"; return;
      case 0x1D: Type(out, depth + 1); out += "[]"; return;
      case 0x1F:
      case 0x20: {
        --at;
        std::string mods;
        Mods(mods, depth);
        Type(out, depth + 1);
        out += mods;
        return;
      }
      case 0x45: Type(out, depth + 1); out += " pinned"; return;
      default: Fail(M::ClrSigUnknownElement, {io::Hex(e, 2)}); return;
    }
  }
  void Array(std::string& out, int depth) {
    Type(out, depth + 1);
    std::uint32_t rank = Number();
    std::uint32_t nsizes = Number();
    if (rank > 64 || nsizes > rank) {
      Fail(M::ClrSigBadRank);
      return;
    }
    std::uint32_t sizes[64] = {};
    for (std::uint32_t i = 0; i < nsizes; ++i) sizes[i] = Number();
    std::uint32_t nlow = Number();
    if (nlow > rank) {
      Fail(M::ClrSigTooManyBounds);
      return;
    }
    std::int64_t low[64] = {};
    for (std::uint32_t i = 0; i < nlow; ++i) low[i] = Signed();
    out += "[";
    for (std::uint32_t i = 0; i < rank; ++i) {
      if (i) out += ",";
      bool sized = i < nsizes && sizes[i] != 0;
      if (sized || low[i] != 0) {  // a plain [,] for the usual zero-based, unsized dimensions
        std::int64_t lo = low[i];
        out += lo < 0 ? "-" + io::Dec(static_cast<std::uint64_t>(-lo)) : io::Dec(static_cast<std::uint64_t>(lo));
        out += "...";
        if (sized) {
          std::int64_t hi = lo + sizes[i] - 1;
          out += hi < 0 ? "-" + io::Dec(static_cast<std::uint64_t>(-hi)) : io::Dec(static_cast<std::uint64_t>(hi));
        }
      }
    }
    out += "]";
  }
  // RetType or Param: modifiers, then by-ref, typedref, void or a type.
  void Param(std::string& out, int depth) {
    std::string mods;
    Mods(mods, depth);
    Type(out, depth + 1);
    out += mods;
  }
  // After the calling convention's first byte has been looked at.
  void Method(std::string& out, std::string_view name, int depth) {
    std::uint8_t conv = Byte();
    if ((conv & 0x0F) > 5) Fail(M::ClrSigBadCallConv);
    std::string head;
    if ((conv & 0x20) == 0) head += "static ";
    if (conv & 0x40) head += "explicit ";
    static constexpr std::string_view kConv[] = {"", "unmanaged cdecl ", "unmanaged stdcall ",
                                                 "unmanaged thiscall ", "unmanaged fastcall ", "vararg "};
    if ((conv & 0x0F) <= 5) head += kConv[conv & 0x0F];
    std::uint32_t generic = conv & 0x10 ? Number() : 0;
    std::uint32_t count = Number();
    if (bad) return;
    if (count > r.Size()) {
      Fail(M::ClrSigTooManyParams);
      return;
    }
    out += head;
    Param(out, depth);
    out += " ";
    out += name;
    if (generic != 0 && generic <= 1024) {
      out += "<";
      for (std::uint32_t i = 0; i < generic; ++i) {
        if (i) out += ", ";
        out += "!!" + io::Dec(i);
      }
      out += ">";
    }
    out += "(";
    for (std::uint32_t i = 0; i < count && Room(out); ++i) {
      if (i) out += ", ";
      if (Peek() == 0x41) {
        ++at;
        out += "..., ";
      }
      Param(out, depth);
    }
    out += ")";
  }
};

Names::Names(const Metadata& md) : md_(md) {
  // The types' method lists count MethodPtr positions when that table is there.
  if (std::uint32_t ptrs = md.Rows(kMethodPtr); ptrs != 0 && md.Rows(kMethodDef) != 0) {
    methodPosition_.assign(md.Rows(kMethodDef), 0);
    for (std::uint32_t p = 1; p <= ptrs; ++p) {
      std::uint32_t row = md.Col(kMethodPtr, p, 0);
      if (row != 0 && row <= methodPosition_.size()) methodPosition_[row - 1] = p;
    }
  }
  std::uint32_t types = md.Rows(kTypeDef);
  if (md.Rows(kNestedClass) == 0 || types == 0) return;
  enclosing_.assign(types, 0);
  for (std::uint32_t i = 1; i <= md.Rows(kNestedClass); ++i) {
    std::uint32_t inner = md.Col(kNestedClass, i, col::kNestedNested);
    std::uint32_t outer = md.Col(kNestedClass, i, col::kNestedEnclosing);
    if (!md.CheckRow(kTypeDef, inner, false) || !md.CheckRow(kTypeDef, outer, false) || inner == 0) continue;
    enclosing_[inner - 1] = outer;
  }
}

void Names::TypeDef(std::string& out, std::uint32_t row) const { TypeDefAt(out, row, 0); }
void Names::TypeRef(std::string& out, std::uint32_t row) const { TypeRefAt(out, row, 0); }

void Names::TypeDefAt(std::string& out, std::uint32_t row, int depth) const {
  std::uint32_t outer = Enclosing(row);
  if (outer != 0 && depth >= kMaxDepth)
    md_.Report(Fault::Nesting, md_.RowOffset(kTypeDef, row),
               lang::Say(md_.language, M::ClrTypeDefTooDeep, {row, kMaxDepth}));
  if (outer != 0 && depth < kMaxDepth) {
    TypeDefAt(out, outer, depth + 1);
    out += "/";
  } else {
    std::string_view ns = md_.Str(kTypeDef, row, col::kTypeDefNamespace);
    if (!ns.empty()) {
      out += ns;
      out += ".";
    }
  }
  out += md_.Str(kTypeDef, row, col::kTypeDefName);
}

void Names::TypeRefAt(std::string& out, std::uint32_t row, int depth) const {
  auto scope = md_.DecodeAt(Coded::ResolutionScope, kTypeRef, row, col::kTypeRefScope);
  bool nested = scope && scope->table == kTypeRef && scope->row != 0;
  if (nested && depth >= kMaxDepth)
    md_.Report(Fault::Nesting, md_.RowOffset(kTypeRef, row),
               lang::Say(md_.language, M::ClrTypeRefTooDeep, {row, kMaxDepth}));
  if (nested && depth < kMaxDepth) {
    TypeRefAt(out, scope->row, depth + 1);
    out += "/";
  } else {
    std::string_view ns = md_.Str(kTypeRef, row, col::kTypeRefNamespace);
    if (!ns.empty()) {
      out += ns;
      out += ".";
    }
  }
  out += md_.Str(kTypeRef, row, col::kTypeRefName);
}

void Names::Type(std::string& out, Ref r) const {
  std::uint32_t steps = 0;
  TypeAt(out, r, 0, steps);
}

void Names::TypeAt(std::string& out, Ref r, int depth, std::uint32_t& steps) const {
  if (r.table == kTypeDef) return TypeDefAt(out, r.row, 0);
  if (r.table == kTypeRef) return TypeRefAt(out, r.row, 0);
  if (r.table != kTypeSpec) return;
  auto blob = md_.BlobOf(kTypeSpec, r.row, col::kTypeSpecSig);
  if (!blob) return;
  if (depth > kMaxDepth) {
    md_.Report(Fault::Signature, blob->Base(), lang::Say(md_.language, M::ClrSigTooDeep));
    out += "?";
    return;
  }
  Sig s{*this, *blob, 0, steps};
  s.Type(out, depth);
}

bool Names::Method(std::string& out, std::uint32_t row) const {
  std::string_view name = md_.Str(kMethodDef, row, col::kMethodName);
  auto b = md_.BlobOf(kMethodDef, row, col::kMethodSig);
  if (!b) return false;
  std::uint32_t steps = 0;
  Sig s{*this, *b, 0, steps};
  s.Method(out, name, 0);
  return !s.bad;
}

bool Names::Field(std::string& out, std::uint32_t row) const {
  auto b = md_.BlobOf(kField, row, col::kFieldSig);
  if (!b) return false;
  std::uint32_t steps = 0;
  Sig s{*this, *b, 0, steps};
  if (s.Byte() != 0x06) s.Fail(M::ClrSigFieldStart);
  std::string mods;
  s.Mods(mods, 0);
  s.Type(out, 0);
  out += mods;
  return !s.bad;
}

std::uint32_t Names::OwnerOfMethod(std::uint32_t row) const {
  if (!methodPosition_.empty()) {
    if (row == 0 || row > methodPosition_.size() || methodPosition_[row - 1] == 0) return 0;
    row = methodPosition_[row - 1];
  }
  // The types' method lists rise with the type, so the owner is the last type
  // whose list starts at or before the method.
  std::uint32_t lo = 1, hi = md_.Rows(kTypeDef), found = 0;
  while (lo <= hi && hi != 0) {
    std::uint32_t mid = lo + (hi - lo) / 2;
    if (md_.Col(kTypeDef, mid, col::kTypeDefMethods) <= row) {
      found = mid;
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  return found;
}

void Names::MethodDefName(std::string& out, std::uint32_t row) const {
  if (std::uint32_t owner = OwnerOfMethod(row); owner != 0) {
    TypeDef(out, owner);
    out += "::";
  }
  out += md_.Str(kMethodDef, row, col::kMethodName);
}

void Names::MemberRef(std::string& out, std::uint32_t row) const {
  auto parent = md_.DecodeAt(Coded::MemberRefParent, kMemberRef, row, col::kMemberRefClass);
  if (parent && parent->row != 0) {
    if (parent->table == kModuleRef) out += md_.Str(kModuleRef, parent->row, col::kModuleRefName);
    else if (parent->table == kMethodDef) MethodDefName(out, parent->row);
    else Type(out, *parent);
    out += "::";
  }
  out += md_.Str(kMemberRef, row, col::kMemberRefName);
}

}  // namespace kestrova::dumper::pe::clr
