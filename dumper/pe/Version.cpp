// The version resource: nested blocks of length, value length, type, key,
// value and children, each aligned to four bytes.
#include "dumper/pe/Version.h"

#include <algorithm>
#include <initializer_list>

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Version.h"

namespace kestrova::dumper::pe {

using io::Dec;
using io::Hex;
namespace M = lang::M;
using lang::Msg;

namespace {

constexpr Named kFlagNames[] = {
    {0x01, "DEBUG", Msg(M::VerFlagDebug)},
    {0x02, "PRERELEASE", Msg(M::VerFlagPrerelease)},
    {0x04, "PATCHED", Msg(M::VerFlagPatched)},
    {0x08, "PRIVATEBUILD", Msg(M::VerFlagPrivateBuild)},
    {0x10, "INFOINFERRED", Msg(M::VerFlagInfoInferred)},
    {0x20, "SPECIALBUILD", Msg(M::VerFlagSpecialBuild)},
};

constexpr Named kOsNames[] = {
    {0x00000000, "UNKNOWN", Msg(M::VerOsUnknown)},
    {0x00000001, "WINDOWS16", Msg(M::VerOsWindows16)},
    {0x00000002, "PM16", Msg(M::VerOsPm16)},
    {0x00000003, "PM32", Msg(M::VerOsPm32)},
    {0x00000004, "WINDOWS32", Msg(M::VerOsWindows32)},
    {0x00010000, "DOS", Msg(M::VerOsDos)},
    {0x00010001, "DOS_WINDOWS16", Msg(M::VerOsDosWindows16)},
    {0x00010004, "DOS_WINDOWS32", Msg(M::VerOsDosWindows32)},
    {0x00020000, "OS216", Msg(M::VerOsOs216)},
    {0x00020002, "OS216_PM16", Msg(M::VerOsOs216Pm16)},
    {0x00030000, "OS232", Msg(M::VerOsOs232)},
    {0x00030003, "OS232_PM32", Msg(M::VerOsOs232Pm32)},
    {0x00040000, "NT", Msg(M::VerOsNt)},
    {0x00040004, "NT_WINDOWS32", Msg(M::VerOsNt)},
    {0x00050000, "WINCE", Msg(M::VerOsWinCe)},
};

constexpr Named kTypeNames[] = {
    {0, "UNKNOWN", Msg(M::VerTypeUnknown)},
    {1, "APP", Msg(M::VerTypeApp)},
    {2, "DLL", Msg(M::VerTypeDll)},
    {3, "DRV", Msg(M::VerTypeDrv)},
    {4, "FONT", Msg(M::VerTypeFont)},
    {5, "VXD", Msg(M::VerTypeVxd)},
    {7, "STATIC_LIB", Msg(M::VerTypeStaticLib)},
};

constexpr Named kDriverSubtypes[] = {
    {0x0, "UNKNOWN", Msg(M::VerDrvUnknown)},
    {0x1, "PRINTER", Msg(M::VerDrvPrinter)},
    {0x2, "KEYBOARD", Msg(M::VerDrvKeyboard)},
    {0x3, "LANGUAGE", Msg(M::VerDrvLanguage)},
    {0x4, "DISPLAY", Msg(M::VerDrvDisplay)},
    {0x5, "MOUSE", Msg(M::VerDrvMouse)},
    {0x6, "NETWORK", Msg(M::VerDrvNetwork)},
    {0x7, "SYSTEM", Msg(M::VerDrvSystem)},
    {0x8, "INSTALLABLE", Msg(M::VerDrvInstallable)},
    {0x9, "SOUND", Msg(M::VerDrvSound)},
    {0xA, "COMM", Msg(M::VerDrvComm)},
    {0xB, "INPUTMETHOD", Msg(M::VerDrvInputMethod)},
    {0xC, "VERSIONED_PRINTER", Msg(M::VerDrvVersionedPrinter)},
};

constexpr Named kFontSubtypes[] = {
    {0x0, "UNKNOWN", Msg(M::VerFontUnknown)},
    {0x1, "RASTER", Msg(M::VerFontRaster)},
    {0x2, "VECTOR", Msg(M::VerFontVector)},
    {0x3, "TRUETYPE", Msg(M::VerFontTrueType)},
};

constexpr std::uint32_t kFixedSignature = 0xFEEF04BD;
constexpr std::uint64_t kFixedSize = 52;

std::uint64_t Align4(std::uint64_t v) { return (v + 3) & ~std::uint64_t{3}; }

bool KeyIs(std::span<const std::uint8_t> key, std::string_view ascii) {
  if (key.size() != ascii.size() * 2) return false;
  for (std::size_t i = 0; i < ascii.size(); ++i)
    if (key[2 * i] != static_cast<std::uint8_t>(ascii[i]) || key[2 * i + 1] != 0) return false;
  return true;
}

struct Block {
  bool ok = false;
  bool cut = false;  // its length ran past its parent
  std::uint64_t off = 0, end = 0;
  std::uint16_t valueLength = 0, type = 0;
  std::span<const std::uint8_t> key;
  std::uint64_t value = 0, valueEnd = 0, children = 0;
};

class Reader {
 public:
  Reader(const Context& ctx, const io::Reader& data) : ctx_(ctx), d_(data) {}

  void Warn(std::uint64_t off, lang::Msg m, std::initializer_list<lang::Arg> args = {}) const {
    ctx_.an.AtOffset(Area::Version, d_.Base() + off, lang::Say(ctx_.options.lang, m, args));
  }

  // The block at `off` inside a parent that ends at `parentEnd`.
  Block Read(std::uint64_t off, std::uint64_t parentEnd, bool parentCut) const {
    Block b;
    b.off = off;
    if (!ctx_.budget.Take()) {
      Warn(off, M::VerBudget);
      return b;
    }
    auto length = d_.U16(off);
    if (!length || off + 6 > parentEnd) {
      Warn(off, M::VerHeaderCut);
      return b;
    }
    if (*length < 6) {
      Warn(off, M::VerLengthSmall, {*length});
      return b;
    }
    b.end = off + *length;
    if (b.end > parentEnd) {
      // Inside a parent that was cut, its children running out is the same fault.
      b.cut = true;
      if (!parentCut) Warn(off, M::VerBlockPastParent, {*length});
      b.end = parentEnd;
    }
    if (*length % 2 != 0) Warn(off, M::VerLengthOdd, {*length});
    b.valueLength = *d_.U16(off + 2);
    b.type = *d_.U16(off + 4);
    // The key: UTF-16 up to its NUL, inside the block.
    std::uint64_t k = off + 6;
    while (k + 2 <= b.end && *d_.U16(k) != 0) k += 2;
    if (k + 2 > b.end) {
      if (!b.cut) Warn(off + 6, M::VerKeyNoNul);
      return b;
    }
    b.key = d_.Sub(off + 6, k - off - 6)->Bytes();
    b.value = std::min(Align4(k + 2), b.end);
    if (b.value > k + 2 && *d_.U16(k + 2) != 0)
      Warn(k + 2, M::VerPaddingNotZero);
    std::uint64_t bytes = b.type == 1 ? std::uint64_t{b.valueLength} * 2 : b.valueLength;
    b.valueEnd = b.value + bytes;
    if (b.valueEnd > b.end) {
      if (!b.cut) Warn(b.value, M::VerValuePastBlock, {bytes});
      b.valueEnd = b.end;
    }
    b.children = std::min(Align4(b.valueEnd), b.end);
    b.ok = true;
    return b;
  }

  // Calls `each` for the blocks inside `parent`, from `from` on.
  template <class F>
  void Children(const Block& parent, std::uint64_t from, F each) const {
    std::uint64_t off = from;
    while (off + 6 <= parent.end) {
      if (d_.U16(off) == 0) return;  // zero padding after the last child
      Block c = Read(off, parent.end, parent.cut);
      if (!c.ok) return;
      each(c);
      off = Align4(c.end);
    }
  }

  // A text value: UTF-16 up to its NUL, inside the block.
  std::span<const std::uint8_t> Text(const Block& b) const {
    if (b.valueLength == 0) return {};
    std::uint64_t k = b.value;
    while (k + 2 <= b.end && *d_.U16(k) != 0) k += 2;
    if (k + 2 > b.end && !b.cut) Warn(b.value, M::VerStringNoNul);
    return d_.Sub(b.value, k - b.value)->Bytes();
  }

  const io::Reader& Data() const { return d_; }

 private:
  const Context& ctx_;
  const io::Reader& d_;
};

}  // namespace

VersionInfo ParseVersion(const Context& ctx) {
  VersionInfo v;
  ResourceTree tree = OpenResourceTree(ctx, Area::Version, false);
  if (!tree.present) return v;
  ResourceWalk walk(ctx, tree, Area::Version, ResourceWalk::Mode::Quiet);
  bool found = false;
  constexpr std::size_t kMaxOthers = 64;
  walk.Run(
      [&](const ResourceLeaf& leaf) {
        if (!found) v.leaf = leaf;
        else if (!leaf.lang.named) v.otherLanguages.push_back(leaf.lang.id);
        found = true;
        return v.otherLanguages.size() < kMaxOthers;
      },
      kRtVersion);
  if (!found) return v;
  auto data = ResourceData(ctx, v.leaf, Area::Version, false);
  if (!data) return v;
  v.present = true;
  Reader r(ctx, *data);
  Block root = r.Read(0, data->Size(), data->Size() < v.leaf.size);
  if (!root.ok) return v;
  if (!KeyIs(root.key, "VS_VERSION_INFO"))
    r.Warn(6, M::VerRootKey, {FromUtf16(root.key)});
  if (root.valueLength != 0) {
    if (root.valueLength != kFixedSize)
      r.Warn(2, M::VerFixedSize, {root.valueLength, kFixedSize});
    if (root.value + kFixedSize <= root.end) {
      v.hasFixed = true;
      for (std::size_t i = 0; i < kFixedCount; ++i) v.fixed[i] = *data->U32(root.value + 4 * i);
      if (v.fixed[kSignature] != kFixedSignature)
        r.Warn(root.value, M::VerFixedSignature, {Hex(v.fixed[kSignature]), Hex(kFixedSignature)});
    } else {
      r.Warn(root.value, M::VerFixedPastEnd);
    }
  }
  r.Children(root, root.children, [&](const Block& child) {
    if (KeyIs(child.key, "StringFileInfo")) {
      r.Children(child, child.children, [&](const Block& table) {
        VersionTable t;
        t.key = table.key;
        if (table.key.size() != 16) r.Warn(table.off + 6, M::VerTableKey, {FromUtf16(table.key)});
        r.Children(table, table.children, [&](const Block& s) { t.strings.push_back({s.key, r.Text(s)}); });
        v.tables.push_back(std::move(t));
      });
    } else if (KeyIs(child.key, "VarFileInfo")) {
      r.Children(child, child.children, [&](const Block& var) {
        if (!KeyIs(var.key, "Translation")) return;
        for (std::uint64_t at = var.value; at + 4 <= var.valueEnd; at += 4) v.translations.push_back(*r.Data().U32(at));
      });
    } else {
      r.Warn(child.off, M::VerUnknownBlock, {FromUtf16(child.key)});
    }
  });
  return v;
}

std::span<const Named> VersionFileFlags() { return kFlagNames; }
std::span<const Named> VersionFileOs() { return kOsNames; }
std::span<const Named> VersionFileTypes() { return kTypeNames; }
std::span<const Named> VersionDriverSubtypes() { return kDriverSubtypes; }
std::span<const Named> VersionFontSubtypes() { return kFontSubtypes; }

}  // namespace kestrova::dumper::pe
