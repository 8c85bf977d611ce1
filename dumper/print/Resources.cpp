// The resource tree: one line per resource, and the kinds that hold text a
// reader wants (strings, messages, dialogs, menus, accelerators, icon groups)
// decoded beneath it.
#include "dumper/pe/Resources.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

void PrintResources(Printer& o, const pe::ResourceTree& t, const pe::Context& ctx);

using namespace pe;

namespace {

constexpr std::size_t kNameCol = 17, kLangCol = 33, kDataCol = 57;
constexpr std::size_t kShownBytes = 16;

void ResKey(Printer& o, const ResourceKey& k, bool isType) {
  if (k.named) {
    o.Name(FromUtf16(k.name));
    return;
  }
  if (isType)
    if (const Named* n = Find(ResourceTypes(), k.id)) {
      o.Text(n->name);
      return;
    }
  o.Ch('#').Dec(k.id);
}

void Quoted(Printer& o, std::span<const std::uint8_t> utf16) {
  o.Ch('"').Name(FromUtf16(utf16)).Ch('"');
}

void Indent(Printer& o, int depth) {
  o.Text("      ");
  for (int i = 0; i < depth; ++i) o.Text("  ");
}

void Key(Printer& o, std::uint16_t key, std::uint16_t flags) {
  if (flags & 0x10) o.Text("Alt+");
  if (flags & 0x08) o.Text("Ctrl+");
  if (flags & 0x04) o.Text("Shift+");
  if (flags & 0x01) {
    if ((key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z')) o.Ch(static_cast<char>(key));
    else if (key >= 0x70 && key <= 0x87) o.Ch('F').Dec(key - 0x6Fu);
    else o.Text("virtual key ").Hex(key, 2);
  } else if (key < 0x20) {
    o.Ch('^').Ch(static_cast<char>(key + 0x40));
  } else if (key < 0x7F) {
    o.Ch('\'').Ch(static_cast<char>(key)).Ch('\'');
  } else {
    o.Text("character ").Hex(key, 4);
  }
}

std::string_view ControlClass(std::uint32_t ordinal) {
  static constexpr std::string_view kClasses[] = {"Button", "Edit", "Static", "ListBox", "ScrollBar", "ComboBox"};
  if (ordinal >= 0x80 && ordinal <= 0x85) return kClasses[ordinal - 0x80];
  return {};
}

void UiLine(Printer& o, const UiItem& u) {
  Indent(o, u.depth);
  switch (u.kind) {
    case UiItem::Caption:
      o.Text("caption ");
      Quoted(o, u.text);
      break;
    case UiItem::Font:
      o.Text("font ").Dec(u.points).Text(" pt ");
      Quoted(o, u.text);
      break;
    case UiItem::Control: {
      o.Text("id ").Dec(u.id).Text("  ");
      if (!u.className.empty()) o.Name(FromUtf16(u.className));
      else if (std::string_view c = ControlClass(u.classOrdinal); !c.empty()) o.Text(c);
      else o.Text("class #").Dec(u.classOrdinal);
      o.Text("  ");
      if (u.textIsOrdinal) o.Text("resource #").Dec(u.ordinal);
      else Quoted(o, u.text);
      break;
    }
    case UiItem::Popup:
      o.Text("popup ");
      Quoted(o, u.text);
      if (u.hasId) o.Text("  id ").Dec(u.id);
      break;
    case UiItem::Separator:
      o.Text("separator");
      break;
    case UiItem::MenuItem:
      o.Text("id ").Dec(u.id).Text("  ");
      Quoted(o, u.text);
      break;
  }
  o.Nl();
}

// What the resource holds, under its line: decoded for the kinds that are text,
// the first bytes otherwise.
void Contents(Printer& o, const ResourceLeaf& leaf, const io::Reader& data, const Context& ctx) {
  const Area a = Area::Resources;
  const std::uint32_t type = leaf.type.named ? 0 : leaf.type.id;
  auto ui = [&](const UiItem& u) {
    UiLine(o, u);
    return !o.Exhausted();
  };
  switch (type) {
    case kRtString:
      if (leaf.name.named) {
        ctx.an.AtOffset(a, leaf.entryOffset, "string table block has a name, not a number");
        break;
      }
      DecodeStringTable(ctx, data, leaf.name.id, a, [&](const StringItem& s) {
        Indent(o, 0);
        o.Text("id ").Dec(s.id).Text("  ");
        Quoted(o, s.text);
        o.Nl();
      });
      return;
    case kRtMessageTable:
      DecodeMessageTable(ctx, data, a, [&](const MessageItem& m) {
        Indent(o, 0);
        if (m.range) {
          o.Text("block of ids ").Hex(m.low, 8).Text("..").Hex(m.high, 8);
        } else {
          o.Text("id ").Hex(m.low, 8).Text(m.unicode ? "  " : "  (ANSI) ").Ch('"');
          if (m.unicode) o.Name(FromUtf16(m.text));
          else o.Name(std::string_view(reinterpret_cast<const char*>(m.text.data()), m.text.size()));
          o.Ch('"');
        }
        o.Nl();
        return !o.Exhausted();
      });
      return;
    case kRtGroupIcon:
    case kRtGroupCursor: {
      const bool cursor = type == kRtGroupCursor;
      DecodeGroupIcon(ctx, data, cursor, a, [&](const GroupIconItem& g) {
        Indent(o, 0);
        o.Text(cursor ? "cursor #" : "icon #").Dec(g.id).Text("  ").Dec(g.width).Ch('x').Dec(g.height);
        o.Text("  ").Dec(g.bitCount).Text(" bpp");
        if (g.colors != 0) o.Text("  ").Dec(g.colors).Text(" colours");
        o.Text("  ").Dec(g.bytes).Text(" bytes");
        o.Nl();
      });
      return;
    }
    case kRtAccelerator:
      DecodeAccelerators(ctx, data, a, [&](const AcceleratorItem& k) {
        Indent(o, 0);
        o.Text("id ").Dec(k.id).Text("  ");
        Key(o, k.key, k.flags);
        if (k.flags & 0x7Fu) {
          o.Text("  (");
          FlagWords(o, {}, k.flags & 0x7Fu, AcceleratorFlags(), "");
          o.Ch(')');
        }
        o.Nl();
      });
      return;
    case kRtDialog:
      DecodeDialog(ctx, data, a, ui);
      return;
    case kRtMenu:
      DecodeMenu(ctx, data, a, ui);
      return;
    default:
      break;
  }
  if (data.Size() == 0) return;
  Indent(o, 0);
  HexBytes(o, {}, data.Bytes(), kShownBytes);
  if (data.Size() > kShownBytes) o.Text(" ...");
  o.Nl();
}

}  // namespace

void PrintResources(Printer& o, const ResourceTree& t, const Context& ctx) {
  if (!t.present) return;
  o.Text("  ");
  Count(o, {}, t.types, "type", "types");
  o.Text(", ");
  Count(o, {}, t.entries, "resource", "resources");
  o.Text(", ");
  Count(o, {}, t.bytes, "byte of data", "bytes of data");
  o.Nl();
  Field(o, "Directory").Text("RVA ").Hex(t.rva, 8).Text(", size ").Hex(t.size, 8);
  InSection(o, ctx, t.rva);
  o.Nl();
  DirectoryStamp(o, t.characteristics, t.timeDateStamp, t.majorVersion, t.minorVersion);

  ResourceTree replay = t;
  ResourceWalk walk(ctx, replay, Area::Resources, ResourceWalk::Mode::Replay);
  bool first = true;
  ResourceKey lastType;
  walk.Run([&](const ResourceLeaf& leaf) {
    if (first || leaf.type.named != lastType.named || leaf.type.id != lastType.id ||
        leaf.type.name.data() != lastType.name.data())
      o.Nl();
    first = false;
    lastType = leaf.type;
    o.Text("  ");
    ResKey(o, leaf.type, true);
    o.Ch(' ').Col(kNameCol);
    ResKey(o, leaf.name, false);
    o.Ch(' ').Col(kLangCol).Text("lang ");
    if (leaf.lang.named) o.Name(FromUtf16(leaf.lang.name));
    else o.Text(LanguageText(leaf.lang.id));
    o.Ch(' ').Col(kDataCol).Text("RVA ").Hex(leaf.rva, 8).Text("  size ").Hex(leaf.size, 8);
    o.Text("  code page ").Dec(leaf.codePage);
    if (auto off = ctx.map.ToOffset(leaf.rva)) o.Text("  file offset ").Hex(*off, 8);
    else o.Text("  not in the file");
    o.Nl();
    if (auto data = ResourceData(ctx, leaf, Area::Resources, false)) Contents(o, leaf, *data, ctx);
    return !o.Exhausted();
  });
}

KESTROVA_PART(Resources)

}  // namespace kestrova::dumper::print
