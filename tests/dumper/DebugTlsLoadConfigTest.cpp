// The parts that tell how an image was built and how it loads: debug entries,
// TLS and the load configuration. One golden with every decoded field per
// layout, one per kind of damage; each golden holds the three parts and the summary.
#include "tests/dumper/Golden.h"
#include "tests/dumper/Images.h"

namespace kestrova::dumper::testing {
namespace {

// The listing from the debug directory on: the header parts are other tests' business.
std::string Parts(const std::vector<std::uint8_t>& f, std::string_view name) {
  std::string listing = Dump(f, name);
  for (const char* title : {"== Debug directory ==", "== TLS ==", "== Load configuration =="})
    if (std::size_t at = listing.find(title); at != std::string::npos) return listing.substr(at);
  return listing.substr(listing.find("== Anomalies =="));
}

constexpr std::uint32_t kText = 0x1000, kRdata = 0x2000, kDataVa = 0x3000;
constexpr std::uint32_t kRdataRaw = 0x600;  // .text's one raw block comes first
constexpr std::uint32_t kLoadConfigAt = 0x400, kTablesAt = 0x600;

// .text, then .rdata (0x800 bytes) and .data (0x200 bytes), filled by the Add functions.
struct Image {
  explicit Image(bool wide) : pe(wide) {
    pe.Add(".text", kCode).data.Zeros(0x100);
    pe.Add(".rdata", kRData).data.Zeros(0x800);
    pe.Add(".data", kData).data.Zeros(0x200);
  }
  Blob& Rdata() { return pe.sections[1].data; }
  Blob& Data() { return pe.sections[2].data; }
  std::uint64_t Va(std::uint32_t rva) const { return pe.imageBase + rva; }
  PeBuilder pe;
};

void PutPtr(Blob& b, std::size_t at, std::uint64_t v, bool wide) {
  b.Put32(at, static_cast<std::uint32_t>(v));
  if (wide) b.Put32(at + 4, static_cast<std::uint32_t>(v >> 32));
}

// Debug entries of every kind the listing decodes, their data after the table.
void AddDebug(Image& m) {
  Blob& d = m.Rdata();
  struct Item { std::uint32_t type; Blob data; bool mapped; };
  std::vector<Item> items;
  Blob rsds;
  rsds.Str("RSDS", false).U32(0x3A9430B6).U16(0x87C0).U16(0x0BA1).Str("\x4C\x4C\x44\x20\x50\x44\x42\x2E", false);
  rsds.U32(3).Str("C:\\build\\sample.pdb");
  items.push_back({2, rsds, true});
  Blob nb10;
  nb10.Str("NB10", false).U32(0).U32(0x5F00AB12).U32(2).Str("old.pdb");
  items.push_back({2, nb10, false});
  Blob vc;
  vc.U32(0).U32(120).U32(118).U32(4).U32(117);
  items.push_back({12, vc, true});
  Blob pogo;
  pogo.Str("LTCG", false).U32(0x1000).U32(0x80).Str(".text$mn").Align(4).U32(0x2000).U32(0x40).Str(".rdata").Align(4);
  items.push_back({13, pogo, true});
  Blob repro;
  repro.U32(32);
  for (std::uint8_t i = 0; i < 32; ++i) repro.U8(static_cast<std::uint8_t>(0xA0 + i));
  items.push_back({16, repro, true});
  Blob ex;
  ex.U32(0x41);
  items.push_back({20, ex, true});
  Blob misc;
  misc.U32(1).U32(36).U8(1).Zeros(3);
  for (char16_t c : std::u16string(u"\u6837\u672C.exe")) misc.U16(static_cast<std::uint16_t>(c));
  misc.U16(0).Align(4);
  items.push_back({4, misc, false});
  Blob fpo;
  fpo.Zeros(32);
  items.push_back({3, fpo, false});
  Blob other;
  other.Zeros(8);
  items.push_back({99, other, true});

  std::uint32_t at = 28 * static_cast<std::uint32_t>(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::size_t e = 28 * i;
    d.Put32(e + 4, 0x5F000000);
    d.Put16(e + 8, i == 0 ? 1 : 0);
    d.Put32(e + 12, items[i].type);
    d.Put32(e + 16, items[i].data.Size());
    d.Put32(e + 20, items[i].mapped ? kRdata + at : 0);
    d.Put32(e + 24, kRdataRaw + at);
    std::copy(items[i].data.b.begin(), items[i].data.b.end(), d.b.begin() + at);
    at = (at + items[i].data.Size() + 3) & ~3u;
  }
  m.pe.dirs[6] = {kRdata, 28 * static_cast<std::uint32_t>(items.size())};
}

// TLS in .data: the directory, the index, two callbacks into .text.
void AddTls(Image& m, std::uint32_t callbacks) {
  const bool wide = m.pe.Pe32Plus();
  const std::size_t p = wide ? 8 : 4;
  Blob& d = m.Data();
  PutPtr(d, 0, m.Va(kDataVa + 0x80), wide);
  PutPtr(d, p, m.Va(kDataVa + 0x90), wide);
  PutPtr(d, 2 * p, m.Va(kDataVa + 0x40), wide);
  PutPtr(d, 3 * p, m.Va(kDataVa + 0x50), wide);
  d.Put32(4 * p, 0x20);
  d.Put32(4 * p + 4, 0x00500000);
  for (std::uint32_t i = 0; i < callbacks; ++i) PutPtr(d, 0x50 + p * i, m.Va(kText + 0x10 * i), wide);
  m.pe.dirs[9] = {kDataVa, wide ? 40u : 24u};
}

// The load configuration at kLoadConfigAt of .rdata, holding `size` bytes; the
// tables it points at follow at kTablesAt.
void AddLoadConfig(Image& m, std::uint32_t size) {
  const bool wide = m.pe.Pe32Plus();
  Blob& d = m.Rdata();
  const std::size_t lc = kLoadConfigAt;
  auto ptr = [&](std::size_t off32, std::size_t off64, std::uint64_t v) { PutPtr(d, lc + (wide ? off64 : off32), v, wide); };
  d.Put32(lc, size);
  d.Put32(lc + 4, 0x5F000000);
  d.Put16(lc + 8, 10);
  d.Put16(lc + 10, 2);
  d.Put32(lc + 20, 1500);
  d.Put16(lc + (wide ? 78 : 54), 0x0800);            // DependentLoadFlags
  PutPtr(m.Data(), 0x48, wide ? 0x00002B992DDFA232ull : 0xBB40E64Eu, wide);
  ptr(60, 88, m.Va(kDataVa + 0x48));                   // SecurityCookie
  const std::uint32_t t = kRdata + kTablesAt;
  Blob& tables = d;
  if (!wide) {
    ptr(64, 96, m.Va(t + 0x100));                      // two SafeSEH handlers
    ptr(68, 104, 2);
    tables.Put32(kTablesAt + 0x100, kText + 0x40);
    tables.Put32(kTablesAt + 0x104, kText + 0x60);
  }
  ptr(72, 112, m.Va(kDataVa + 0x60));
  ptr(76, 120, m.Va(kDataVa + 0x68));
  ptr(80, 128, m.Va(t));                               // CF functions: RVA + a flag byte
  ptr(84, 136, 3);
  d.Put32(lc + (wide ? 144 : 88), 0x10417500);
  const std::uint8_t flags[] = {0x00, 0x01, 0x04};
  for (std::uint32_t i = 0; i < 3; ++i) {
    tables.Put32(kTablesAt + 5 * i, kText + 0x20 * i);
    tables.b[kTablesAt + 5 * i + 4] = flags[i];
  }
  ptr(104, 160, m.Va(t + 0x20));                       // address-taken IAT entries
  ptr(108, 168, 1);
  tables.Put32(kTablesAt + 0x20, kRdata + 0x7F0);
  ptr(112, 176, m.Va(t + 0x30));                       // long-jump targets
  ptr(116, 184, 1);
  tables.Put32(kTablesAt + 0x30, kText + 0x84);
  ptr(164, 264, m.Va(t + 0x40));                       // EH continuation targets
  ptr(168, 272, 1);
  tables.Put32(kTablesAt + 0x40, kText + 0x90);
  ptr(160, 256, m.Va(kRdata + 0x7C0));                 // VolatileMetadataPointer
  m.pe.dirs[10] = {kRdata + kLoadConfigAt, wide ? 320u : 64u};
}

TEST(GoldenFeatures, DebugTlsAndLoadConfigOfA64BitImage) {
  Image m(true);
  AddDebug(m);
  AddTls(m, 2);
  AddLoadConfig(m, 328);  // 8 bytes more than the fields known
  ExpectGolden("build_info_pe32plus", Parts(m.pe.Build(), "info.dll"));
}

TEST(GoldenFeatures, TlsAndAShortLoadConfigOfA32BitImage) {
  Image m(false);
  AddTls(m, 1);
  AddLoadConfig(m, 0x5C);  // a Windows 8.1 era structure: up to GuardFlags
  ExpectGolden("build_info_pe32", Parts(m.pe.Build(), "info.exe"));
}

// The same image in JSON: every debug entry kind and every guard table, each fact under its key.
TEST(GoldenFeatures, DebugAndLoadConfigInJson) {
  Image m(true);
  AddDebug(m);
  AddLoadConfig(m, 328);
  const std::string json = DumpJson(m.pe.Build(), "info.dll");
  ExpectGolden("debug_load_config.json", PartJson(json, "Debug") + "\n" + PartJson(json, "LoadConfig") + "\n");
}

TEST(GoldenDamage, DebugEntriesPointingOutsideAndCutShort) {
  Image m(true);
  AddDebug(m);
  Blob& d = m.Rdata();
  d.Zeros(0x800);  // .rdata fills its page, so its file data ends where it does in memory
  // The first four entries again at the end of .rdata, with 20 bytes of a fifth.
  const std::size_t s = 0x1000 - 4 * 28 - 20;
  std::copy(d.b.begin(), d.b.begin() + 4 * 28, d.b.begin() + static_cast<std::ptrdiff_t>(s));
  d.Put32(s + 24, 0x7FFFFFF0);                 // CodeView data: a file offset far past the end
  d.Put32(s + 28 + 20, kRdata + 0x10);         // NB10: an RVA that maps elsewhere than its offset
  d.Put32(s + 2 * 28 + 16, 0x20);              // VC_FEATURE: 8 of its 32 bytes before the end of the file
  d.Put32(s + 2 * 28 + 24, 0x1800 - 8);
  d.Put32(s + 3 * 28 + 16, 14);                // POGO: an entry whose name runs into the end of the section
  d.Put32(s + 3 * 28 + 20, 0);
  d.Put32(s + 3 * 28 + 24, kRdataRaw + 0x1000 - 14);
  for (std::size_t i = 0x1000 - 6; i < 0x1000; ++i) d.b[i] = 'x';
  m.pe.dirs[6] = {kRdata + static_cast<std::uint32_t>(s), 0x1000 - 4};
  std::vector<std::uint8_t> f = m.pe.Build();
  ASSERT_EQ(f.size(), 0x1800u);
  ExpectGolden("damage_debug", Parts(f, "debug.dll"));
}

TEST(GoldenDamage, TlsCallbacksWithoutEndAndOutsideTheImage) {
  Image m(false);
  AddTls(m, 0);
  Blob& d = m.Data();
  d.Zeros(0xE00);                        // .data fills its page: no zero fill after the array
  d.Put32(12, static_cast<std::uint32_t>(m.Va(kDataVa + 0xFF0)));  // four callbacks up to the end, no zero
  for (std::size_t at = 0xFF0; at < 0x1000; at += 4) d.Put32(at, static_cast<std::uint32_t>(m.Va(kText)));
  d.Put32(0xFF4, 0x7FFF0000);            // the second one points nowhere
  d.Put32(8, 0x10);                      // AddressOfIndex below the image base
  m.pe.dirs[9] = {kDataVa, 8};
  ExpectGolden("damage_tls", Parts(m.pe.Build(), "tls.exe"));
}

TEST(GoldenDamage, LoadConfigLargerThanItsDataWithBadTables) {
  Image m(true);
  AddLoadConfig(m, 0x2000);                   // Size far past the section's data
  Blob& d = m.Rdata();
  d.Zeros(0x800);  // .rdata fills its page
  // The function table moved to the last 15 bytes of .rdata, claiming far more entries.
  std::copy(d.b.begin() + kTablesAt, d.b.begin() + kTablesAt + 15, d.b.begin() + 0x1000 - 15);
  PutPtr(d, kLoadConfigAt + 128, m.Va(kRdata + 0x1000 - 15), true);
  d.Put32(kLoadConfigAt + 136, 0x10000000);
  d.Put32(0x1000 - 15, 0x00F00000);            // first target outside the image, so the rest are out of order
  PutPtr(d, kLoadConfigAt + 160, 0x10, true);  // IAT table below the image base
  PutPtr(d, kLoadConfigAt + 88, m.Va(0x00F00000), true);  // cookie outside every section
  ExpectGolden("damage_load_config", Parts(m.pe.Build(), "lc.dll"));
}

// Imports that reuse one long table until their work budget is spent, then a
// TLS callback, a debug entry and a certificate table: each part has a budget
// of its own, so the later ones are listed in full.
TEST(GoldenDamage, ImportsThatSpendTheirBudgetHideNoLaterPart) {
  Image m(true);
  AddDebug(m);
  AddTls(m, 1);
  PeBuilder::Section& s = m.pe.Add(".idata", kData);
  const std::uint32_t descriptors = 400, thunks = 600;
  Blob& d = s.data;
  d.Zeros(20 * (descriptors + 1));
  const std::uint32_t table = s.Rva();
  for (std::uint32_t i = 0; i < thunks; ++i) d.U64(0x8000000000000001ull);
  d.U64(0);
  const std::uint32_t name = s.Rva();
  d.Str("LOOP.dll");
  for (std::uint32_t i = 0; i < descriptors; ++i) {
    d.Put32(20 * i, table);
    d.Put32(20 * i + 12, name);
    d.Put32(20 * i + 16, table);
  }
  m.pe.dirs[1] = {s.va, 20 * descriptors};
  // A certificate table of one entry after the sections (PKCS#7, not decodable).
  const auto end = static_cast<std::uint32_t>(m.pe.Build().size());
  m.pe.dirs[4] = {end, 16};
  std::vector<std::uint8_t> f = m.pe.Build();
  Blob cert;
  cert.U32(16).U16(0x0200).U16(2).U32(0x30).U32(0);
  f.insert(f.end(), cert.b.begin(), cert.b.end());
  const std::string listing = Dump(f, "spent.dll");
  EXPECT_NE(listing.find("more import entries than the file can hold"), std::string::npos);
  ExpectGolden("damage_budget_per_part", Parts(f, "spent.dll"));
}

}  // namespace
}  // namespace kestrova::dumper::testing
