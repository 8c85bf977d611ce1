// The load configuration structure and the guard tables it points at.
#include "dumper/pe/LoadConfig.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "dumper/io/Format.h"
#include "dumper/pe/Facts.h"
#include "dumper/lang/catalog/Common.h"
#include "dumper/lang/catalog/LoadConfig.h"

namespace kestrova::dumper::pe {

using io::Hex;
namespace M = lang::M;

namespace {

constexpr Named kGuardFlags[] = {
    {0x00000100, "CF_INSTRUMENTED", Gloss(M::LcGfCfInstrumented)},
    {0x00000200, "CFW_INSTRUMENTED", Gloss(M::LcGfCfwInstrumented)},
    {0x00000400, "CF_FUNCTION_TABLE_PRESENT", Gloss(M::LcGfCfFunctionTable)},
    {0x00000800, "SECURITY_COOKIE_UNUSED", Gloss(M::LcGfCookieUnused)},
    {0x00001000, "PROTECT_DELAYLOAD_IAT", Gloss(M::LcGfProtectDelayIat)},
    {0x00002000, "DELAYLOAD_IAT_IN_ITS_OWN_SECTION", Gloss(M::LcGfDelayIatSection)},
    {0x00004000, "CF_EXPORT_SUPPRESSION_INFO_PRESENT", Gloss(M::LcGfExportSuppressionInfo)},
    {0x00008000, "CF_ENABLE_EXPORT_SUPPRESSION", Gloss(M::LcGfExportSuppression)},
    {0x00010000, "CF_LONGJUMP_TABLE_PRESENT", Gloss(M::LcGfLongJumpTable)},
    {0x00020000, "RF_INSTRUMENTED", Gloss(M::LcGfRfInstrumented)},
    {0x00040000, "RF_ENABLE", Gloss(M::LcGfRfEnable)},
    {0x00080000, "RF_STRICT", Gloss(M::LcGfRfStrict)},
    {0x00100000, "RETPOLINE_PRESENT", Gloss(M::LcGfRetpoline)},
    {0x00400000, "EH_CONTINUATION_TABLE_PRESENT", Gloss(M::LcGfEhContTable)},
    {0x00800000, "XFG_ENABLED", Gloss(M::LcGfXfg)},
    {0x01000000, "CASTGUARD_PRESENT", Gloss(M::LcGfCastGuard)},
    {0x02000000, "MEMCPY_PRESENT", Gloss(M::LcGfMemcpy)},
};

constexpr Named kGuardEntryFlags[] = {
    {0x01, "FID_SUPPRESSED", Gloss(M::LcGeSuppressed)},
    {0x02, "EXPORT_SUPPRESSED", Gloss(M::LcGeExportSuppressed)},
    {0x04, "FID_LANGEXCPTHANDLER", Gloss(M::LcGeLangExceptionHandler)},
    {0x08, "FID_XFG", Gloss(M::LcGeXfg)},
};

constexpr Named kDependentLoadFlags[] = {
    {0x0100, "SEARCH_DLL_LOAD_DIR", Gloss(M::LcDlDllLoadDir)},
    {0x0200, "SEARCH_APPLICATION_DIR", Gloss(M::LcDlApplicationDir)},
    {0x0400, "SEARCH_USER_DIRS", Gloss(M::LcDlUserDirs)},
    {0x0800, "SEARCH_SYSTEM32", Gloss(M::LcDlSystem32)},
    {0x1000, "SEARCH_DEFAULT_DIRS", Gloss(M::LcDlDefaultDirs)},
    {0x4000, "SEARCH_SYSTEM32_NO_FORWARDER", Gloss(M::LcDlSystem32NoForwarder)},
};
std::span<const Named> DependentLoadFlagNames() { return kDependentLoadFlags; }

using K = FieldKind;
constexpr FieldDef kLoadConfig[] = {
    {"Size", 0, 0, 4, 4, K::Size},
    {"TimeDateStamp", 4, 4, 4, 4, K::Stamp},
    {"MajorVersion", 8, 8, 2, 2, K::Dec},
    {"MinorVersion", 10, 10, 2, 2, K::Dec},
    {"GlobalFlagsClear", 12, 12, 4, 4, K::Hex},
    {"GlobalFlagsSet", 16, 16, 4, 4, K::Hex},
    {"CriticalSectionDefaultTimeout", 20, 20, 4, 4, K::Dec},
    {"DeCommitFreeBlockThreshold", 24, 24, 4, 8, K::Size},
    {"DeCommitTotalFreeThreshold", 28, 32, 4, 8, K::Size},
    {"LockPrefixTable", 32, 40, 4, 8, K::Va},
    {"MaximumAllocationSize", 36, 48, 4, 8, K::Size},
    {"VirtualMemoryThreshold", 40, 56, 4, 8, K::Size},
    {"ProcessHeapFlags", 44, 72, 4, 4, K::Hex},
    {"ProcessAffinityMask", 48, 64, 4, 8, K::Hex},
    {"CSDVersion", 52, 76, 2, 2, K::Hex},
    {"DependentLoadFlags", 54, 78, 2, 2, K::Flags, &DependentLoadFlagNames},
    {"EditList", 56, 80, 4, 8, K::Va},
    {"SecurityCookie", 60, 88, 4, 8, K::Va},
    {"SEHandlerTable", 64, 96, 4, 8, K::Va},
    {"SEHandlerCount", 68, 104, 4, 8, K::Dec},
    {"GuardCFCheckFunctionPointer", 72, 112, 4, 8, K::Va},
    {"GuardCFDispatchFunctionPointer", 76, 120, 4, 8, K::Va},
    {"GuardCFFunctionTable", 80, 128, 4, 8, K::Va},
    {"GuardCFFunctionCount", 84, 136, 4, 8, K::Dec},
    {"GuardFlags", 88, 144, 4, 4, K::Special},
    {"CodeIntegrity.Flags", 92, 148, 2, 2, K::Hex},
    {"CodeIntegrity.Catalog", 94, 150, 2, 2, K::Hex},
    {"CodeIntegrity.CatalogOffset", 96, 152, 4, 4, K::Hex},
    {"CodeIntegrity.Reserved", 100, 156, 4, 4, K::Hex},
    {"GuardAddressTakenIatEntryTable", 104, 160, 4, 8, K::Va},
    {"GuardAddressTakenIatEntryCount", 108, 168, 4, 8, K::Dec},
    {"GuardLongJumpTargetTable", 112, 176, 4, 8, K::Va},
    {"GuardLongJumpTargetCount", 116, 184, 4, 8, K::Dec},
    {"DynamicValueRelocTable", 120, 192, 4, 8, K::Va},
    {"CHPEMetadataPointer", 124, 200, 4, 8, K::Va},
    {"GuardRFFailureRoutine", 128, 208, 4, 8, K::Va},
    {"GuardRFFailureRoutineFunctionPointer", 132, 216, 4, 8, K::Va},
    {"DynamicValueRelocTableOffset", 136, 224, 4, 4, K::Hex},
    {"DynamicValueRelocTableSection", 140, 228, 2, 2, K::Dec},
    {"Reserved2", 142, 230, 2, 2, K::Hex},
    {"GuardRFVerifyStackPointerFunctionPointer", 144, 232, 4, 8, K::Va},
    {"HotPatchTableOffset", 148, 240, 4, 4, K::Hex},
    {"Reserved3", 152, 244, 4, 4, K::Hex},
    {"EnclaveConfigurationPointer", 156, 248, 4, 8, K::Va},
    {"VolatileMetadataPointer", 160, 256, 4, 8, K::Va},
    {"GuardEHContinuationTable", 164, 264, 4, 8, K::Va},
    {"GuardEHContinuationCount", 168, 272, 4, 8, K::Dec},
    {"GuardXFGCheckFunctionPointer", 172, 280, 4, 8, K::Va},
    {"GuardXFGDispatchFunctionPointer", 176, 288, 4, 8, K::Va},
    {"GuardXFGTableDispatchFunctionPointer", 180, 296, 4, 8, K::Va},
    {"CastGuardOsDeterminedFailureMode", 184, 304, 4, 8, K::Va},
    {"GuardMemcpyFunctionPointer", 188, 312, 4, 8, K::Va},
};
static_assert(std::size(kLoadConfig) == kLcFieldCount);

bool ToRva(const Context& ctx, std::uint64_t va, std::uint64_t& rva) {
  const std::uint64_t base = ctx.h.opt.imageBase;
  if (va < base || va - base > UINT32_MAX) return false;
  rva = va - base;
  return true;
}

// Opens the table whose VA and count are fields `vaField` and `vaField + 1`.
GuardTable OpenTable(const Context& ctx, const FieldBlock& b, std::size_t vaField, std::uint32_t stride,
                     lang::Msg whatMsg, bool sorted) {
  GuardTable t;
  const lang::Lang l = ctx.options.lang;
  t.stride = stride;
  if (!b.Has(vaField) || !b.Has(vaField + 1)) return t;
  const std::uint64_t va = b[vaField];
  t.count = b[vaField + 1];
  const std::uint64_t at = b.offset + b.defs[vaField].Offset(b.wide);
  if (va == 0 && t.count == 0) return t;
  const std::string what = lang::Say(l, whatMsg);
  if (va == 0) {
    ctx.an.AtOffset(Area::LoadConfig, at, lang::Say(l, M::LcTableCountNoAddress, {what, t.count}));
    return t;
  }
  if (t.count == 0) return t;
  std::uint64_t rva = 0;
  if (!ToRva(ctx, va, rva)) {
    ctx.an.AtOffset(Area::LoadConfig, at, lang::Say(l, M::LcTableOutside, {what, Hex(va)}));
    return t;
  }
  auto view = ctx.map.View(rva);
  if (!view) {
    ctx.an.AtRva(Area::LoadConfig, rva, lang::Say(l, M::NotBacked, {what}));
    return t;
  }
  std::uint64_t fit = std::min(t.count, view->Size() / stride);
  if (fit < t.count)
    ctx.an.AtRva(Area::LoadConfig, rva, lang::Say(l, M::LcTableHolds, {what, fit, t.count}));
  if (!ctx.budget.Take(fit)) {
    ctx.an.AtRva(Area::LoadConfig, rva, lang::Say(l, M::LcTableBudget, {what}));
    return t;
  }
  t.listed = fit;
  t.view = *view->Sub(0, fit * stride);
  // The loader looks targets up by binary search, so an unsorted table loses some.
  std::uint32_t previous = 0;
  bool unsortedSeen = false;
  for (std::uint64_t i = 0; i < fit; ++i) {
    std::uint32_t r = *t.view.U32(i * stride);
    if (!ctx.map.InImage(r))
      ctx.an.AtOffset(Area::LoadConfig, t.view.Base() + i * stride,
                      lang::Say(l, M::LcTableEntryOutside, {what, i + 1, Hex(r)}));
    if (sorted && i != 0 && r < previous && !unsortedSeen) {
      ctx.an.AtOffset(Area::LoadConfig, t.view.Base() + i * stride,
                      lang::Say(l, M::LcTableUnsorted, {what, i + 1}));
      unsortedSeen = true;
    }
    previous = r;
  }
  return t;
}

}  // namespace

std::span<const FieldDef> LoadConfigLayout() { return kLoadConfig; }
std::span<const Named> GuardFlagNames() { return kGuardFlags; }
std::span<const Named> GuardEntryFlagNames() { return kGuardEntryFlags; }

LoadConfig ParseLoadConfig(const Context& ctx) {
  LoadConfig lc;
  const lang::Lang l = ctx.options.lang;
  DirectoryView dir = OpenDirectory(ctx, kDirLoadConfig, Area::LoadConfig, M::LcWhatDirectory);
  lc.rva = dir.rva;
  lc.size = dir.size;
  if (!dir.backed) return lc;
  auto size = dir.data.U32(0);
  if (!size) {
    ctx.an.AtOffset(Area::LoadConfig, dir.data.Base(), lang::Say(l, M::LcCutBeforeSize));
    return lc;
  }
  lc.present = true;
  const bool wide = ctx.h.opt.pe32plus;
  // The structure's own Size says which fields it has; a Size below 4 still has the Size.
  lc.fields = ReadFields(dir.data, 0, kLoadConfig, wide, std::max<std::uint64_t>(*size, 4));
  const FieldBlock& b = lc.fields;
  if (*size < 4)
    ctx.an.AtOffset(Area::LoadConfig, b.offset, lang::Say(l, M::LcSizeTooSmall, {*size}));
  if (b.available < b.holds)
    ctx.an.AtOffset(Area::LoadConfig, b.offset + b.available,
                    lang::Say(l, M::LcSizePastSection, {Hex(*size)}));

  if (b.Has(kLcSecurityCookie) && b[kLcSecurityCookie] != 0) {
    std::uint64_t rva = 0;
    auto view = ToRva(ctx, b[kLcSecurityCookie], rva) ? ctx.map.View(rva) : std::nullopt;
    if (view && view->Has(0, wide ? 8 : 4)) {
      lc.cookieRead = true;
      lc.cookie = wide ? *view->U64(0) : *view->U32(0);
    } else {
      ctx.an.AtOffset(Area::LoadConfig, b.offset + kLoadConfig[kLcSecurityCookie].Offset(wide),
                      lang::Say(l, M::LcCookieNoData, {Hex(b[kLcSecurityCookie])}));
    }
  }
  // Only the function table's entries grow by the stride; the linkers write
  // the other tables' entries at fixed sizes.
  const std::uint32_t stride =
      4 + (b.Has(kLcGuardFlags) ? static_cast<std::uint32_t>((b[kLcGuardFlags] & kGuardStrideMask) >> kGuardStrideShift)
                                : 0);
  if (!wide) lc.seh = OpenTable(ctx, b, kLcSehTable, 4, M::LcWhatSeh, true);
  lc.cf = OpenTable(ctx, b, kLcCfTable, stride, M::LcWhatCf, true);
  lc.iat = OpenTable(ctx, b, kLcIatTable, 4, M::LcWhatIat, false);
  lc.longJump = OpenTable(ctx, b, kLcLongJumpTable, 4, M::LcWhatLongJump, false);
  lc.ehCont = OpenTable(ctx, b, kLcEhContTable, 5, M::LcWhatEhCont, false);
  if (Facts* f = ctx.facts) {
    f->loadConfig = true;
    f->gsCookie = b.Has(kLcSecurityCookie) && b[kLcSecurityCookie] != 0;
    f->sehTable = !wide && b.Has(kLcSehTable) && b[kLcSehTable] != 0;
    f->sehHandlers = lc.seh.count;
    f->guardFlags = b.Has(kLcGuardFlags) ? static_cast<std::uint32_t>(b[kLcGuardFlags]) : 0;
  }
  return lc;
}

GuardEntry GuardEntryAt(const GuardTable& t, std::uint64_t i) {
  GuardEntry e;
  const std::uint64_t at = i * t.stride;
  e.rva = t.view.U32(at).value_or(0);
  if (t.stride > 4 && t.view.Has(at, t.stride)) {
    e.extraCount = std::min<std::uint32_t>(t.stride - 4, static_cast<std::uint32_t>(e.extra.size()));
    for (std::uint32_t k = 0; k < e.extraCount; ++k) e.extra[k] = *t.view.U8(at + 4 + k);
  }
  return e;
}

}  // namespace kestrova::dumper::pe
