// The CLR header and the metadata root it points at.
#include "dumper/pe/Clr.h"

#include <algorithm>
#include <cstring>

#include "dumper/crypto/Sha.h"
#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Clr.h"
#include "dumper/pe/Facts.h"

namespace kestrova::dumper::pe {

using lang::Msg;
namespace M = lang::M;

namespace {

constexpr FieldDef kHeader[] = {
    {"cb", 0, 0, 4, 4, FieldKind::Size},
    {"MajorRuntimeVersion", 4, 4, 2, 2, FieldKind::Dec},
    {"MinorRuntimeVersion", 6, 6, 2, 2, FieldKind::Dec},
    {"MetaData RVA", 8, 8, 4, 4, FieldKind::Rva},
    {"MetaData size", 12, 12, 4, 4, FieldKind::Size},
    {"Flags", 16, 16, 4, 4, FieldKind::Flags, &clr::HeaderFlags},
    {"EntryPointToken", 20, 20, 4, 4, FieldKind::Special},
    {"Resources RVA", 24, 24, 4, 4, FieldKind::Rva},
    {"Resources size", 28, 28, 4, 4, FieldKind::Size},
    {"StrongNameSignature RVA", 32, 32, 4, 4, FieldKind::Rva},
    {"StrongNameSignature size", 36, 36, 4, 4, FieldKind::Size},
    {"CodeManagerTable RVA", 40, 40, 4, 4, FieldKind::Rva},
    {"CodeManagerTable size", 44, 44, 4, 4, FieldKind::Size},
    {"VTableFixups RVA", 48, 48, 4, 4, FieldKind::Rva},
    {"VTableFixups size", 52, 52, 4, 4, FieldKind::Size},
    {"ExportAddressTableJumps RVA", 56, 56, 4, 4, FieldKind::Rva},
    {"ExportAddressTableJumps size", 60, 60, 4, 4, FieldKind::Size},
    {"ManagedNativeHeader RVA", 64, 64, 4, 4, FieldKind::Rva},
    {"ManagedNativeHeader size", 68, 68, 4, 4, FieldKind::Size},
};
constexpr std::uint64_t kHeaderSize = 72;

constexpr Named kHeaderFlags[] = {
    {0x00000001, "ILONLY", Msg(M::ClrFlagIlOnly)},
    {0x00000002, "32BITREQUIRED", Msg(M::ClrFlag32BitRequired)},
    {0x00000004, "IL_LIBRARY", Msg(M::ClrFlagIlLibrary)},
    {0x00000008, "STRONGNAMESIGNED", Msg(M::ClrFlagStrongName)},
    {0x00000010, "NATIVE_ENTRYPOINT", Msg(M::ClrFlagNativeEntry)},
    {0x00010000, "TRACKDEBUGDATA", Msg(M::ClrFlagTrackDebug)},
    {0x00020000, "32BITPREFERRED", Msg(M::ClrFlag32BitPreferred)},
};

constexpr Named kAssemblyFlags[] = {
    {0x0001, "PublicKey", Msg(M::ClrAsmFullKey)},
    {0x0100, "Retargetable", Msg(M::ClrAsmRetargetable)},
    {0x0200, "WindowsRuntime", Msg(M::ClrAsmWinRt)},
    {0x4000, "DisableJITcompileOptimizer", Msg(M::ClrAsmJitOptOff)},
    {0x8000, "EnableJITcompileTracking", Msg(M::ClrAsmJitTracking)},
};

constexpr Named kHashAlgorithms[] = {
    {0x0000, "None", Msg(M::ClrHashNone)},
    {0x8003, "MD5", "MD5"},
    {0x8004, "SHA1", "SHA-1"},
    {0x800C, "SHA256", "SHA-256"},
    {0x800D, "SHA384", "SHA-384"},
    {0x800E, "SHA512", "SHA-512"},
};

constexpr Named kTypeWords[] = {
    {0x00000008, "sequential", ""},   {0x00000010, "explicit", ""},
    {0x00000080, "abstract", ""},     {0x00000100, "sealed", ""},
    {0x00000400, "specialname", ""},  {0x00000800, "rtspecialname", ""},
    {0x00001000, "import", ""},       {0x00002000, "serializable", ""},
    {0x00004000, "windowsruntime", ""}, {0x00010000, "unicode", ""},
    {0x00020000, "autochar", ""},     {0x00040000, "hassecurity", ""},
    {0x00100000, "beforefieldinit", ""}, {0x00200000, "forwarder", ""},
};

constexpr Named kMethodWords[] = {
    {0x0008, "unmanagedexp", ""}, {0x0020, "final", ""},       {0x0040, "virtual", ""},
    {0x0080, "hidebysig", ""},    {0x0100, "newslot", ""},     {0x0200, "strict", ""},
    {0x0400, "abstract", ""},     {0x0800, "specialname", ""}, {0x1000, "rtspecialname", ""},
    {0x2000, "pinvokeimpl", ""},  {0x4000, "hassecurity", ""}, {0x8000, "reqsecobj", ""},
};

constexpr Named kImplWords[] = {
    {0x0001, "native", ""},         {0x0002, "optil", ""},        {0x0004, "unmanaged", ""},
    {0x0008, "noinlining", ""},     {0x0010, "forwardref", ""},   {0x0020, "synchronized", ""},
    {0x0040, "nooptimization", ""}, {0x0080, "preservesig", ""},  {0x0100, "aggressiveinlining", ""},
    {0x1000, "internalcall", ""},
};

constexpr Named kFieldWords[] = {
    {0x0010, "static", ""},      {0x0020, "initonly", ""},      {0x0040, "literal", ""},
    {0x0080, "notserialized", ""}, {0x0100, "hasfieldrva", ""}, {0x0200, "specialname", ""},
    {0x0400, "rtspecialname", ""}, {0x1000, "marshal", ""},     {0x2000, "pinvokeimpl", ""},
    {0x8000, "hasdefault", ""},
};

constexpr Named kImplMapWords[] = {
    {0x0001, "nomangle", ""},       {0x0010, "bestfit:on", ""},    {0x0020, "bestfit:off", ""},
    {0x0040, "lasterr", ""},        {0x1000, "charmaperror:on", ""}, {0x2000, "charmaperror:off", ""},
};

}  // namespace

ClrInfo ParseClr(const Context& ctx) {
  ClrInfo r;
  DirectoryView dir = OpenDirectory(ctx, kDirClr, Area::Clr, M::ClrHeaderWhat);
  const lang::Lang l = ctx.options.lang;
  if (!dir.backed) return r;
  std::uint64_t holds = kHeaderSize;
  if (auto cb = dir.data.U32(0); cb && *cb < kHeaderSize) {
    holds = *cb;
    ctx.an.AtOffset(Area::Clr, dir.data.Base(), lang::Say(l, M::ClrHeaderShort, {*cb}));
  }
  r.header = ReadFields(dir.data, 0, kHeader, false, holds);
  r.present = true;
  if (ctx.facts) {
    ctx.facts->clr = true;
    ctx.facts->ilOnly = r.header.Has(kClrFlags) && (r.header[kClrFlags] & 0x1) != 0;  // ILONLY
  }
  if (r.header.available < holds) {
    ctx.an.AtOffset(Area::Clr, dir.data.Base() + r.header.available, lang::Say(l, M::ClrHeaderCut));
  }
  if (!r.header.Has(kClrMetaDataSize)) return r;
  std::uint32_t rva = static_cast<std::uint32_t>(r.header[kClrMetaDataRva]);
  std::uint32_t size = static_cast<std::uint32_t>(r.header[kClrMetaDataSize]);
  if (rva == 0) {
    ctx.an.AtOffset(Area::Clr, dir.data.Base() + 8, lang::Say(l, M::ClrNoMetadata));
    return r;
  }
  auto view = ctx.map.View(rva);
  if (!view) {
    ctx.an.AtRva(Area::Clr, rva, lang::Say(l, M::ClrMetadataNotBacked));
    return r;
  }
  io::Reader md = *view;
  if (auto whole = view->Sub(0, size)) {
    md = *whole;
  } else {
    ctx.an.AtRva(Area::Clr, rva, lang::Say(l, M::ClrMetadataCut, {io::Hex(size)}));
  }
  r.md.emplace(md, ctx.an, Area::Clr, l);
  if (ctx.facts && r.md->ok()) NoteClr(ctx.facts->marks, *r.md);
  if (ctx.facts) {
    // The <Module> pseudo-type holds the global members: not a type a reader wrote.
    const std::uint32_t types = r.md->Rows(clr::kTypeDef);
    ctx.facts->clrTypes = types > 0 ? types - 1 : 0;
    ctx.facts->clrMethods = r.md->Rows(clr::kMethodDef);
  }
  // A managed entry point is a MethodDef of this module or a File holding it.
  std::uint32_t entry = static_cast<std::uint32_t>(r.header[kClrEntryPoint]);
  if (entry != 0 && r.header.Has(kClrEntryPoint) && !(r.header[kClrFlags] & kClrNativeEntryPoint)) {
    int table = static_cast<int>(entry >> 24);
    std::uint32_t row = entry & 0xFFFFFF;
    if ((table != clr::kMethodDef && table != clr::kFile) || row == 0 || row > r.md->Rows(table))
      ctx.an.AtOffset(Area::Clr, dir.data.Base() + 20, lang::Say(l, M::ClrBadEntryToken, {io::Hex(entry, 8)}));
  }
  return r;
}

namespace clr {

std::span<const Named> HeaderFlags() { return kHeaderFlags; }
std::span<const Named> AssemblyFlags() { return kAssemblyFlags; }
std::span<const Named> HashAlgorithms() { return kHashAlgorithms; }
std::span<const Named> TypeFlagWords() { return kTypeWords; }
std::span<const Named> MethodFlagWords() { return kMethodWords; }
std::span<const Named> MethodImplWords() { return kImplWords; }
std::span<const Named> FieldFlagWords() { return kFieldWords; }
std::span<const Named> ImplMapWords() { return kImplMapWords; }

std::string_view MemberAccess(std::uint32_t flags) {
  static constexpr std::string_view kAccess[] = {"privatescope", "private", "famandassem", "assembly",
                                                 "family",       "famorassem", "public", "(access 7)"};
  return kAccess[flags & 7];
}

std::string_view TypeVisibility(std::uint32_t flags) {
  static constexpr std::string_view kVisibility[] = {
      "private", "public", "nested public", "nested private", "nested family", "nested assembly",
      "nested famandassem", "nested famorassem"};
  return kVisibility[flags & 7];
}

std::string_view CharSet(std::uint32_t f) {
  static constexpr std::string_view kSets[] = {"", "ansi", "unicode", "autochar"};
  return kSets[(f >> 1) & 3];
}

std::string_view CallingConvention(std::uint32_t f) {
  static constexpr std::string_view kConv[] = {"", "winapi", "cdecl", "stdcall", "thiscall", "fastcall", "(callconv 6)", "(callconv 7)"};
  return kConv[(f >> 8) & 7];
}

std::array<std::uint8_t, 8> KeyToken(const io::Reader& key) {
  // The token is the last 8 bytes of the key's SHA-1, reversed. A key that runs
  // into a section's zero fill hashes those zeros too, as the loader sees them.
  crypto::Hasher h(crypto::HashAlg::kSha1);
  h.Update(key.Bytes());
  static constexpr std::uint8_t kZeros[256] = {};
  // (A real key is a few hundred bytes; the zeros are capped so a hostile size costs nothing.)
  for (std::uint64_t left = std::min<std::uint64_t>(key.Zeros(), 65536); left != 0;) {
    std::size_t n = left < sizeof kZeros ? static_cast<std::size_t>(left) : sizeof kZeros;
    h.Update({kZeros, n});
    left -= n;
  }
  const crypto::Digest digest = h.Finish();
  std::array<std::uint8_t, 8> token{};
  for (std::size_t i = 0; i < 8; ++i) token[i] = digest.bytes[19 - i];
  return token;
}

std::optional<std::uint32_t> IlSize(const Context& ctx, std::uint32_t rva) {
  auto v = ctx.map.View(rva);
  if (!v) return std::nullopt;
  auto first = v->U8(0);
  if (!first) return std::nullopt;
  if ((*first & 3) == 2) return std::uint32_t{*first} >> 2;  // tiny header: the size in its top six bits
  if ((*first & 3) == 3) return v->U32(4);                   // fat header: CodeSize after flags and MaxStack
  return std::nullopt;
}

std::uint32_t ImplMapOf(const Metadata& md, std::uint32_t methodRow) {
  // MemberForwarded: one tag bit, MethodDef is tag 1.
  const std::uint32_t want = methodRow << 1 | 1;
  std::uint32_t lo = 1, hi = md.Rows(kImplMap);
  while (lo <= hi && hi != 0) {
    std::uint32_t mid = lo + (hi - lo) / 2;
    std::uint32_t v = md.Col(kImplMap, mid, col::kImplMapMember);
    if (v == want) return mid;
    if (v < want) lo = mid + 1;
    else hi = mid - 1;
  }
  return 0;
}

}  // namespace clr
}  // namespace kestrova::dumper::pe
