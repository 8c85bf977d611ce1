// The debug directory: every entry, and the data of the kinds a reader looks for.
#include <algorithm>
#include <array>
#include <iterator>
#include <string>

#include "dumper/io/Format.h"
#include "dumper/pe/Debug.h"
#include "dumper/print/Part.h"
#include "dumper/lang/catalog/Debug.h"

namespace kestrova::dumper::print {

void PrintDebug(Printer& o, const pe::DebugDirectory& d, const pe::Context& ctx);

using namespace pe;
namespace M = lang::M;

namespace {

// Upper-case hex of `v` in `width` digits, appended: for values the listing runs together.
void AppendHex(std::string& s, std::uint64_t v, int width) {
  char tmp[24];
  s.append(tmp, static_cast<std::size_t>(io::PutHex(tmp, v, width) - tmp));
}

void CodeView(Printer& o, const Context& ctx, const DebugEntry& e) {
  CodeViewInfo cv = ReadCodeView(ctx, e);
  Field(o, M::DbgSignature, "signature");
  std::array<char, 4> sig = DebugSignature(e);
  o.Name(std::string_view(sig.data(), static_cast<std::size_t>(std::min<std::uint64_t>(4, e.data.Size()))));
  o.Nl();
  if (!cv.ok) return;
  if (cv.signature == kCodeViewRsds) {
    Field(o, "  GUID", "guid");
    Guid(o, {}, cv.guid);
    o.Nl();
  } else {
    Field(o, M::DbgPdbSignature, "pdbSignature").Hex(cv.nb10Signature, 8);
    o.Nl();
  }
  Field(o, "  Age", "age").Dec(cv.age);
  o.Nl();
  Field(o, M::DbgPdbPath, "pdbPath").Name(cv.path);
  o.Nl();
  // What a symbol server is asked for: the GUID's fields (or the signature) without dashes, then the age in hex.
  std::string key;
  if (cv.signature == kCodeViewRsds) {
    auto le = [&](std::size_t at, int n) {
      std::uint64_t v = 0;
      for (int k = n - 1; k >= 0; --k) v = (v << 8) | cv.guid[at + static_cast<std::size_t>(k)];
      AppendHex(key, v, 2 * n);
    };
    le(0, 4);
    le(4, 2);
    le(6, 2);
    for (std::size_t i = 8; i < 16; ++i) AppendHex(key, cv.guid[i], 2);
  } else {
    AppendHex(key, cv.nb10Signature, 8);
  }
  AppendHex(key, cv.age, 0);
  Field(o, M::DbgSymbolServerKey, "symbolServerKey").Word({}, key);
  o.Nl();
}

std::uint32_t U32(const DebugEntry& e, std::uint64_t at) { return e.data.U32(at).value_or(0); }

void VcFeature(Printer& o, const DebugEntry& e) {
  // The first count is named in our words; the others by the compiler's switches.
  static constexpr std::string_view kSwitches[] = {"  C/C++", "  /GS", "  /sdl", "  guardN"};
  static constexpr std::string_view kKeys[] = {"preVc11", "cCpp", "gs", "sdl", "guardN"};
  for (std::size_t i = 0; i < std::size(kKeys); ++i) {
    if (!e.data.Has(4 * i, 4)) break;
    if (i == 0) Field(o, M::DbgPreVc11, kKeys[i]);
    else Field(o, kSwitches[i - 1], kKeys[i]);
    o.Dec(U32(e, 4 * i));
    o.Nl();
  }
}

void Pogo(Printer& o, const Context& ctx, const DebugEntry& e) {
  if (!e.data.Has(0, 4)) return;
  std::array<char, 4> sig = DebugSignature(e);
  Field(o, M::DbgSignature, "signature").Name(std::string_view(sig.data(), sig.size()));
  o.Nl();
  o.Text("      RVA").Col(16).Say(M::DbgPogoSize).Col(26).Say(M::DbgPogoName);
  o.Nl();
  Scoped rows(o, Scoped::kList, "pogoEntries");
  WalkPogo(ctx, e, [&](const PogoEntry& p) {
    if (o.Exhausted()) return false;
    Scoped row(o, Scoped::kObject, {});
    o.Text("      ").Hex("rva", p.rva, 8).Text("  ").Hex("size", p.size, 8).Text("  ").Name("name", p.name);
    o.Nl();
    return true;
  });
}

void Repro(Printer& o, const DebugEntry& e) {
  // A length, then the hash the build's time stamps were made from.
  std::uint64_t from = 0, n = e.data.Size();
  if (std::uint32_t len = U32(e, 0); n >= 4 && len <= n - 4) {
    from = 4;
    n = len;
  }
  std::string hash;
  for (std::uint64_t i = 0; i < n && i < 64; ++i) AppendHex(hash, e.data.U8(from + i).value_or(0), 2);
  Field(o, M::DbgHash, "hash").Word({}, hash);
  o.Fact("hashCut", n > 64);
  if (n > 64) o.Text("...");
  o.Nl();
}

// The image's file name: DataType 1, then the length, the Unicode flag, and the name.
void Misc(Printer& o, const DebugEntry& e) {
  if (!e.data.Has(0, 12)) return;
  const bool unicode = e.data.U8(8).value_or(0) != 0;
  Field(o, "  DataType", "DataType").Dec(U32(e, 0));
  if (U32(e, 0) == 1) o.Word("DataTypeName", "  EXENAME", "EXENAME");
  o.Nl();
  Field(o, M::DbgImageName, "imageName");
  io::Reader name = e.data.From(12);
  if (!unicode) {
    o.Name(name.String(0, kMaxName).text);
  } else {
    std::string utf8;
    for (std::uint64_t at = 0; at + 1 < name.Size() && at < 2 * kMaxName; at += 2) {
      std::uint32_t c = *name.U16(at);
      if (c == 0) break;
      if (c >= 0xD800 && c <= 0xDBFF && name.Has(at + 2, 2)) {
        std::uint32_t lo = *name.U16(at + 2);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
          at += 2;
        }
      }
      if (c < 0x80) {
        utf8 += static_cast<char>(c);
      } else if (c < 0x800) {
        utf8 += static_cast<char>(0xC0 | (c >> 6));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        utf8 += static_cast<char>(0xE0 | (c >> 12));
        utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
      } else {
        utf8 += static_cast<char>(0xF0 | (c >> 18));
        utf8 += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        utf8 += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    o.Name(utf8);  // a lone surrogate became an invalid sequence, which Name escapes
  }
  o.Nl();
}

void Entry(Printer& o, const Context& ctx, const DebugDirectory& d, std::uint32_t i) {
  DebugEntry e = ReadDebugEntry(ctx, d, i);
  o.Nl();
  o.Say(M::DbgEntry, {i + 1});
  o.Nl();
  Field(o, "  Characteristics", "Characteristics").Hex(e.characteristics, 8);
  o.Nl();
  Field(o, "  TimeDateStamp");
  Stamp(o, "TimeDateStamp", e.timeDateStamp, StampStyle::Table);
  o.Nl();
  Field(o, M::DbgVersion, {}).Dec("MajorVersion", e.majorVersion).Ch('.').Dec("MinorVersion", e.minorVersion);
  o.Nl();
  Field(o, "  Type", "Type").Dec(e.type);
  if (const Named* n = Find(DebugTypes(), e.type)) o.Text("  ").Word("TypeName", n->name).Text("  ").Text(n->meaning.In(o.Language()));
  else o.Say(M::DbgUnknownType);
  o.Nl();
  Field(o, "  SizeOfData", "SizeOfData").Hex(e.sizeOfData, 8).Text(" (").Dec(kNoKey, e.sizeOfData).Ch(')');
  o.Nl();
  Field(o, "  AddressOfRawData", "AddressOfRawData").Hex(e.addressOfRawData, 8);
  if (e.addressOfRawData != 0) InSection(o, ctx, e.addressOfRawData);
  o.Nl();
  Field(o, "  PointerToRawData", "PointerToRawData").Hex(e.pointerToRawData, 8);
  o.Nl();
  if (e.data.Size() == 0) return;
  switch (e.type) {
    case kDebugCodeView: CodeView(o, ctx, e); break;
    case kDebugVcFeature: VcFeature(o, e); break;
    case kDebugPogo: Pogo(o, ctx, e); break;
    case kDebugRepro: Repro(o, e); break;
    case kDebugMisc: Misc(o, e); break;
    case kDebugFpo:
      Field(o, M::DbgFpoRecords, "fpoRecords").Dec(e.data.Size() / 16);
      o.Nl();
      break;
    case kDebugExDllCharacteristics:
      Field(o, "  ExDllCharacteristics", "ExDllCharacteristics").Hex(U32(e, 0), 8);
      o.Nl();
      FlagLines(o, "ExDllCharacteristicsFlags", U32(e, 0), ExDllCharacteristics(), 8);
      break;
    default: break;
  }
}

}  // namespace

void PrintDebug(Printer& o, const DebugDirectory& d, const Context& ctx) {
  if (!d.present) return;
  Field(o, M::DbgDirectory, "Directory").Text("RVA ").Hex("rva", d.rva, 8).Say(M::DbgSize).Hex("size", d.size, 8);
  o.Say(M::ListSep);
  Count(o, kNoKey, d.count, M::DbgEntriesOne, M::DbgEntriesMany);
  o.Nl();
  Scoped rows(o, Scoped::kList, "entries");
  for (std::uint32_t i = 0; i < d.count && !o.Exhausted(); ++i) {
    Scoped row(o, Scoped::kObject, {});
    Entry(o, ctx, d, i);
  }
}

KESTROVA_PART(Debug)

}  // namespace kestrova::dumper::print
