// The resource tree walk, the resources part's parse, and the decoders of
// the resource kinds that are text.
#include "dumper/pe/Resources.h"

#include <algorithm>

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Resources.h"
#include "dumper/pe/Facts.h"

namespace kestrova::dumper::pe {

using io::Dec;
using io::Hex;
namespace M = lang::M;

namespace {

constexpr std::uint32_t kHigh = 0x80000000u;
constexpr int kLevels = 3;  // type, name, language
constexpr lang::Msg kLevelName[kLevels - 1] = {M::ResTypeLevel, M::ResNameLevel};
constexpr lang::Msg kDirectoryName[kLevels] = {M::ResRootDirectory, M::ResTypeDirectory, M::ResNameDirectory};

// A NUL-terminated UTF-16 string at `off`, at most kMaxName units.
struct Wide {
  std::span<const std::uint8_t> text;
  std::uint64_t next = 0;  // offset after the terminator
  bool ok = false;         // terminator found
};

Wide ReadWide(const io::Reader& r, std::uint64_t off) {
  Wide w;
  std::uint64_t n = 0;
  while (n < kMaxName) {
    auto u = r.U16(off + 2 * n);
    if (!u) break;
    if (*u == 0) {
      w.ok = true;
      break;
    }
    ++n;
  }
  if (auto s = r.Sub(off, 2 * n)) w.text = s->Bytes();
  w.next = off + 2 * n + (w.ok ? 2 : 0);
  return w;
}

std::uint64_t Align4(std::uint64_t v) { return (v + 3) & ~std::uint64_t{3}; }

}  // namespace

// ---------------------------------------------------------------- text

void AppendUtf16(std::string& out, std::span<const std::uint8_t> b) {
  const std::size_t n = b.size() / 2;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t c = b[2 * i] | (std::uint32_t{b[2 * i + 1]} << 8);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n) {
      std::uint32_t d = b[2 * i + 2] | (std::uint32_t{b[2 * i + 3]} << 8);
      if (d >= 0xDC00 && d < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
        ++i;
      }
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
}

std::string FromUtf16(std::span<const std::uint8_t> utf16) {
  std::string s;
  AppendUtf16(s, utf16);
  return s;
}

std::string LanguageText(std::uint32_t langId) {
  char buf[8];
  char* e = io::PutHex(buf, langId, 4);
  std::string s(buf, static_cast<std::size_t>(e - buf));
  if (const Named* n = Find(Languages(), langId)) s.append(" (").append(n->name).append(")");
  return s;
}

// ---------------------------------------------------------------- the tree

ResourceTree OpenResourceTree(const Context& ctx, Area area, bool report) {
  ResourceTree t;
  if (report) {
    DirectoryView d = OpenDirectory(ctx, kDirResource, area, M::ResDirectoryWhat);
    t.rva = d.rva;
    t.size = d.size;
    if (!d.backed) return t;
    t.view = d.data;
  } else {
    if (ctx.h.dirs.size() <= kDirResource) return t;
    t.rva = ctx.h.dirs[kDirResource].rva;
    t.size = ctx.h.dirs[kDirResource].size;
    auto v = t.rva != 0 ? ctx.map.View(t.rva) : std::nullopt;
    if (!v) return t;
    t.view = *v;
  }
  io::Cursor c(t.view, 0);
  t.characteristics = c.U32();
  t.timeDateStamp = c.U32();
  t.majorVersion = c.U16();
  t.minorVersion = c.U16();
  t.present = c.ok();
  return t;
}

void ResourceWalk::Report(std::uint64_t off, lang::Msg m, std::initializer_list<lang::Arg> args) const {
  if (mode_ == Mode::Report) ctx_.an.AtOffset(area_, tree_.view.Base() + off, lang::Say(ctx_.options.lang, m, args));
}

bool ResourceWalk::Step(std::uint64_t at) {
  if (stopped_) return false;
  if (mode_ != Mode::Replay) {
    if (!ctx_.budget.Take()) {
      Report(at, M::ResWalkBudget);
      stopped_ = true;
      return false;
    }
    ++taken_;
    if (mode_ == Mode::Report) tree_.steps = taken_;
    return true;
  }
  if (taken_ >= tree_.steps) {
    stopped_ = true;
    return false;
  }
  ++taken_;
  return true;
}

bool ResourceWalk::Visited(std::uint64_t off) {
  const std::uint32_t key = static_cast<std::uint32_t>(off) + 1;  // offsets are 31-bit
  if ((seenCount_ + 1) * 2 > seen_.size()) {
    std::vector<std::uint32_t> old = std::move(seen_);
    seen_.assign(old.empty() ? 64 : old.size() * 2, 0);
    seenCount_ = 0;
    for (std::uint32_t k : old)
      if (k != 0) Visited(k - 1);
  }
  const std::size_t mask = seen_.size() - 1;
  for (std::size_t i = (key * 2654435761u) & mask;; i = (i + 1) & mask) {
    if (seen_[i] == key) return true;
    if (seen_[i] == 0) {
      seen_[i] = key;
      ++seenCount_;
      return false;
    }
  }
}

ResourceKey ResourceWalk::Key(std::uint32_t field) {
  ResourceKey k;
  k.id = field;
  if (!(field & kHigh)) return k;
  k.named = true;
  const std::uint64_t off = field & ~kHigh;
  auto len = tree_.view.U16(off);
  if (!len) {
    Report(off, M::ResNameOutside);
    return k;
  }
  std::uint64_t units = std::min<std::uint64_t>(*len, kMaxName);
  std::uint64_t have = std::min<std::uint64_t>(units, (tree_.view.Size() - off - 2) / 2);
  if (have < *len)
    Report(off, have < units ? M::ResNamePastEnd : M::ResNameTooLong);
  if (auto s = tree_.view.Sub(off + 2, have * 2)) k.name = s->Bytes();
  return k;
}

bool ResourceWalk::Directory(std::uint64_t off, int level, ResourceLeaf& path,
                             const std::function<bool(const ResourceLeaf&)>& each,
                             std::optional<std::uint16_t> onlyType) {
  if (Visited(off)) {
    Report(off, M::ResDirectoryAgain);
    return true;
  }
  if (!tree_.view.Has(off, 16)) {
    Report(off, M::ResDirectoryOutside);
    return true;
  }
  const std::uint64_t named = *tree_.view.U16(off + 12), ids = *tree_.view.U16(off + 14);
  std::uint64_t count = named + ids;
  const std::uint64_t fit = (tree_.view.Size() - off - 16) / 8;
  if (count > fit) {
    Report(off + 12, M::ResDirectoryClaims, {lang::Text(kDirectoryName[level], ctx_.options.lang), count, fit});
    count = fit;
  }
  if (mode_ == Mode::Report && tree_.size != 0 && off + 16 + count * 8 > tree_.size && !pastSize_) {
    pastSize_ = true;
    Report(off, M::ResDirectoryPastSize, {Hex(tree_.size)});
  }
  bool misplaced = false;  // reported once per directory: a run of zeroed entries is one fault
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t at = off + 16 + i * 8;
    if (!Step(at)) return false;
    const std::uint32_t nameField = *tree_.view.U32(at), target = *tree_.view.U32(at + 4);
    if (level == 0 && onlyType && ((nameField & kHigh) || nameField != *onlyType)) continue;
    ResourceKey key = Key(nameField);
    if (level == 0) path.type = key;
    else if (level == 1) path.name = key;
    else path.lang = key;
    if (target & kHigh) {
      if (level == kLevels - 1) {
        Report(at + 4, M::ResTooDeep);
        continue;
      }
      if (!Directory(target & ~kHigh, level + 1, path, each, onlyType)) return false;
      continue;
    }
    if (level < kLevels - 1) {
      if (!misplaced)
        Report(at + 4, M::ResDataWhereDirectory, {lang::Text(kLevelName[level], ctx_.options.lang)});
      misplaced = true;
      continue;
    }
    if (!tree_.view.Has(target, 16)) {
      Report(at + 4, M::ResDataEntryOutside);
      continue;
    }
    path.entryOffset = tree_.view.Base() + target;
    path.rva = *tree_.view.U32(target);
    path.size = *tree_.view.U32(target + 4);
    path.codePage = *tree_.view.U32(target + 8);
    if (!each(path)) {
      stopped_ = true;
      return false;
    }
  }
  return true;
}

void ResourceWalk::Run(const std::function<bool(const ResourceLeaf&)>& each, std::optional<std::uint16_t> onlyType) {
  if (!tree_.present) return;
  ResourceLeaf path;
  Directory(0, 0, path, each, onlyType);
}

std::optional<io::Reader> ResourceData(const Context& ctx, const ResourceLeaf& leaf, Area area, bool report) {
  auto v = ctx.map.View(leaf.rva);
  if (!v) {
    if (report) ctx.an.AtRva(area, leaf.rva, lang::Say(ctx.options.lang, M::ResDataNotBacked));
    return std::nullopt;
  }
  if (v->Size() < leaf.size) {
    if (report)
      ctx.an.AtRva(area, leaf.rva, lang::Say(ctx.options.lang, M::ResDataCut, {Hex(leaf.size), Hex(v->Size())}));
    return v->Sub(0, v->Size());
  }
  return v->Sub(0, leaf.size);
}

namespace {
bool SameKey(const ResourceKey& a, const ResourceKey& b) {
  return a.named == b.named && (a.named ? std::equal(a.name.begin(), a.name.end(), b.name.begin(), b.name.end())
                                        : a.id == b.id);
}
}  // namespace

ResourceTree ParseResources(const Context& ctx) {
  ResourceTree t = OpenResourceTree(ctx, Area::Resources, true);
  if (!t.present) {
    if (t.rva != 0 && ctx.map.View(t.rva))
      ctx.an.AtRva(Area::Resources, t.rva, lang::Say(ctx.options.lang, M::ResDirectoryCutShort));
    return t;
  }
  ResourceWalk walk(ctx, t, Area::Resources, ResourceWalk::Mode::Report);
  ResourceKey lastType;
  walk.Run([&](const ResourceLeaf& leaf) {
    if (t.entries == 0 || !SameKey(leaf.type, lastType)) ++t.types;
    lastType = leaf.type;
    ++t.entries;
    t.bytes += leaf.size;
    ResourceData(ctx, leaf, Area::Resources, true);
    if (ctx.facts) NoteResource(ctx.facts->marks, leaf);
    return true;
  });
  if (ctx.facts) ctx.facts->resources = t.entries;
  return t;
}

// ---------------------------------------------------------------- decoders

void DecodeStringTable(const Context& ctx, const io::Reader& data, std::uint32_t block, Area area,
                       const std::function<void(const StringItem&)>& each) {
  if (block == 0 || block > 4096) {
    ctx.an.AtOffset(area, data.Base(), lang::Say(ctx.options.lang, M::ResStringBlockRange, {block}));
    return;
  }
  std::uint64_t off = 0;
  for (std::uint32_t i = 0; i < 16; ++i) {
    auto len = data.U16(off);
    if (!len) {
      ctx.an.AtOffset(area, data.Base() + off, lang::Say(ctx.options.lang, M::ResStringBlockEnds, {i}));
      return;
    }
    off += 2;
    std::uint64_t bytes = std::uint64_t{*len} * 2;
    if (!data.Has(off, bytes)) {
      ctx.an.AtOffset(area, data.Base() + off, lang::Say(ctx.options.lang, M::ResStringPastBlock, {(block - 1) * 16 + i}));
      bytes = (data.Size() - off) & ~std::uint64_t{1};
      if (bytes) each({(block - 1) * 16 + i, data.Sub(off, bytes)->Bytes()});
      return;
    }
    if (bytes) each({(block - 1) * 16 + i, data.Sub(off, bytes)->Bytes()});
    off += bytes;
  }
}

void DecodeMessageTable(const Context& ctx, const io::Reader& data, Area area,
                        const std::function<bool(const MessageItem&)>& each) {
  auto blocks = data.U32(0);
  if (!blocks) {
    ctx.an.AtOffset(area, data.Base(), lang::Say(ctx.options.lang, M::ResMessageShort));
    return;
  }
  std::uint64_t nb = *blocks;
  if (nb > (data.Size() - 4) / 12) {
    nb = (data.Size() - 4) / 12;
    ctx.an.AtOffset(area, data.Base(), lang::Say(ctx.options.lang, M::ResMessageClaims, {*blocks, nb}));
  }
  for (std::uint64_t b = 0; b < nb; ++b) {
    io::Cursor c(data, 4 + b * 12);
    MessageItem range;
    range.range = true;
    range.low = c.U32();
    range.high = c.U32();
    std::uint64_t off = c.U32();
    if (range.low > range.high) {
      ctx.an.AtOffset(area, data.Base() + 4 + b * 12, lang::Say(ctx.options.lang, M::ResMessageLowAboveHigh));
      continue;
    }
    if (!each(range)) return;
    for (std::uint64_t id = range.low; id <= range.high; ++id) {
      auto len = data.U16(off);
      auto flags = data.U16(off + 2);
      if (!len || !flags || *len < 4 || !data.Has(off, *len)) {
        ctx.an.AtOffset(area, data.Base() + off, lang::Say(ctx.options.lang, M::ResMessagePastEnd, {Hex(id)}));
        break;
      }
      if (!ctx.budget.Take()) {
        ctx.an.AtOffset(area, data.Base() + off, lang::Say(ctx.options.lang, M::ResMessageBudget));
        return;
      }
      MessageItem m;
      m.low = m.high = static_cast<std::uint32_t>(id);
      m.unicode = (*flags & 1) != 0;
      std::span<const std::uint8_t> t = data.Sub(off + 4, *len - 4u)->Bytes();
      if (m.unicode) {
        t = t.first(t.size() & ~std::size_t{1});
        while (t.size() >= 2 && t[t.size() - 1] == 0 &&
               (t[t.size() - 2] == 0 || t[t.size() - 2] == '\r' || t[t.size() - 2] == '\n'))
          t = t.first(t.size() - 2);
      } else {
        while (!t.empty() && (t.back() == 0 || t.back() == '\r' || t.back() == '\n')) t = t.first(t.size() - 1);
      }
      m.text = t;
      if (!each(m)) return;
      off += *len;
    }
  }
}

void DecodeGroupIcon(const Context& ctx, const io::Reader& data, bool cursor, Area area,
                     const std::function<void(const GroupIconItem&)>& each) {
  io::Cursor h(data, 0);
  h.U16();
  std::uint16_t type = h.U16();
  std::uint64_t count = h.U16();
  if (!h.ok()) {
    ctx.an.AtOffset(area, data.Base(), lang::Say(ctx.options.lang, M::ResIconHeaderCut));
    return;
  }
  if (type != (cursor ? 2 : 1))
    ctx.an.AtOffset(area, data.Base() + 2,
                    lang::Say(ctx.options.lang, cursor ? M::ResCursorGroupType : M::ResIconGroupType, {type}));
  if (count > (data.Size() - 6) / 14) {
    ctx.an.AtOffset(area, data.Base() + 4,
                    lang::Say(ctx.options.lang, M::ResIconClaims, {count, (data.Size() - 6) / 14}));
    count = (data.Size() - 6) / 14;
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    io::Cursor c(data, 6 + i * 14);
    GroupIconItem g;
    if (cursor) {
      g.width = c.U16();
      g.height = c.U16();
    } else {
      g.width = c.U8();
      g.height = c.U8();
      g.colors = c.U8();
      c.U8();
      if (g.width == 0) g.width = 256;
      if (g.height == 0) g.height = 256;
    }
    g.planes = c.U16();
    g.bitCount = c.U16();
    g.bytes = c.U32();
    g.id = c.U16();
    each(g);
  }
}

void DecodeAccelerators(const Context& ctx, const io::Reader& data, Area area,
                        const std::function<void(const AcceleratorItem&)>& each) {
  for (std::uint64_t off = 0;; off += 8) {
    if (!data.Has(off, 8)) {
      ctx.an.AtOffset(area, data.Base() + off, lang::Say(ctx.options.lang, M::ResAcceleratorNoEnd));
      return;
    }
    AcceleratorItem a{*data.U16(off), *data.U16(off + 2), *data.U16(off + 4)};
    each(a);
    if (a.flags & 0x80) return;
  }
}

namespace {

// A name-or-number field of dialog templates: 0 (none), FFFF + number, or a string.
struct NameOrNumber {
  std::span<const std::uint8_t> text;
  bool number = false;
  std::uint32_t value = 0;
  std::uint64_t next = 0;
  bool ok = true;
};

NameOrNumber ReadNameOrNumber(const io::Reader& r, std::uint64_t off) {
  NameOrNumber n;
  auto u = r.U16(off);
  if (!u) {
    n.ok = false;
    n.next = off;
    return n;
  }
  if (*u == 0) {
    n.next = off + 2;
    return n;
  }
  if (*u == 0xFFFF) {
    auto v = r.U16(off + 2);
    n.number = true;
    n.value = v.value_or(0);
    n.ok = v.has_value();
    n.next = off + 4;
    return n;
  }
  Wide w = ReadWide(r, off);
  n.text = w.text;
  n.ok = w.ok;
  n.next = w.next;
  return n;
}

}  // namespace

void DecodeDialog(const Context& ctx, const io::Reader& data, Area area, const std::function<bool(const UiItem&)>& each) {
  const bool ex = data.U16(0) == 1 && data.U16(2) == 0xFFFF;
  io::Cursor c(data, 0);
  std::uint32_t style;
  if (ex) {
    c.Skip(8);
    c.U32();  // extended style
    style = c.U32();
  } else {
    style = c.U32();
    c.U32();
  }
  std::uint64_t count = c.U16();
  c.Skip(8);  // geometry
  auto cut = [&](std::uint64_t off) {
    ctx.an.AtOffset(area, data.Base() + off, lang::Say(ctx.options.lang, M::ResDialogCut));
  };
  if (!c.ok()) return cut(0);
  NameOrNumber menu = ReadNameOrNumber(data, c.Offset());
  NameOrNumber cls = ReadNameOrNumber(data, menu.next);
  NameOrNumber title = ReadNameOrNumber(data, cls.next);
  if (!menu.ok || !cls.ok || !title.ok) return cut(title.next);
  UiItem cap;
  cap.kind = UiItem::Caption;
  cap.text = title.text;
  if (!each(cap)) return;
  std::uint64_t off = title.next;
  if (style & 0x40) {  // DS_SETFONT: size (and for the extended form weight, italic, charset), then the face
    UiItem font;
    font.kind = UiItem::Font;
    font.points = data.U16(off).value_or(0);
    off += ex ? 6 : 2;
    Wide face = ReadWide(data, off);
    if (!face.ok) return cut(off);
    font.text = face.text;
    off = face.next;
    if (!each(font)) return;
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    off = Align4(off);
    io::Cursor ic(data, off);
    UiItem item;
    item.kind = UiItem::Control;
    item.hasId = true;
    if (ex) {
      ic.Skip(12);  // help id, extended style, style
      ic.Skip(8);
      item.id = ic.U32();
    } else {
      ic.Skip(8);
      ic.Skip(8);
      item.id = ic.U16();
    }
    NameOrNumber icls = ReadNameOrNumber(data, ic.Offset());
    NameOrNumber ititle = ReadNameOrNumber(data, icls.next);
    auto extra = data.U16(ititle.next);
    if (!ic.ok() || !icls.ok || !ititle.ok || !extra) {
      ctx.an.AtOffset(area, data.Base() + off, lang::Say(ctx.options.lang, M::ResDialogEnds, {i, count}));
      return;
    }
    if (!ctx.budget.Take()) return;
    item.className = icls.text;
    item.classOrdinal = icls.number ? icls.value : 0;
    item.text = ititle.text;
    item.textIsOrdinal = ititle.number;
    item.ordinal = ititle.value;
    if (!each(item)) return;
    off = ititle.next + 2 + *extra;
  }
}

void DecodeMenu(const Context& ctx, const io::Reader& data, Area area, const std::function<bool(const UiItem&)>& each) {
  auto version = data.U16(0), header = data.U16(2);
  if (!version || !header) {
    ctx.an.AtOffset(area, data.Base(), lang::Say(ctx.options.lang, M::ResMenuCut));
    return;
  }
  const bool ex = *version == 1;
  if (*version > 1) {
    ctx.an.AtOffset(area, data.Base(), lang::Say(ctx.options.lang, M::ResMenuVersion, {*version}));
    return;
  }
  constexpr int kMaxDepth = 16;
  std::uint64_t off = 4 + *header;
  int depth = 0;
  // Each level ends with an item marked last; a popup opens the next level.
  std::vector<bool> open;
  for (;;) {
    if (!ctx.budget.Take()) return;
    std::uint16_t flags;
    UiItem item;
    item.depth = depth;
    bool popup, last;
    if (ex) {
      off = Align4(off);
      io::Cursor c(data, off);
      std::uint32_t type = c.U32();
      c.U32();
      item.id = c.U32();
      flags = c.U16();
      Wide t = ReadWide(data, c.Offset());
      if (!c.ok() || !t.ok) break;
      item.text = t.text;
      off = t.next;
      popup = (flags & 0x01) != 0;
      last = (flags & 0x80) != 0;
      if (popup) off = Align4(off) + 4;  // help id
      item.kind = popup ? UiItem::Popup : (type & 0x800) ? UiItem::Separator : UiItem::MenuItem;
      item.hasId = !popup || item.id != 0;
    } else {
      auto f = data.U16(off);
      if (!f) break;
      flags = *f;
      off += 2;
      popup = (flags & 0x10) != 0;
      last = (flags & 0x80) != 0;
      if (!popup) {
        auto id = data.U16(off);
        if (!id) break;
        item.id = *id;
        item.hasId = true;
        off += 2;
      }
      Wide t = ReadWide(data, off);
      if (!t.ok) break;
      item.text = t.text;
      off = t.next;
      item.kind = popup ? UiItem::Popup
                        : (item.id == 0 && t.text.empty() && (flags & ~0x80u) == 0) || (flags & 0x800) ? UiItem::Separator
                                                                                                       : UiItem::MenuItem;
    }
    if (!each(item)) return;
    if (popup) {
      if (depth + 1 >= kMaxDepth) {
        ctx.an.AtOffset(area, data.Base() + off, lang::Say(ctx.options.lang, M::ResMenuDeep, {kMaxDepth}));
        return;
      }
      open.push_back(last);
      ++depth;
      continue;
    }
    while (last) {
      if (open.empty()) return;  // the top level's last item: the menu is complete
      last = open.back();
      open.pop_back();
      --depth;
    }
  }
  ctx.an.AtOffset(area, data.Base() + off, lang::Say(ctx.options.lang, M::ResMenuNoLast));
}

}  // namespace kestrova::dumper::pe
