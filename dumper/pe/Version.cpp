// The version resource: nested blocks of length, value length, type, key,
// value and children, each aligned to four bytes.
#include "dumper/pe/Version.h"

#include <algorithm>

#include "dumper/io/Format.h"

namespace kestrova::dumper::pe {

using io::Dec;
using io::Hex;

namespace {

constexpr Named kFlagNames[] = {
    {0x01, "DEBUG", "contains debugging information"},
    {0x02, "PRERELEASE", "a development version"},
    {0x04, "PATCHED", "modified from the released file"},
    {0x08, "PRIVATEBUILD", "not built by standard release procedures"},
    {0x10, "INFOINFERRED", "version information created dynamically"},
    {0x20, "SPECIALBUILD", "a variation of the standard release"},
};

constexpr Named kOsNames[] = {
    {0x00000000, "UNKNOWN", "operating system unknown"},
    {0x00000001, "WINDOWS16", "16-bit Windows"},
    {0x00000002, "PM16", "16-bit Presentation Manager"},
    {0x00000003, "PM32", "32-bit Presentation Manager"},
    {0x00000004, "WINDOWS32", "32-bit Windows"},
    {0x00010000, "DOS", "MS-DOS"},
    {0x00010001, "DOS_WINDOWS16", "16-bit Windows on MS-DOS"},
    {0x00010004, "DOS_WINDOWS32", "32-bit Windows on MS-DOS"},
    {0x00020000, "OS216", "16-bit OS/2"},
    {0x00020002, "OS216_PM16", "16-bit Presentation Manager on 16-bit OS/2"},
    {0x00030000, "OS232", "32-bit OS/2"},
    {0x00030003, "OS232_PM32", "32-bit Presentation Manager on 32-bit OS/2"},
    {0x00040000, "NT", "Windows NT"},
    {0x00040004, "NT_WINDOWS32", "Windows NT"},
    {0x00050000, "WINCE", "Windows CE"},
};

constexpr Named kTypeNames[] = {
    {0, "UNKNOWN", "file type unknown"},
    {1, "APP", "application"},
    {2, "DLL", "dynamic-link library"},
    {3, "DRV", "device driver"},
    {4, "FONT", "font"},
    {5, "VXD", "virtual device"},
    {7, "STATIC_LIB", "static-link library"},
};

constexpr Named kDriverSubtypes[] = {
    {0x0, "UNKNOWN", "driver type unknown"},
    {0x1, "PRINTER", "printer driver"},
    {0x2, "KEYBOARD", "keyboard driver"},
    {0x3, "LANGUAGE", "language driver"},
    {0x4, "DISPLAY", "display driver"},
    {0x5, "MOUSE", "mouse driver"},
    {0x6, "NETWORK", "network driver"},
    {0x7, "SYSTEM", "system driver"},
    {0x8, "INSTALLABLE", "installable driver"},
    {0x9, "SOUND", "sound driver"},
    {0xA, "COMM", "communications driver"},
    {0xB, "INPUTMETHOD", "input method driver"},
    {0xC, "VERSIONED_PRINTER", "versioned printer driver"},
};

constexpr Named kFontSubtypes[] = {
    {0x0, "UNKNOWN", "font type unknown"},
    {0x1, "RASTER", "raster font"},
    {0x2, "VECTOR", "vector font"},
    {0x3, "TRUETYPE", "TrueType font"},
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

  void Warn(std::uint64_t off, std::string text) const {
    ctx_.an.AtOffset(Area::Version, d_.Base() + off, std::move(text));
  }

  // The block at `off` inside a parent that ends at `parentEnd`.
  Block Read(std::uint64_t off, std::uint64_t parentEnd, bool parentCut) const {
    Block b;
    b.off = off;
    if (!ctx_.budget.Take()) {
      Warn(off, "version information stopped: the work budget for this file is spent");
      return b;
    }
    auto length = d_.U16(off);
    if (!length || off + 6 > parentEnd) {
      Warn(off, "version block header is cut short by the end of its parent");
      return b;
    }
    if (*length < 6) {
      Warn(off, "version block length " + Dec(*length) + " is too small for its header");
      return b;
    }
    b.end = off + *length;
    if (b.end > parentEnd) {
      // Inside a parent that was cut, its children running out is the same fault.
      b.cut = true;
      if (!parentCut) Warn(off, "version block of " + Dec(*length) + " bytes runs past the end of its parent block; cut");
      b.end = parentEnd;
    }
    if (*length % 2 != 0) Warn(off, "version block length " + Dec(*length) + " is odd");
    b.valueLength = *d_.U16(off + 2);
    b.type = *d_.U16(off + 4);
    // The key: UTF-16 up to its NUL, inside the block.
    std::uint64_t k = off + 6;
    while (k + 2 <= b.end && *d_.U16(k) != 0) k += 2;
    if (k + 2 > b.end) {
      if (!b.cut) Warn(off + 6, "version block key has no terminating NUL inside its block");
      return b;
    }
    b.key = d_.Sub(off + 6, k - off - 6)->Bytes();
    b.value = std::min(Align4(k + 2), b.end);
    if (b.value > k + 2 && *d_.U16(k + 2) != 0)
      Warn(k + 2, "version block's padding after its key is not zero: the padding is missing");
    std::uint64_t bytes = b.type == 1 ? std::uint64_t{b.valueLength} * 2 : b.valueLength;
    b.valueEnd = b.value + bytes;
    if (b.valueEnd > b.end) {
      if (!b.cut) Warn(b.value, "version value of " + Dec(bytes) + " bytes runs past the end of its block; cut");
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
    if (k + 2 > b.end && !b.cut) Warn(b.value, "version string value has no terminating NUL inside its block");
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
    r.Warn(6, "version information's key is \"" + FromUtf16(root.key) + "\", not VS_VERSION_INFO");
  if (root.valueLength != 0) {
    if (root.valueLength != kFixedSize)
      r.Warn(2, "fixed file information is " + Dec(root.valueLength) + " bytes, not " + Dec(kFixedSize));
    if (root.value + kFixedSize <= root.end) {
      v.hasFixed = true;
      for (std::size_t i = 0; i < kFixedCount; ++i) v.fixed[i] = *data->U32(root.value + 4 * i);
      if (v.fixed[kSignature] != kFixedSignature)
        r.Warn(root.value, "fixed file information's signature is " + Hex(v.fixed[kSignature]) + ", not " +
                               Hex(kFixedSignature));
    } else {
      r.Warn(root.value, "fixed file information runs past the end of the version block");
    }
  }
  r.Children(root, root.children, [&](const Block& child) {
    if (KeyIs(child.key, "StringFileInfo")) {
      r.Children(child, child.children, [&](const Block& table) {
        VersionTable t;
        t.key = table.key;
        if (table.key.size() != 16) r.Warn(table.off + 6, "string table key \"" + FromUtf16(table.key) +
                                                              "\" is not eight hex digits");
        r.Children(table, table.children, [&](const Block& s) { t.strings.push_back({s.key, r.Text(s)}); });
        v.tables.push_back(std::move(t));
      });
    } else if (KeyIs(child.key, "VarFileInfo")) {
      r.Children(child, child.children, [&](const Block& var) {
        if (!KeyIs(var.key, "Translation")) return;
        for (std::uint64_t at = var.value; at + 4 <= var.valueEnd; at += 4) v.translations.push_back(*r.Data().U32(at));
      });
    } else {
      r.Warn(child.off, "version block \"" + FromUtf16(child.key) + "\" is neither StringFileInfo nor VarFileInfo");
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
