// The resource tree: one line per resource, and the kinds that hold text a
// reader wants (strings, messages, dialogs, menus, accelerators, icon groups)
// decoded beneath it.
#include <vector>

#include "dumper/lang/catalog/Resources.h"
#include "dumper/pe/Resources.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

void PrintResources(Printer& o, const pe::ResourceTree& t, const pe::Context& ctx);

using namespace pe;
namespace M = lang::M;

namespace {

constexpr std::size_t kNameCol = 17, kLangCol = 33, kDataCol = 57;
constexpr std::size_t kShownBytes = 16;

// A level's key: its name, or its number (with the type's name for types).
void ResKey(Printer& o, Key k, const ResourceKey& key, bool isType) {
  if (key.named) {
    o.Name(k, FromUtf16(key.name));
    return;
  }
  if (isType)
    if (const Named* n = Find(ResourceTypes(), key.id)) {
      o.Fact(k, std::uint64_t{key.id}).Word("typeName", n->name);
      return;
    }
  o.Ch('#').Dec(k, key.id);
}

// A LANGID's locale name under "locale": the table's, or our word for the few that name none.
void Locale(Printer& o, std::uint32_t langId, const Named& n) {
  if (const auto w = LanguageWord(langId)) o.Word("locale", *w);
  else o.Word("locale", n.name);
}

void Quoted(Printer& o, Key k, std::span<const std::uint8_t> utf16) {
  o.Ch('"').Name(k, FromUtf16(utf16)).Ch('"');
}

void Indent(Printer& o, int depth) {
  o.Text("      ");
  for (int i = 0; i < depth; ++i) o.Text("  ");
}

// The key as the listing names it ("Ctrl+N", "F5", "'a'"); the numbers in it
// are layout, JSON has the key code and the flags.
void AccelKey(Printer& o, std::uint16_t key, std::uint16_t flags) {
  if (flags & 0x10) o.Text("Alt+");
  if (flags & 0x08) o.Text("Ctrl+");
  if (flags & 0x04) o.Text("Shift+");
  if (flags & 0x01) {
    if ((key >= '0' && key <= '9') || (key >= 'A' && key <= 'Z')) o.Ch(static_cast<char>(key));
    else if (key >= 0x70 && key <= 0x87) o.Ch('F').Dec(kNoKey, key - 0x6Fu);
    else o.Say(M::ResVirtualKey).Hex(kNoKey, key, 2);
  } else if (key < 0x20) {
    o.Ch('^').Ch(static_cast<char>(key + 0x40));
  } else if (key < 0x7F) {
    o.Ch('\'').Ch(static_cast<char>(key)).Ch('\'');
  } else {
    o.Say(M::ResCharacter).Hex(kNoKey, key, 4);
  }
  o.Fact("key", std::uint64_t{key});
}

std::string_view ControlClass(std::uint32_t ordinal) {
  static constexpr std::string_view kClasses[] = {"Button", "Edit", "Static", "ListBox", "ScrollBar", "ComboBox"};
  if (ordinal >= 0x80 && ordinal <= 0x85) return kClasses[ordinal - 0x80];
  return {};
}

// One dialog or menu item as an object of the open "items" list; a popup's
// object stays open with an "items" list of its own for the items beneath it.
// Returns whether it left a popup open.
bool UiLine(Printer& o, const UiItem& u) {
  o.Open({});
  Indent(o, u.depth);
  switch (u.kind) {
    case UiItem::Caption:
      o.Word("kind", M::ResCaption, "caption");
      Quoted(o, "text", u.text);
      break;
    case UiItem::Font:
      o.Word("kind", M::ResFont, "font").Dec("points", u.points).Say(M::ResPoints);
      Quoted(o, "face", u.text);
      break;
    case UiItem::Control: {
      o.Word("kind", "", "control").Say(M::ResId).Dec("id", u.id).Text("  ");
      if (!u.className.empty()) o.Name("class", FromUtf16(u.className));
      else if (std::string_view c = ControlClass(u.classOrdinal); !c.empty()) o.Word("class", c).Fact("classOrdinal", std::uint64_t{u.classOrdinal});
      else o.Say(M::ResClassNumber).Dec("classOrdinal", u.classOrdinal);
      o.Text("  ");
      if (u.textIsOrdinal) o.Say(M::ResResourceNumber).Dec("resource", u.ordinal);
      else Quoted(o, "text", u.text);
      break;
    }
    case UiItem::Popup:
      o.Word("kind", M::ResPopup, "popup");
      Quoted(o, "text", u.text);
      if (u.hasId) o.Say(M::ResIdAfter).Dec("id", u.id);
      break;
    case UiItem::Separator:
      o.Word("kind", M::ResSeparator);
      break;
    case UiItem::MenuItem:
      o.Word("kind", "", "item").Say(M::ResId).Dec("id", u.id).Text("  ");
      Quoted(o, "text", u.text);
      break;
  }
  o.Nl();
  if (u.kind == UiItem::Popup) {
    o.OpenList("items");
    return true;
  }
  o.Close();
  return false;
}

// What the resource holds, under its line: decoded for the kinds that are text,
// the first bytes otherwise.
void Contents(Printer& o, const ResourceLeaf& leaf, const io::Reader& data, const Context& ctx) {
  const Area a = Area::Resources;
  const std::uint32_t type = leaf.type.named ? 0 : leaf.type.id;
  switch (type) {
    case kRtString: {
      if (leaf.name.named) {
        ctx.an.AtOffset(a, leaf.entryOffset, lang::Say(ctx.options.lang, M::ResStringBlockNamed));
        break;
      }
      Scoped rows(o, Scoped::kList, "strings");
      DecodeStringTable(ctx, data, leaf.name.id, a, [&](const StringItem& s) {
        Scoped row(o, Scoped::kObject, {});
        Indent(o, 0);
        o.Say(M::ResId).Dec("id", s.id).Text("  ");
        Quoted(o, "text", s.text);
        o.Nl();
      });
      return;
    }
    case kRtMessageTable: {
      Scoped rows(o, Scoped::kList, "messages");
      DecodeMessageTable(ctx, data, a, [&](const MessageItem& m) {
        Scoped row(o, Scoped::kObject, {});
        Indent(o, 0);
        if (m.range) {
          o.Word("kind", M::ResIdRange, "block").Hex("low", m.low, 8).Text("..").Hex("high", m.high, 8);
        } else {
          o.Word("kind", "", "message").Say(M::ResId).Hex("id", m.low, 8);
          if (m.unicode) o.Word("encoding", "  ", "unicode");
          else o.Word("encoding", M::ResAnsi, "ansi");
          o.Ch('"');
          if (m.unicode) o.Name("text", FromUtf16(m.text));
          else o.Name("text", std::string_view(reinterpret_cast<const char*>(m.text.data()), m.text.size()));
          o.Ch('"');
        }
        o.Nl();
        return !o.Exhausted();
      });
      return;
    }
    case kRtGroupIcon:
    case kRtGroupCursor: {
      const bool cursor = type == kRtGroupCursor;
      Scoped rows(o, Scoped::kList, "images");
      DecodeGroupIcon(ctx, data, cursor, a, [&](const GroupIconItem& g) {
        Scoped row(o, Scoped::kObject, {});
        Indent(o, 0);
        o.Say(cursor ? M::ResCursorNumber : M::ResIconNumber).Dec("id", g.id).Text("  ").Dec("width", g.width).Ch('x').Dec("height", g.height);
        o.Text("  ").Dec("bitCount", g.bitCount).Say(M::ResBitsPerPixel);
        if (g.colors != 0) o.Text("  ").Dec("colors", g.colors).Say(M::ResColours);
        else o.Fact("colors", std::uint64_t{0});
        o.Text("  ").Dec("bytes", g.bytes).Say(M::ResBytes);
        o.Nl();
      });
      return;
    }
    case kRtAccelerator: {
      Scoped rows(o, Scoped::kList, "accelerators");
      DecodeAccelerators(ctx, data, a, [&](const AcceleratorItem& k) {
        Scoped row(o, Scoped::kObject, {});
        Indent(o, 0);
        o.Say(M::ResId).Dec("id", k.id).Text("  ");
        AccelKey(o, k.key, k.flags);
        const bool any = (k.flags & 0x7Fu) != 0;
        if (any) o.Text("  (");
        FlagWords(o, "flags", k.flags & 0x7Fu, AcceleratorFlags(), "");
        if (any) o.Ch(')');
        o.Nl();
      });
      return;
    }
    case kRtDialog:
    case kRtMenu: {
      // Menus nest: each popup holds the items one level deeper that follow it.
      std::vector<int> popups;  // depths of the popups whose item lists are open
      auto ui = [&](const UiItem& u) {
        while (!popups.empty() && u.depth <= popups.back()) {
          o.Close();  // the popup's items
          o.Close();  // the popup
          popups.pop_back();
        }
        if (UiLine(o, u)) popups.push_back(u.depth);
        return !o.Exhausted();
      };
      {
        Scoped rows(o, Scoped::kList, "items");
        if (type == kRtDialog) DecodeDialog(ctx, data, a, ui);
        else DecodeMenu(ctx, data, a, ui);
        for (; !popups.empty(); popups.pop_back()) {
          o.Close();
          o.Close();
        }
      }
      return;
    }
    default:
      break;
  }
  if (data.Size() == 0) return;
  Indent(o, 0);
  HexBytes(o, "firstBytes", data.Bytes(), kShownBytes);
  if (data.Size() > kShownBytes) o.Text(" ...");
  o.Nl();
}

}  // namespace

void PrintResources(Printer& o, const ResourceTree& t, const Context& ctx) {
  if (!t.present) return;
  // The rows give these counts.
  o.Text("  ");
  Count(o, kNoKey, t.types, M::ResTypeOne, M::ResTypeMany);
  o.Say(M::ResCountSep);
  Count(o, kNoKey, t.entries, M::ResEntryOne, M::ResEntryMany);
  o.Say(M::ResCountSep);
  Count(o, kNoKey, t.bytes, M::ResByteOne, M::ResByteMany);
  o.Nl();
  Field(o, M::ResDirectory).Text("RVA ").Hex("rva", t.rva, 8).Say(M::ResDirectorySize).Hex("size", t.size, 8);
  InSection(o, ctx, t.rva);
  o.Nl();
  DirectoryStamp(o, t.characteristics, t.timeDateStamp, t.majorVersion, t.minorVersion);

  ResourceTree replay = t;
  ResourceWalk walk(ctx, replay, Area::Resources, ResourceWalk::Mode::Replay);
  bool first = true;
  ResourceKey lastType;
  Scoped rows(o, Scoped::kList, "resources");
  walk.Run([&](const ResourceLeaf& leaf) {
    if (first || leaf.type.named != lastType.named || leaf.type.id != lastType.id ||
        leaf.type.name.data() != lastType.name.data())
      o.Nl();
    first = false;
    lastType = leaf.type;
    Scoped row(o, Scoped::kObject, {});
    o.Text("  ");
    ResKey(o, "type", leaf.type, true);
    o.Ch(' ').Col(kNameCol);
    ResKey(o, "name", leaf.name, false);
    o.Ch(' ').Col(kLangCol).Say(M::ResLang);
    if (leaf.lang.named) {
      o.Name("lang", FromUtf16(leaf.lang.name));
    } else {
      o.Hex("lang", leaf.lang.id, 4);
      if (const Named* n = Find(Languages(), leaf.lang.id)) {
        o.Say(M::ResParenOpen);
        Locale(o, leaf.lang.id, *n);
        o.Say(M::ResParenClose);
      }
    }
    o.Ch(' ').Col(kDataCol).Text("RVA ").Hex("rva", leaf.rva, 8).Say(M::ResSize).Hex("size", leaf.size, 8);
    o.Say(M::ResCodePage).Dec("codePage", leaf.codePage);
    if (auto off = ctx.map.ToOffset(leaf.rva)) o.Say(M::ResFileOffset).Hex("offset", *off, 8);
    else o.Say(M::ResNotInFile).Fact("inFile", false);
    o.Nl();
    if (auto data = ResourceData(ctx, leaf, Area::Resources, false)) Contents(o, leaf, *data, ctx);
    return !o.Exhausted();
  });
}

KESTROVA_PART(Resources)

}  // namespace kestrova::dumper::print
