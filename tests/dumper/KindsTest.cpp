// The file kinds besides PE images: archives (both layouts, import members),
// COFF objects and NE modules built here byte by byte, each kind of damage
// reported at its offset. The real files come from crosscheck_kinds.py.
#include <gtest/gtest.h>

#include <string>

#include "dumper/archive/Archive.h"
#include "dumper/coff/Detect.h"
#include "dumper/coff/Object.h"
#include "dumper/ne/Ne.h"
#include "tests/dumper/Golden.h"
#include "tests/dumper/PeBuilder.h"

namespace kestrova::dumper::testing {
namespace {

struct Input {
  explicit Input(const std::vector<std::uint8_t>& b) : bytes(b), file(bytes), budget(bytes.size()) {}
  std::vector<std::uint8_t> bytes;
  io::Reader file;
  pe::Budget budget;
  pe::Anomalies an;
  // The anomaly whose text holds `part`, as "offset: text"; empty when none.
  std::string Find(std::string_view part) const {
    for (const pe::Anomaly& a : an.List())
      if (a.text.find(part) != std::string::npos) return std::to_string(a.at) + ": " + a.text;
    return {};
  }
};

void Header(Blob& b, std::string_view name, std::size_t size) {
  std::string h(60, ' ');
  h.replace(0, name.size(), name);
  std::string n = std::to_string(size);
  h.replace(48, n.size(), n);
  h[58] = '`';
  h[59] = '\n';
  b.Str(h, false);
}

void Member(Blob& b, std::string_view name, const std::vector<std::uint8_t>& data) {
  Header(b, name, data.size());
  b.b.insert(b.b.end(), data.begin(), data.end());
  b.Align(2);
}

std::vector<std::uint8_t> Short(std::string_view sym, std::string_view dll, std::uint16_t ordOrHint, int type, int nameType,
                                std::string_view exportAs = {}) {
  Blob b;
  std::uint32_t size = static_cast<std::uint32_t>(sym.size() + dll.size() + 2 + (exportAs.empty() ? 0 : exportAs.size() + 1));
  b.U16(0).U16(0xFFFF).U16(0).U16(0x8664).U32(0).U32(size).U16(ordOrHint);
  b.U16(static_cast<std::uint16_t>(type | nameType << 2)).Str(sym).Str(dll);
  if (!exportAs.empty()) b.Str(exportAs);
  return b.b;
}

std::uint32_t Be(std::uint32_t v) { return __builtin_bswap32(v); }

// A Microsoft-layout import library: both linker members, NUL-terminated long
// names, and one short import member of each name type.
std::vector<std::uint8_t> MicrosoftLibrary() {
  std::vector<std::vector<std::uint8_t>> members = {
      Short("_Sleep@4", "KERNEL32.dll", 3, 0, 3),     // undecorate
      Short("?Fn@@YAXXZ", "KERNEL32.dll", 0, 0, 2),   // no prefix
      Short("Exported", "long_library_name_here.dll", 0, 1, 4, "RealName"),
      Short("ByNumber", "long_library_name_here.dll", 17, 2, 0)};
  const std::string longNames = std::string("long_library_name_here.dll") + '\0';
  const char* syms[] = {"_Sleep@4", "?Fn@@YAXXZ", "Exported", "ByNumber"};
  std::size_t namesSize = 0;
  for (const char* s : syms) namesSize += std::string_view(s).size() + 1;
  std::size_t firstSize = 4 + 4 * 4 + namesSize, secondSize = 4 + 4 * 4 + 4 + 2 * 4 + namesSize;
  std::size_t at = 8 + 60 + firstSize + (firstSize & 1) + 60 + secondSize + (secondSize & 1) + 60 + longNames.size() + (longNames.size() & 1);
  std::vector<std::uint32_t> offsets;
  for (const auto& m : members) {
    offsets.push_back(static_cast<std::uint32_t>(at));
    at += 60 + m.size() + (m.size() & 1);
  }
  Blob first, second;
  first.U32(Be(4));
  for (std::uint32_t o : offsets) first.U32(Be(o));
  for (const char* s : syms) first.Str(s);
  second.U32(4);
  for (std::uint32_t o : offsets) second.U32(o);
  second.U32(4).U16(1).U16(2).U16(3).U16(4);
  for (const char* s : syms) second.Str(s);
  Blob lib;
  lib.Str("!<arch>\n", false);
  Member(lib, "/", first.b);
  Member(lib, "/", second.b);
  Member(lib, "//", std::vector<std::uint8_t>(longNames.begin(), longNames.end()));
  Member(lib, "KERNEL32.dll/", members[0]);
  Member(lib, "KERNEL32.dll/", members[1]);
  Member(lib, "/0", members[2]);
  Member(lib, "/0", members[3]);
  return lib.b;
}

TEST(Kinds, DetectedByContent) {
  Blob obj;
  obj.U16(0x8664).U16(0).U32(0).U32(0).U32(0).U16(0).U16(0);
  Blob big;
  big.U16(0).U16(0xFFFF).U16(2).U16(0x8664).U32(0);
  for (int c : {0xC7, 0xA1, 0xBA, 0xD1, 0xEE, 0xBA, 0xA9, 0x4B, 0xAF, 0x20, 0xFA, 0xF6, 0x6A, 0xA4, 0xDC, 0xB8}) big.U8(static_cast<std::uint8_t>(c));
  big.Zeros(56 - big.Size());
  Blob ne;
  ne.U16(0x5A4D).Zeros(0x3A).U32(0x40).Str("NE", false).Zeros(0x3E);
  Blob text;
  text.Str("hello, this is text and not a program", false);
  auto kind = [](const std::vector<std::uint8_t>& b) { return coff::DetectKind(io::Reader(b)); };
  EXPECT_EQ(kind(MicrosoftLibrary()), coff::Kind::Archive);
  EXPECT_EQ(kind(obj.b), coff::Kind::Object);
  EXPECT_EQ(kind(big.b), coff::Kind::BigObject);
  EXPECT_EQ(kind(Short("a", "b.dll", 0, 0, 1)), coff::Kind::ShortImport);
  EXPECT_EQ(kind(ne.b), coff::Kind::Ne);
  EXPECT_EQ(kind(text.b), coff::Kind::Unknown);
}

TEST(Kinds, MicrosoftImportLibrary) {
  Input r(MicrosoftLibrary());
  archive::Archive a = archive::ParseArchive(r.file, r.budget, r.an);
  ASSERT_TRUE(a.present);
  EXPECT_TRUE(a.microsoftLayout);
  std::string members;
  archive::ForEachMember(a, r.budget, r.an, [&](const archive::Member& m) {
    members += std::string(m.name) + "=" + std::string(lang::Text(archive::KindName(m.kind), lang::Lang::En)) + ";";
    return true;
  });
  EXPECT_EQ(members,
            "/=first linker member;/=second linker member;//=long names;KERNEL32.dll=short import;"
            "KERNEL32.dll=short import;long_library_name_here.dll=short import;long_library_name_here.dll=short import;");
  // Both indexes lead each symbol to the same member.
  std::string first, second;
  archive::ForEachIndexSymbol(a, a.first, r.budget, r.an, [&](const archive::IndexSymbol& s) {
    first += std::string(s.name) + "@" + std::to_string(s.memberOffset) + ";";
  });
  archive::ForEachIndexSymbol(a, a.second, r.budget, r.an, [&](const archive::IndexSymbol& s) {
    second += std::string(s.name) + "@" + std::to_string(s.memberOffset) + ";";
  });
  EXPECT_EQ(first, second);
  archive::ImportLibrary lib = archive::ParseImportLibrary(a, r.budget, r.an, pe::Area::ImportLibrary);
  std::string got;
  for (const archive::ImportEntry& e : lib.entries)
    got += std::string(e.dll) + "!" + std::string(e.name) + (e.byOrdinal ? " #" : " hint ") + std::to_string(e.ordinalOrHint) +
           " " + std::string(lang::Text(archive::ImportTypeName(e.type), lang::Lang::En)) + ";";
  EXPECT_EQ(got,
            "KERNEL32.dll!Sleep hint 3 code;KERNEL32.dll!Fn@@YAXXZ hint 0 code;"
            "long_library_name_here.dll!RealName hint 0 data;long_library_name_here.dll! #17 const;");
  EXPECT_TRUE(r.an.List().empty()) << r.an.List().front().text;
}

TEST(Kinds, ArchiveDamage) {
  // A long name outside '//', a size that is not a number, a member past the end.
  std::vector<std::uint8_t> base = MicrosoftLibrary();
  auto find = [&](std::string_view s) {
    return static_cast<std::size_t>(std::search(base.begin(), base.end(), s.begin(), s.end()) - base.begin());
  };
  {
    Input r(base);
    std::size_t at = find("/0 ");
    r.bytes[at + 1] = '9';
    r.bytes[at + 2] = '9';
    r.file = io::Reader(r.bytes);
    archive::Archive a = archive::ParseArchive(r.file, r.budget, r.an);
    archive::ForEachMember(a, r.budget, r.an, [](const archive::Member&) { return true; });
    EXPECT_EQ(r.Find("long names"), std::to_string(at) + ": member name /99 points outside the long names");
  }
  {
    Input r(base);
    std::size_t at = find("KERNEL32.dll/");
    for (std::size_t i = 0; i < 10; ++i) r.bytes[at + 48 + i] = i == 0 ? 'x' : ' ';
    r.file = io::Reader(r.bytes);
    archive::Archive a = archive::ParseArchive(r.file, r.budget, r.an);
    int n = 0;
    archive::ForEachMember(a, r.budget, r.an, [&](const archive::Member&) { return ++n, true; });
    EXPECT_EQ(n, 3);
    EXPECT_EQ(r.Find("not a number"), std::to_string(at + 48) + ": member size 'x' is not a number; the members are not walked further");
  }
  {
    std::vector<std::uint8_t> cut(base.begin(), base.end() - 20);
    Input r(cut);
    archive::Archive a = archive::ParseArchive(r.file, r.budget, r.an);
    archive::ForEachMember(a, r.budget, r.an, [](const archive::Member&) { return true; });
    archive::ImportLibrary lib = archive::ParseImportLibrary(a, r.budget, r.an, pe::Area::ImportLibrary);
    EXPECT_NE(r.Find("runs past the end of the file"), "");
    EXPECT_NE(r.Find("has no terminating NUL within the import data"), "");
    EXPECT_EQ(lib.entries.size(), 4u);
  }
  {
    // The second linker member names member 9 of 4.
    Input r(base);
    std::size_t at = find(std::string_view("\x04\0\0\0\x01\0\x02\0", 8));
    r.bytes[at + 4] = 9;
    r.file = io::Reader(r.bytes);
    archive::Archive a = archive::ParseArchive(r.file, r.budget, r.an);
    archive::ForEachIndexSymbol(a, a.second, r.budget, r.an, [](const archive::IndexSymbol&) {});
    EXPECT_EQ(r.Find("member number"), std::to_string(at + 4) + ": symbol index: symbol 0's member number 9 is not in the member table");
  }
}

// An AMD64 object: one section with an overflowed relocation count, three
// symbols (one with a long name, one whose name lies outside the string table).
std::vector<std::uint8_t> Object(std::uint32_t claimedSymbols) {
  Blob b;
  b.U16(0x8664).U16(1).U32(0).U32(0).U32(claimedSymbols).U16(0).U16(0);
  std::size_t section = b.Size();
  b.Str(std::string_view(".text\0\0\0", 8), false).U32(0).U32(0).U32(4).U32(0).U32(0).U32(0).U16(0xFFFF).U16(0).U32(0x60000020 | coff::kScnRelocOverflow);
  b.Put32(section + 20, b.Size());
  b.U32(0x90909090);
  b.Put32(section + 24, b.Size());
  b.U32(3).U32(0).U16(0);          // the overflow record: 3 counting itself
  b.U32(0).U32(1).U16(4).U32(2).U32(2).U16(4);
  b.Put32(8, b.Size());
  b.Str(std::string_view(".text\0\0\0", 8), false).U32(0).U16(1).U16(0).U8(3).U8(1);
  b.U32(4).U16(2).U16(0).U32(0).U16(1).U8(0).U8(0).U16(0);  // its section definition
  b.U32(0).U32(4).U32(0).U16(1).U16(0x20).U8(2).U8(0);                // long name, offset 4
  b.U32(0).U32(999).U32(0).U16(0).U16(0).U8(2).U8(0);                 // name outside the string table
  b.U32(4 + 23).Str("a_rather_long_function").Zeros(0);
  return b.b;
}

TEST(Kinds, ObjectRecords) {
  Input r(Object(4));
  coff::Object o = coff::ParseObject(r.file, r.budget, r.an);
  ASSERT_TRUE(o.present);
  ASSERT_EQ(o.sections.size(), 1u);
  EXPECT_TRUE(o.sections[0].relocOverflow);
  EXPECT_EQ(o.sections[0].numberOfRelocations, 3u);
  io::Reader rel = coff::Relocations(o, o.sections[0]);
  EXPECT_EQ(rel.Size(), 20u);
  EXPECT_EQ(coff::RelocationAt(rel, 1)->symbolIndex, 2u);
  std::string got;
  coff::ForEachSymbol(o, r.budget, r.an, [&](const coff::Symbol& s) {
    got += std::to_string(s.index) + ":" + std::string(s.name) + (s.nameOk ? "" : "(bad)") + ":" +
           std::to_string(static_cast<int>(coff::RoleOf(s))) + ";";
    if (coff::AuxKindOf(s) == coff::AuxKind::SectionDefinition) {
      EXPECT_EQ(coff::ReadAuxSection(o, s).relocations, 2);
    }
  });
  EXPECT_EQ(got, "0:.text:4;2:a_rather_long_function:0;3:(bad):1;");
  EXPECT_EQ(r.Find("lies outside"), std::to_string(o.symbols.Base() + 3 * 18) + ": symbol 3's name offset 999 lies outside the string table");
}

TEST(Kinds, ObjectDamage) {
  // A symbol count larger than the file: the records that are there are read, and the rest is reported.
  Input r(Object(1000));
  coff::Object o = coff::ParseObject(r.file, r.budget, r.an);
  EXPECT_EQ(o.symbolCount, 5u);
  EXPECT_NE(r.Find("symbol table claims 1000 records but the file holds 5"), "");
  // A section table that runs past the end.
  std::vector<std::uint8_t> b = Object(4);
  b[2] = 200;
  Input r2(b);
  coff::Object o2 = coff::ParseObject(r2.file, r2.budget, r2.an);
  EXPECT_EQ(r2.Find("section table"), "20: section table claims 200 sections but the file holds " +
                                          std::to_string((b.size() - 20) / 40));
  // An auxiliary count that runs past the table.
  std::vector<std::uint8_t> c = Object(4);
  c[o.symbols.Base() + 3 * 18 + 17] = 9;
  Input r3(c);
  coff::Object o3 = coff::ParseObject(r3.file, r3.budget, r3.an);
  coff::ForEachSymbol(o3, r3.budget, r3.an, [](const coff::Symbol&) {});
  EXPECT_NE(r3.Find("auxiliary records run past"), "");
}

// An NE DLL with one module reference and a relocation to the module after it.
std::vector<std::uint8_t> NeModule() {
  Blob b;
  b.U16(0x5A4D).Zeros(0x3A).U32(0x40);
  Blob h;
  h.Str("NE", false).U8(5).U8(10);
  const std::uint16_t seg = 0x40, res = 0x48, resident = 0x48, modref = 0x56, imported = 0x58, entry = 0x60;
  h.U16(entry).U16(5).U32(0).U16(0x8001).U16(0).U16(0).U16(0).U32(0).U32(0);
  h.U16(1).U16(1).U16(0).U16(seg).U16(res).U16(resident).U16(modref).U16(imported).U32(0);
  h.U16(0).U16(4).U16(0).U8(2).U8(0).U16(0).U16(0).U16(0).U16(0x030A);
  h.U16(0x10).U16(4).U16(0x0100).U16(4);                  // segment 1 at 0x100, with relocations
  h.U8(5).Str("MYDLL", false).U16(0).U8(2).Str("GO", false).U16(1).U8(0);
  h.U16(1);                                               // module reference: imported name at 1
  h.U8(0).U8(6).Str("KERNEL", false);
  h.U8(1).U8(1).U8(1).U16(0).U8(0);                       // entry 1: fixed, segment 1
  b.b.insert(b.b.end(), h.b.begin(), h.b.end());
  b.Zeros(0x100 - b.Size()).U32(0xC3C3C3C3);
  b.U16(2).U8(3).U8(1).U16(0).U16(1).U16(7);              // KERNEL.7
  b.U8(3).U8(1).U16(2).U16(2).U16(9);                     // module 2 of 1
  return b.b;
}

TEST(Kinds, NeModule) {
  Input r(NeModule());
  ne::Module m = ne::ParseNe(r.file, r.budget, r.an);
  ASSERT_TRUE(m.present);
  ASSERT_EQ(m.residentNames.size(), 2u);
  EXPECT_EQ(m.residentNames[1].text, "GO");
  ASSERT_EQ(m.moduleRefs.size(), 1u);
  EXPECT_EQ(m.moduleRefs[0], "KERNEL");
  ASSERT_EQ(m.entries.size(), 1u);
  EXPECT_EQ(m.entries[0].segment, 1);
  std::string got;
  ne::ForEachRelocation(m, r.budget, r.an, [&](const ne::Relocation& rel) {
    got += std::string(rel.module) + "." + std::to_string(rel.ordinal) + ";";
  });
  EXPECT_EQ(got, "KERNEL.7;.9;");
  EXPECT_EQ(r.Find("relocation names"), std::to_string(0x100 + 4 + 2 + 8) + ": relocation names module 2 of 1");
}

TEST(Kinds, NeDamage) {
  // Resident names without their zero end, and an entry bundle cut by the end of the file.
  std::vector<std::uint8_t> b = NeModule();
  b.resize(0x40 + 0x60 + 3);
  Input r(b);
  ne::Module m = ne::ParseNe(r.file, r.budget, r.an);
  EXPECT_NE(r.Find("entry bundle runs past the end of the file"), "");
  EXPECT_NE(r.Find("segment 1's data runs past the end of the file"), "");
  EXPECT_EQ(m.entries.size(), 0u);
}

// An object that says what compiled it three ways: Visual C++'s @comp.id, a
// .comment string and a CodeView compile record; it defines main and needs puts.
std::vector<std::uint8_t> CompiledObject(std::uint16_t machine) {
  Blob rec;  // S_COMPILE3: flags, machine, front-end and back-end versions, the compiler's words
  rec.U16(0x113C).U32(0).U16(0xD0).U16(19).U16(29).U16(30153).U16(0).U16(19).U16(29).U16(30153).U16(0);
  rec.Str("Microsoft (R) Optimizing Compiler");
  Blob cv;
  cv.U32(4).U32(0xF1).U32(rec.Size() + 2).U16(static_cast<std::uint16_t>(rec.Size()));
  cv.b.insert(cv.b.end(), rec.b.begin(), rec.b.end());
  cv.Align(4);
  const std::string comment = std::string("GCC: (GNU) 13.2.0") + '\0';
  Blob b;
  b.U16(machine).U16(3).U32(0).U32(0).U32(5).U16(0).U16(0);
  const std::size_t data = 20 + 3 * 40;
  auto section = [&](std::string_view name, std::uint32_t size, std::uint32_t at, std::uint32_t flags) {
    b.Str(name, false).Zeros(8 - name.size()).U32(0).U32(0).U32(size).U32(at).U32(0).U32(0).U16(0).U16(0).U32(flags);
  };
  section(".text", 4, data, 0x60500020);
  section(".comment", static_cast<std::uint32_t>(comment.size()), data + 4, 0x00100A00);
  section(".debug$S", cv.Size(), static_cast<std::uint32_t>(data + 4 + comment.size()), 0x42100040);
  b.U32(0x909090C3).Str(comment, false);
  b.b.insert(b.b.end(), cv.b.begin(), cv.b.end());
  b.Put32(8, b.Size());
  b.Str(".text", false).Zeros(3).U32(0).U16(1).U16(0).U8(3).U8(1);
  b.U32(4).U16(0).U16(0).U32(0).U16(0).U8(0).U8(0).U16(0);
  b.Str("@comp.id", false).U32(0x010575C9).U16(0xFFFF).U16(0).U8(3).U8(0);
  b.Str("main", false).Zeros(4).U32(0).U16(1).U16(0x20).U8(2).U8(0);
  b.Str("puts", false).Zeros(4).U32(0).U16(0).U16(0).U8(2).U8(0);
  b.U32(4);
  return b.b;
}

// What Visual C++ writes under /GL: the anonymous header of its own class, then
// code only the linker reads.
std::vector<std::uint8_t> LtcgObject() {
  Blob b;
  b.U16(0).U16(0xFFFF).U16(1).U16(0x8664).U32(0x5F000000);
  for (int c : {0x38, 0xFE, 0xB3, 0x0C, 0xA5, 0xD9, 0xAB, 0x4D, 0xAC, 0x9B, 0xD6, 0xB6, 0x22, 0x26, 0x53, 0xC2})
    b.U8(static_cast<std::uint8_t>(c));
  b.U32(16).U32(0).U32(0).U32(0).Zeros(16);
  return b.b;
}

// A static library of an AMD64 and an ARM64 object and a /GL object, without a symbol index.
std::vector<std::uint8_t> StaticLibrary() {
  Blob lib;
  lib.Str("!<arch>\n", false);
  Member(lib, "x64.obj/", CompiledObject(0x8664));
  Member(lib, "arm64.obj/", CompiledObject(0xAA64));
  Member(lib, "lto.obj/", LtcgObject());
  return lib.b;
}

TEST(Kinds, MembersTallied) {
  Input r(StaticLibrary());
  archive::Archive a = archive::ParseArchive(r.file, r.budget, r.an);
  archive::Tally t = archive::TallyMembers(a, r.budget);
  EXPECT_EQ(t.members, 3u);
  EXPECT_EQ(t.objects, 2u);
  EXPECT_EQ(t.ltcgObjects, 1u);
  EXPECT_EQ(t.defined, 2u);
  EXPECT_EQ(t.machines, (std::vector<std::uint16_t>{0x8664, 0xAA64}));
  EXPECT_TRUE(t.complete);
  EXPECT_EQ(coff::DetectKind(io::Reader(LtcgObject())), coff::Kind::LtcgObject);
  // A member header cut short: the tally says it stopped.
  std::vector<std::uint8_t> cut = StaticLibrary();
  cut.resize(cut.size() - LtcgObject().size() - 30);
  Input c(cut);
  archive::Archive ca = archive::ParseArchive(c.file, c.budget, c.an);
  EXPECT_FALSE(archive::TallyMembers(ca, c.budget).complete);
}

// The listing of each kind, both forms for the import library; At a glance
// answers what each kind is opened for.
TEST(Kinds, Goldens) {
  ExpectGolden("kinds_import_library", Dump(MicrosoftLibrary(), "ms.lib"));
  ExpectGolden("kinds_import_library.jsonl", DumpJson(MicrosoftLibrary(), "ms.lib"));
  ExpectGolden("kinds_static_library", Dump(StaticLibrary(), "static.lib"));
  ExpectGolden("kinds_object", Dump(CompiledObject(0x8664), "compiled.obj") + PartJson(DumpJson(CompiledObject(0x8664), "compiled.obj"), "Glance") + "\n");
  ExpectGolden("kinds_object_damage", Dump(Object(4), "damaged.obj"));
  ExpectGolden("kinds_ne_damage", Dump(NeModule(), "bad_module_ref.dll"));
  const std::string ltcg = Dump(LtcgObject(), "lto.obj");
  EXPECT_NE(ltcg.find("What                              COFF object compiled with /GL (link-time code generation) for AMD64\n"
                      "  Contents                          the compiler's intermediate code, which only the linker reads"),
            std::string::npos) << ltcg;
}

}  // namespace
}  // namespace kestrova::dumper::testing
