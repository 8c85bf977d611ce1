// Resources, version information and manifests of images built in memory:
// one golden holding every decoded kind, one per kind of damage.
#include <algorithm>
#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "tests/dumper/Golden.h"
#include "tests/dumper/Images.h"

namespace kestrova::dumper::testing {
namespace {

Blob& Wide(Blob& b, std::u16string_view s, bool nul = true) {
  for (char16_t c : s) b.U16(c);
  if (nul) b.U16(0);
  return b;
}

// A level's key: a number, or a name when `name` is set.
struct Key {
  std::uint32_t id = 0;
  std::u16string name;
  bool operator==(const Key&) const = default;
};

struct ResPlan {
  Key type, name;
  std::uint16_t lang = 0;
  Blob data;
};

// Writes a resource tree for `plans` (named keys before numbered ones, as the
// format wants) at the end of `s`: directories, data entries, names, data.
// Returns {RVA, size}. One type, one name, one language puts the root at 0,
// the type's directory at 24, the name's at 48 and the data entry at 72.
std::array<std::uint32_t, 2> WriteResources(PeBuilder::Section& s, const std::vector<ResPlan>& plans) {
  struct Lang { std::uint16_t lang; std::size_t plan; std::uint32_t entry = 0; };
  struct Name { Key key; std::vector<Lang> langs; std::uint32_t dir = 0; };
  struct Type { Key key; std::vector<Name> names; std::uint32_t dir = 0; };
  std::vector<Type> types;
  for (std::size_t i = 0; i < plans.size(); ++i) {
    const ResPlan& p = plans[i];
    auto t = std::find_if(types.begin(), types.end(), [&](const Type& x) { return x.key == p.type; });
    if (t == types.end()) t = types.insert(types.end(), Type{p.type, {}});
    auto n = std::find_if(t->names.begin(), t->names.end(), [&](const Name& x) { return x.key == p.name; });
    if (n == t->names.end()) n = t->names.insert(t->names.end(), Name{p.name, {}});
    n->langs.push_back({p.lang, i});
  }
  Blob& d = s.data;
  d.Align(8);
  const std::uint32_t base = d.Size();
  std::uint32_t off = 16 + 8 * static_cast<std::uint32_t>(types.size());
  for (Type& t : types) t.dir = std::exchange(off, off + 16 + 8 * static_cast<std::uint32_t>(t.names.size()));
  for (Type& t : types)
    for (Name& n : t.names) n.dir = std::exchange(off, off + 16 + 8 * static_cast<std::uint32_t>(n.langs.size()));
  for (Type& t : types)
    for (Name& n : t.names)
      for (Lang& l : n.langs) l.entry = std::exchange(off, off + 16);
  d.Zeros(off);
  auto key = [&](const Key& k) -> std::uint32_t {
    if (k.name.empty()) return k.id;
    d.Align(2);
    std::uint32_t at = d.Size() - base;
    d.U16(static_cast<std::uint16_t>(k.name.size()));
    Wide(d, k.name, false);
    return 0x80000000u | at;
  };
  auto dir = [&](std::uint32_t at, const auto& items, auto target) {
    std::uint16_t named = 0;
    for (const auto& it : items) named = static_cast<std::uint16_t>(named + !it.key.name.empty());
    d.Put16(base + at + 12, named);
    d.Put16(base + at + 14, static_cast<std::uint16_t>(items.size() - named));
    for (std::size_t i = 0; i < items.size(); ++i) {
      d.Put32(base + at + 16 + 8 * i, key(items[i].key));
      d.Put32(base + at + 20 + 8 * i, target(items[i]));
    }
  };
  dir(0, types, [](const Type& t) { return 0x80000000u | t.dir; });
  for (Type& t : types) {
    dir(t.dir, t.names, [](const Name& n) { return 0x80000000u | n.dir; });
    for (Name& n : t.names) {
      struct L { Key key; std::uint32_t entry; };
      std::vector<L> ls;
      for (const Lang& l : n.langs) ls.push_back({{l.lang, {}}, l.entry});
      dir(n.dir, ls, [](const L& l) { return l.entry; });
    }
  }
  for (Type& t : types)
    for (Name& n : t.names)
      for (Lang& l : n.langs) {
        d.Align(4);
        const Blob& data = plans[l.plan].data;
        d.Put32(base + l.entry, s.va + d.Size());
        d.Put32(base + l.entry + 4, data.Size());
        d.b.insert(d.b.end(), data.b.begin(), data.b.end());
      }
  return {s.va + base, d.Size() - base};
}

// A version block: header, key, value, children, each aligned to four bytes.
Blob VersionBlock(std::u16string_view key, std::uint16_t type, const Blob& value, std::uint16_t valueLength,
                  const std::vector<Blob>& children = {}) {
  Blob b;
  b.U16(0).U16(valueLength).U16(type);
  Wide(b, key).Align(4);
  b.b.insert(b.b.end(), value.b.begin(), value.b.end());
  for (const Blob& c : children) {
    b.Align(4);
    b.b.insert(b.b.end(), c.b.begin(), c.b.end());
  }
  b.Put16(0, static_cast<std::uint16_t>(b.Size()));
  return b;
}

Blob VersionString(std::u16string_view key, std::u16string_view value) {
  Blob v;
  Wide(v, value);
  return VersionBlock(key, 1, v, static_cast<std::uint16_t>(value.size() + 1));
}

Blob Version() {
  Blob fixed;
  fixed.U32(0xFEEF04BD).U32(0x00010000).U32(0x00020003).U32(0x00040005).U32(0x00020003).U32(0x00040000);
  fixed.U32(0x3F).U32(0x0A).U32(0x00040004).U32(3).U32(6).U32(0x01D2A1B3).U32(0x4C8E0000);
  Blob none, translation;
  translation.U16(0x0409).U16(1200).U16(0x0804).U16(936);
  return VersionBlock(u"VS_VERSION_INFO", 0, fixed, 52,
                      {VersionBlock(u"StringFileInfo", 1, none, 0,
                                    {VersionBlock(u"040904B0", 1, none, 0,
                                                  {VersionString(u"CompanyName", u"Sample Works"),
                                                   VersionString(u"FileVersion", u"2.3.4.5"),
                                                   VersionString(u"Comments", u"caf\u00e9 \u4e2d\u6587")})}),
                       VersionBlock(u"VarFileInfo", 1, none, 0, {VersionBlock(u"Translation", 0, translation, 8)})});
}

Blob Text(std::string_view s) {
  Blob b;
  b.Str(s, false);
  return b;
}

constexpr std::string_view kManifest =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
    "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
    "\t<dependency><dependentAssembly>\r\n"
    "\t\t<assemblyIdentity type=\"win32\" name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\" "
    "processorArchitecture=\"*\" publicKeyToken=\"6595b64144ccf1df\" language=\"*\"/>\r\n"
    "\t</dependentAssembly></dependency>\r\n"
    "\t<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\"><security><requestedPrivileges>\r\n"
    "\t\t<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>\r\n"
    "\t</requestedPrivileges></security></trustInfo>\r\n"
    "\t<compatibility xmlns=\"urn:schemas-microsoft-com:compatibility.v1\"><application>\r\n"
    "\t\t<supportedOS Id=\"{e2011457-1546-43c5-a5fe-008deee3d3f0}\"/>\r\n"
    "\t\t<supportedOS Id=\"{8E0F7A12-BFB3-4FE8-B9A5-48FD50A15A9A}\"/>\r\n"
    "\t\t<supportedOS Id=\"{00000000-0000-0000-0000-000000000000}\"/>\r\n"
    "\t</application></compatibility>\r\n"
    "\t<application xmlns=\"urn:schemas-microsoft-com:asm.v3\"><windowsSettings>\r\n"
    "\t\t<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm</dpiAware>\r\n"
    "\t\t<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\"> PerMonitorV2 </dpiAwareness>\r\n"
    "\t\t<ws2:longPathAware xmlns:ws2=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true</ws2:longPathAware>\r\n"
    "\t\t<activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">UTF-8</activeCodePage>\r\n"
    "\t\t<heapType xmlns=\"http://schemas.microsoft.com/SMI/2020/WindowsSettings\">SegmentHeap</heapType>\r\n"
    "\t</windowsSettings></application>\r\n"
    "</assembly>\r\n";

// Every kind the listing decodes, in three languages.
std::vector<ResPlan> EveryKind() {
  std::vector<ResPlan> r;
  r.push_back({{0, u"SKIN"}, {1, {}}, 0x0804, Text("skin bytes: a style the program loads")});
  Blob cursorGroup;
  cursorGroup.U16(0).U16(2).U16(1).U16(32).U16(64).U16(1).U16(1).U32(0x134).U16(5);
  r.push_back({{12, {}}, {1, {}}, 0x0409, cursorGroup});
  r.push_back({{3, {}}, {1, {}}, 0x0409, Text("(icon image 1)")});
  r.push_back({{3, {}}, {2, {}}, 0x0409, Text("(icon image 2)")});
  Blob menu;
  menu.U16(0).U16(0);
  Wide(menu.U16(0x10), u"&File");
  Wide(menu.U16(0).U16(101), u"&Open\tCtrl+O");
  menu.U16(0).U16(0).U16(0);  // separator
  Wide(menu.U16(0x80).U16(102), u"E&xit");
  Wide(menu.U16(0x90), u"&Help");
  Wide(menu.U16(0x80).U16(103), u"&About");
  r.push_back({{4, {}}, {100, {}}, 0x0409, menu});
  Blob dlg;
  dlg.U16(1).U16(0xFFFF).U32(0).U32(0).U32(0x80C800C0).U16(2).U16(0).U16(0).U16(180).U16(60);
  dlg.U16(0).U16(0);
  Wide(dlg, u"About Sample");
  dlg.U16(9).U16(400).U8(0).U8(1);
  Wide(dlg, u"Segoe UI").Align(4);
  dlg.U32(0).U32(0).U32(0x50010001).U16(120).U16(40).U16(50).U16(14).U32(1).U16(0xFFFF).U16(0x80);
  Wide(dlg, u"OK").U16(0).Align(4);
  dlg.U32(0).U32(0).U32(0x50000000).U16(10).U16(10).U16(20).U16(20).U32(0xFFFF);
  Wide(dlg, u"SysLink").U16(0xFFFF).U16(2).U16(0);
  r.push_back({{5, {}}, {200, {}}, 0x0409, dlg});
  Blob classic;  // the original template: 16-bit ids, a font size without weight
  classic.U32(0x80C80040).U32(0).U16(1).U16(0).U16(0).U16(100).U16(40).U16(0).U16(0);
  Wide(classic, u"Progress");
  Wide(classic.U16(8), u"MS Shell Dlg").Align(4);
  classic.U32(0x50000000).U32(0).U16(5).U16(5).U16(90).U16(10).U16(1001);
  Wide(classic.U16(0xFFFF).U16(0x82), u"Working…").U16(0);
  r.push_back({{5, {}}, {201, {}}, 0x0409, classic});
  Blob menuEx;  // the extended form: 32-bit ids, items aligned to four bytes, a help id per popup
  menuEx.U16(1).U16(4).U32(0);
  Wide(menuEx.U32(0).U32(0).U32(300).U16(0x81), u"&View").Align(4);
  menuEx.U32(0);
  Wide(menuEx.U32(0).U32(0).U32(301).U16(0), u"&Zoom").Align(4);
  Wide(menuEx.U32(0x800).U32(0).U32(0).U16(0), u"").Align(4);
  Wide(menuEx.U32(0).U32(0).U32(302).U16(0x80), u"&Reset");
  r.push_back({{4, {}}, {101, {}}, 0x0409, menuEx});
  Blob strings;
  for (int i = 0; i < 16; ++i) {
    if (i == 1) Wide(strings.U16(5), u"Hello", false);
    else if (i == 2) Wide(strings.U16(12), u"\u4f60\u597d, tab\there", false);
    else strings.U16(0);
  }
  r.push_back({{6, {}}, {1, {}}, 0x0409, strings});
  r.push_back({{6, {}}, {1, {}}, 0x0804, strings});
  Blob accel;
  accel.U16(0x09).U16('N').U16(40001).U16(0);
  accel.U16(0x00).U16('a').U16(40002).U16(0);
  accel.U16(0x81).U16(0x74).U16(40003).U16(0);
  r.push_back({{9, {}}, {1, {}}, 0x0409, accel});
  r.push_back({{10, {}}, {0, u"CONFIG"}, 0x0409, Text("key=value\nmore")});
  Blob messages;
  messages.U32(1).U32(0x100).U32(0x101).U32(16);
  Wide(messages.U16(4 + 2 * 16).U16(1), u"First message\r\n");
  messages.U16(4 + 9).U16(0).Str("Second\r\n", false).U8(0);
  r.push_back({{11, {}}, {1, {}}, 0x0409, messages});
  Blob iconGroup;
  iconGroup.U16(0).U16(1).U16(2);
  iconGroup.U8(32).U8(32).U8(0).U8(0).U16(1).U16(32).U32(0x10A8).U16(1);
  iconGroup.U8(0).U8(0).U8(0).U8(0).U16(1).U16(32).U32(0x2C00).U16(2);
  r.push_back({{14, {}}, {1, {}}, 0x0409, iconGroup});
  r.push_back({{16, {}}, {1, {}}, 0x0409, Version()});
  r.push_back({{24, {}}, {1, {}}, 0x0409, Text(kManifest)});
  return r;
}

PeBuilder WithResources(const std::vector<ResPlan>& plans) {
  PeBuilder pe(true);
  pe.Add(".text", kCode).data.Zeros(0x10);
  PeBuilder::Section& rsrc = pe.Add(".rsrc", kRData);
  auto at = WriteResources(rsrc, plans);
  pe.dirs[2] = {at[0], at[1]};
  return pe;
}

// The file offset of byte `at` of the resource tree (the .rsrc section is the second).
std::size_t TreeOffset(std::uint32_t at) { return PeBuilder::kHeaders + 0x200 + at; }

std::vector<std::uint8_t> OneResource(Blob data, std::uint32_t type = 10) {
  return WithResources({{{type, {}}, {1, {}}, 0x0409, std::move(data)}}).Build();
}

TEST(ResourcesGolden, EveryDecodedKind) {
  ExpectGolden("resources", Dump(WithResources(EveryKind()).Build(), "res.dll"));
}

// The same image in JSON: resources, version information and manifest as keyed
// rows, menus nested by popup.
TEST(ResourcesGolden, EveryDecodedKindInJson) {
  ExpectGolden("resources.json", DumpJson(WithResources(EveryKind()).Build(), "res.dll"));
}

// A resource the marks' table knows by name says what built the file.
TEST(ResourcesMarks, CompiledScriptNamedByItsResource) {
  const std::string d = Dump(WithResources({{{10, {}}, {0, u">AUTOHOTKEY SCRIPT<"}, 0x0409, Text("x")}}).Build(), "ahk.exe");
  EXPECT_NE(d.find("AutoHotkey (compiled script) (resource >AUTOHOTKEY SCRIPT<)"), std::string::npos) << d.substr(0, 2000);
}

TEST(ResourcesDamage, CycleBackToTheRoot) {
  std::vector<std::uint8_t> f = OneResource(Text("data"));
  Put32(f, TreeOffset(44), 0x80000000u);  // the name entry leads back to the root
  ExpectGolden("damage_resource_cycle", Dump(f, "cycle.dll"));
}

TEST(ResourcesDamage, DeeperThanThreeLevels) {
  std::vector<std::uint8_t> f = OneResource(Text("data"));
  Put32(f, TreeOffset(68), 0x80000000u | 72);  // the language entry leads to a fourth level
  ExpectGolden("damage_resource_depth", Dump(f, "deep.dll"));
}

TEST(ResourcesDamage, EntryCountPastTheData) {
  std::vector<std::uint8_t> f = OneResource(Text("data"));
  Put16(f, TreeOffset(14), 0xFFFF);
  ExpectGolden("damage_resource_counts", Dump(f, "counts.dll"));
}

TEST(ResourcesDamage, TruncatedVersionBlock) {
  std::vector<std::uint8_t> f = OneResource(Version(), 16);
  Put32(f, TreeOffset(76), 0xB0);  // the data entry's size ends inside the string table
  ExpectGolden("damage_version_truncated", Dump(f, "short.dll"));
}

TEST(ResourcesDamage, ManifestNotWellFormedNorUtf8) {
  std::vector<std::uint8_t> f = OneResource(Text("<assembly><trustInfo>\xE9t\xE9</assembly>\n"), 24);
  ExpectGolden("damage_manifest", Dump(f, "broken.exe"));
}

// Leaves that share their data must not multiply what is kept of it.
TEST(ResourcesDamage, ManifestsSharingOneLargeData) {
  std::vector<ResPlan> plans;
  for (std::uint32_t i = 1; i <= 3; ++i) plans.push_back({{24, {}}, {i, {}}, 0x0409, Text(kManifest)});
  PeBuilder pe = WithResources(plans);
  std::vector<std::uint8_t> f = pe.Build();
  const PeBuilder::Section& rsrc = pe.sections[1];
  for (std::uint32_t entry : {136u, 152u, 168u}) {  // each covers the whole section
    Put32(f, TreeOffset(entry), rsrc.va);
    Put32(f, TreeOffset(entry + 4), rsrc.data.Size());
  }
  std::string listing = Dump(f, "shared.exe");
  EXPECT_NE(listing.find("manifest: manifests' texts add up to more than the file holds"), std::string::npos);
  EXPECT_EQ(listing.find("  Resource                          #2"), std::string::npos);
}

// In Chinese the parsers' warnings are Chinese too: the language reaches every
// walk and decoder that reports (a warning put together in English shows here).
TEST(ResourcesDamage, WarningsInTheReadersLanguage) {
  std::vector<std::vector<std::uint8_t>> files;
  files.push_back(OneResource(Text("data")));
  Put32(files.back(), TreeOffset(44), 0x80000000u);
  files.push_back(OneResource(Text("data")));
  Put32(files.back(), TreeOffset(68), 0x80000000u | 72);
  files.push_back(OneResource(Text("data")));
  Put16(files.back(), TreeOffset(14), 0xFFFF);
  files.push_back(OneResource(Version(), 16));
  Put32(files.back(), TreeOffset(76), 0xB0);
  files.push_back(OneResource(Text("<assembly><trustInfo>\xE9t\xE9</assembly>\n"), 24));
  Options zh;
  zh.lang = lang::Lang::ZhCN;
  std::size_t warnings = 0;
  for (const auto& f : files) {
    const std::string listing = DumpToString(f, "x.dll", zh);
    for (std::size_t at = 0, nl; (nl = listing.find('\n', at)) != std::string::npos; at = nl + 1) {
      const std::string line = listing.substr(at, nl - at);
      if (!line.starts_with("  ! ")) continue;
      ++warnings;
      bool inName = false;  // <element> names come from the file
      for (std::size_t i = 0; i + 1 < line.size(); ++i) {
        if (line[i] == '<' || line[i] == '>') inName = line[i] == '<';
        EXPECT_FALSE(!inName && std::islower(static_cast<unsigned char>(line[i])) &&
                     std::islower(static_cast<unsigned char>(line[i + 1])))
            << line;
      }
    }
  }
  EXPECT_GE(warnings, 5u);
}

}  // namespace
}  // namespace kestrova::dumper::testing
