// What built a file and whether it is packed: each packer named from its own
// marks on an image built in memory, the Visual Studio table's facts, and the
// section entropy the checksum's pass counts.
#include <cmath>
#include <cstring>

#include "dumper/io/Reader.h"
#include "dumper/pe/Identify.h"
#include "dumper/pe/Parse.h"
#include "tests/dumper/Golden.h"
#include "tests/dumper/Images.h"

namespace kestrova::dumper::testing {
namespace {

// The At a glance lines from `label` on, up to the next label.
std::string GlanceLines(const std::string& listing, std::string_view label) {
  std::size_t at = listing.find("\n  " + std::string(label) + " ");
  if (at == std::string::npos) return {};
  std::string out;
  for (std::size_t pos = at + 1;;) {
    std::size_t end = listing.find('\n', pos);
    std::string line = listing.substr(pos, end - pos);
    if (!out.empty() && line.compare(0, 4, "    ") != 0) break;
    out += line.substr(line.find_first_not_of(' ', 2 + label.size())) + "\n";
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return out;
}

struct PackerCase {
  const char* sections[3];
  std::vector<std::uint8_t> entry;  // the first section's first bytes (the entry point)
  std::string_view header;          // written after the section table
  std::string_view expected;
};

TEST(IdentifyPackers, EachNamedFromItsOwnMarks) {
  const PackerCase cases[] = {
      {{"UPX0", "UPX1", ".rsrc"}, {0x60, 0xBE}, std::string_view("3.96\0UPX!\x0D\x09", 11),
       "UPX 3.96 (sections UPX0/UPX1, 'UPX!' marker at file offset 0x1BD)\n"},
      {{".text", ".aspack", ".adata"}, {0x60, 0xE8, 0x03, 0, 0, 0, 0xE9, 0xEB}, {},
       "ASPack (sections .aspack/.adata)\n"},
      {{".MPRESS1", ".MPRESS2", ".rsrc"}, {0x60, 0xE8}, {}, "MPRESS (sections .MPRESS1/.MPRESS2)\n"},
      {{".text", "PEC2TO", "PEC2"}, {0xB8, 1, 2, 3, 4, 0x50, 0x64, 0xFF, 0x35, 0, 0, 0, 0}, {},
       "PECompact (sections PEC2/PEC2TO)\n"},
      {{".petite", ".rsrc", ".reloc"}, {0xB8, 0, 0x10, 0x40, 0, 0x66, 0x9C, 0x60, 0x50}, {},
       "Petite (section .petite)\n"},
      {{"", "", ".idata"}, {0x87, 0x25, 0x10, 0x20, 0x40, 0x00, 0x61, 0x94, 0x55, 0xA4, 0xB6, 0x80, 0xFF, 0x13}, {},
       "FSG 2.0 (entry point code at RVA 0x1000)\n"},
      {{"MEW", "\x02\xD2\x75\xDB", ".idata"}, {0xE9, 0x10, 0x20, 0x30, 0xFF, 0x0C}, {}, "MEW (section MEW)\n"},
      {{".nsp0", ".nsp1", ".nsp2"}, {0x9C, 0x60}, {}, "NsPack (sections .nsp0/.nsp1)\n"},
      {{"kkrunchy", "", ".idata"}, {0xBD, 0x08}, {}, "kkrunchy (section kkrunchy)\n"},
      {{"        ", "        ", ".themida"}, {0xB8}, {}, "Themida/WinLicense (section .themida)\n"},
      {{"        ", "        ", ".idata"}, {0xB8}, {}, "Themida/WinLicense (2 sections named with 8 spaces)\n"},
      {{".text", ".vmp0", ".vmp1"}, {0x68}, {}, "VMProtect (sections .vmp0/.vmp1)\n"},
      {{".text", ".enigma1", ".enigma2"}, {0x60}, {}, "Enigma (sections .enigma1/.enigma2)\n"},
      {{".text", ".rdata", ".data"}, {0xEB, 0x02, 0x11, 0x22, 0xE8, 0x25, 0, 0, 0}, {},
       "Obsidium (entry point code at RVA 0x1000)\n"},
      // An unpacked program claims no packer.
      {{".text", ".rdata", ".data"}, {0x55, 0x8B, 0xEC}, {}, ""},
  };
  for (const PackerCase& c : cases) {
    PeBuilder pe = Pe32Program();
    pe.sections.clear();
    for (int i = 0; i < 3; ++i) {
      PeBuilder::Section& s = pe.Add(c.sections[i], i == 0 ? kCode : kData);
      s.data.b = i == 0 ? c.entry : std::vector<std::uint8_t>{1};
      s.data.Zeros(0x40);
    }
    pe.dirs[1] = {};
    pe.dirs[12] = {};
    pe.entryPoint = 0x1000;
    pe.headerExtra.Str(c.header, false);
    EXPECT_EQ(GlanceLines(Dump(pe.Build(), "packed.exe"), "Packer"), c.expected) << c.sections[0] << c.sections[1];
  }
}

TEST(IdentifyPackers, GeneralSignsWhenNoNameFits) {
  PeBuilder pe = Pe32Program();
  // Random-looking code, a section with no raw data but 1 MB in memory,
  // writable code, and the entry point in the last section.
  PeBuilder::Section& big = pe.Add(".bss", 0xE0000020);
  big.virtualSize = 0x100000;
  const std::uint32_t after = big.va + big.virtualSize;  // `big` moves as sections are added
  PeBuilder::Section& code = pe.Add(".code", 0x60000020);
  code.va = after;
  std::uint32_t x = 12345;
  for (int i = 0; i < 0x4000; ++i) {
    x = x * 1103515245u + 12345u;
    code.data.U8(static_cast<std::uint8_t>(x >> 23));
  }
  pe.entryPoint = code.va;
  EXPECT_EQ(GlanceLines(Dump(pe.Build(), "packed.exe"), "Packing signs"),
            "executable, entropy above 7.2 bits per byte: section 4 .code (7.99)\n"
            "no raw data, large in memory: section 3 .bss (0x100000 bytes)\n"
            "writable and executable: section 3 .bss\n"
            "entry point 0x103000 lies in section 4 .code, not in the first code section, 1 .text\n");
}

// The table's marks that no npm sample carries, each in the place it lives; a
// mark chance bytes can match alone says only "looks like".
TEST(IdentifyTable, MarksNameWhatTheyMarkAndWeakOnesOnlySuspect) {
  struct Case {
    const char* section;      // an extra data section's name
    std::string_view bytes;   // its contents
    const char* dll;          // an extra imported DLL, or null
    std::string_view label, expected;
    std::string_view overlay = {};
  };
  // .NET's apphost: the bundle header's offset (0: no bundle), then the bundle signature.
  static constexpr char kSignature[] =
      "\x8b\x12\x02\xb9\x6a\x61\x20\x38\x72\x7b\x93\x02\x14\xd7\xa0\x32"
      "\x13\xf5\xb9\xe6\xef\xae\x33\x18\xee\x3b\x2d\xce\x24\xb3\x6a\xae";
  const std::string apphost = std::string(8, '\0') + std::string(kSignature, 32);
  const std::string bundled = std::string("\0\x0A\0\0\0\0\0\0", 8) + std::string(kSignature, 32);
  const std::string_view jpackage("-\0D\0j\0p\0a\0c\0k\0a\0g\0e\0.\0a\0p\0p\0-\0p\0a\0t\0h\0=\0", 40);
  const Case cases[] = {
      {".managed", "", nullptr, "Toolchain", ".NET Native AOT (section .managed)\n"},
      {".reacto", "", nullptr, "Packer", ".NET Reactor (section .reacto)\n"},
      {".data", "", "libmmd.dll", "Toolchain", "Intel C++/Fortran (its runtime) (imports libmmd.dll)\n"},
      {".data", "", "libiomp5md.dll", "Toolchain", "looks like Intel C++/Fortran (its runtime) (imports libiomp5md.dll)\n"},
      {".rdata", "", nullptr, "Installer", "InstallShield (\"ISSetupStream\" at file offset 0xA00)\n",
       std::string_view("ISSetupStream\0\1", 15)},
      {".rdata", "--l4j-debug", nullptr, "Installer",
       "Launch4j (Java launcher) (\"--l4j-debug\" at file offset 0x800, \"PK\\x03\\x04\" at file offset 0xA00)\n",
       std::string_view("PK\x03\x04\x14\0", 6)},
      // A zip after any program is not Launch4j's jar.
      {".rdata", "", nullptr, "Installer", "", std::string_view("PK\x03\x04\x14\0", 6)},
      {".rdata", jpackage, nullptr, "Installer",
       "jpackage launcher (Java) (\"-Djpackage.app-path=\" in UTF-16 at file offset 0x800)\n"},
      {".data", apphost, nullptr, "Toolchain",
       ".NET apphost, the launcher of a .NET program (bundle signature at file offset 0x808, no bundle)\n"},
      {".data", bundled, nullptr, "Installer",
       ".NET single-file bundle (bundle format 6.0, 3 files, header at file offset 0xA00; apphost's bundle signature "
       "at file offset 0x808)\n",
       std::string_view("\6\0\0\0\0\0\0\0\3\0\0\0", 12)},
      {".rdata", std::string_view("\0GHCRTS\0", 8), nullptr, "Toolchain", "Haskell GHC (\"GHCRTS\" at file offset 0x801)\n"},
      {".rdata", "OCAMLRUNPARAM", nullptr, "Toolchain", "OCaml (\"OCAMLRUNPARAM\" at file offset 0x800)\n"},
      {".rdata", "--DRT-gcopt", nullptr, "Toolchain", "D (druntime) (\"--DRT-\" at file offset 0x800)\n"},
      {".data", "", "swiftCore.dll", "Toolchain", "Swift (imports swiftCore.dll)\n"},
      {".data", "", "libcef.dll", "Toolchain", "Chromium Embedded Framework (imports libcef.dll)\n"},
      {".rdata", "SIGSEGV: Illegal storage access. (Attempt to read from nil?)", nullptr, "Toolchain",
       "Nim (\"Illegal storage access. (Attempt to read from nil?)\" at file offset 0x809)\n"},
      {".rdata", "aborting due to recursive panic", nullptr, "Toolchain",
       "looks like Zig (\"aborting due to recursive panic\" at file offset 0x800)\n"},
      {".ndata", "", nullptr, "Installer", "looks like NSIS (section .ndata)\n"},
      {".rdata", "_MEIPASS2", nullptr, "Installer", "looks like PyInstaller (\"_MEIPASS\" at file offset 0x800)\n"},
      {".wixburn", "", nullptr, "Installer", "WiX Burn bundle (section .wixburn)\n"},
      {".rdata", "", nullptr, "Installer", "WinRAR self-extracting archive (\"Rar!\\x1A\\x07\" at file offset 0xA00)\n",
       "Rar!\x1A\x07\0"},
      {".rdata", "", nullptr, "Installer", "PyInstaller, Python 3.11, python311.dll (archive cookie \"MEI\" at file offset 0xA00)\n",
       std::string_view("MEI\x0C\x0B\x0A\x0B\x0E\0\0\1\0\0\0\0\xF0\0\0\0\x10\0\0\1\x37python311.dll\0", 38)},
      {".rdata", "", nullptr, "Installer", "7-Zip self-extracting archive (\"7z\\xBC\\xAF'\\x1C\" at file offset 0xA00)\n",
       "7z\xBC\xAF\x27\x1C\0\4"},
      {".rsrc", "<description>Nullsoft Install System v3.08</description>", nullptr, "Installer",
       "NSIS v3.08 (\"NullsoftInst\" at file offset 0xA04)\n", std::string_view("\xEF\xBE\xAD\xDENullsoftInst", 16)},
  };
  for (const Case& c : cases) {
    PeBuilder pe = Pe32Program();
    if (c.dll != nullptr) {
      std::vector<std::uint32_t> iats;
      PeBuilder::Section& idata = pe.sections[1];
      idata.data.b.clear();
      pe.dirs[1] = {WriteImports(pe, idata, {{"KERNEL32.dll", {{"ExitProcess", 0}}}, {c.dll, {{"f", 0}}}}, &iats), 60};
      pe.dirs[12] = {};
    }
    PeBuilder::Section& s = pe.Add(c.section, kRData);
    s.data.Str(c.bytes, false).Zeros(0x10);
    std::vector<std::uint8_t> f = pe.Build();
    f.insert(f.end(), c.overlay.begin(), c.overlay.end());
    EXPECT_EQ(GlanceLines(Dump(f, "marked.exe"), c.label), c.expected) << c.section << " " << c.bytes;
  }
}

// An export the table knows: a Haskell DLL starts its runtime through hs_init.
TEST(IdentifyTable, ExportedRuntimeEntryNamesItsToolchain) {
  PeBuilder pe = Pe32Program();
  ExportPlan e;
  e.dll = "hs.dll";
  e.functions = {{0x1000, ""}, {0x1010, ""}};
  e.names = {{"hs_exit", 1}, {"hs_init", 0}};
  auto ex = WriteExports(pe.Add(".edata", kRData), e);
  pe.dirs[0] = {ex[0], ex[1]};
  EXPECT_EQ(GlanceLines(Dump(pe.Build(), "hs.dll"), "Toolchain"), "Haskell GHC (exports hs_init)\n");
}

// The CLR header tells C++/CLI (no IL-only flag, Visual C++'s runtime imported) and
// ReadyToRun (its "RTR" header where the managed native header points).
TEST(IdentifyTable, ClrHeaderTellsMixedModeAndReadyToRun) {
  PeBuilder pe = Pe32Program();
  std::vector<std::uint32_t> iats;
  PeBuilder::Section& idata = pe.sections[1];
  idata.data.b.clear();
  pe.dirs[1] = {WriteImports(pe, idata, {{"mscoree.dll", {{"_CorDllMain", 0}}}, {"VCRUNTIME140.dll", {{"memset", 0}}}},
                             &iats), 60};
  pe.dirs[12] = {};
  PeBuilder::Section& cor = pe.Add(".cor", kRData);
  cor.data.U32(72).U16(2).U16(5).U32(0).U32(0).U32(0 /* flags: not IL only */).U32(0);
  cor.data.Zeros(64 - 24).U32(cor.va + 72).U32(0x50);
  cor.data.Str("RTR", true).U16(9).U16(2).Zeros(0x48);
  pe.dirs[14] = {cor.va, 72};
  const std::string t = GlanceLines(Dump(pe.Build(), "mixed.dll"), "Toolchain");
  EXPECT_NE(t.find("C++/CLI, mixed mode (CLR header without the IL-only flag, imports VCRUNTIME140.dll)\n"),
            std::string::npos) << t;
  EXPECT_NE(t.find(".NET ReadyToRun, format 9.2 (precompiled code; its header \"RTR\" at file offset 0x848)\n"),
            std::string::npos) << t;
}

TEST(IdentifyVisualStudio, BuildsNameTheirRelease) {
  struct Fact {
    std::uint16_t product, build;
    std::string_view release;  // empty: not named
  };
  const Fact facts[] = {
      {0x0105, 30133, "Visual Studio 2019 16.11 (MSVC 14.29)"},
      {0x0104, 30159, "Visual Studio 2019 16.11 (MSVC 14.29)"},
      {0x0102, 30037, "Visual Studio 2019 16.10 (MSVC 14.29)"},
      {0x0105, 29913, "Visual Studio 2019 16.9 (MSVC 14.28)"},
      {0x0105, 27508, "Visual Studio 2019 16.0 (MSVC 14.20)"},
      {0x0105, 27045, "Visual Studio 2017 15.9 (MSVC 14.16)"},
      {0x0103, 24215, "Visual Studio 2015 Update 3 (MSVC 14.0)"},
      {0x0105, 23026, "Visual Studio 2015 (MSVC 14.0)"},
      {0x0105, 30705, "Visual Studio 2022 17.0 (MSVC 14.30)"},
      {0x0105, 33519, "Visual Studio 2022 17.9 (MSVC 14.39)"},
      {0x0105, 33811, "Visual Studio 2022 17.10 (MSVC 14.40)"},
      {0x0105, 35207, "Visual Studio 2022 17.14 (MSVC 14.44)"},
      {0x0105, 23000, ""},   // before Visual Studio 2015
      {0x0105, 40000, ""},   // newer than the table
      {0x0083, 30729, "Visual Studio 2008 SP1 (MSVC 9.0)"},
      {0x0105, 30729, "Visual Studio 2022 17.0 (MSVC 14.30)"},  // the same build in the 14.x tool set
      {0x009D, 40219, "Visual Studio 2010 SP1 (MSVC 10.0)"},
      {0x0078, 50727, "Visual Studio 2005 (MSVC 8.0)"},
      {0x00CC, 50727, "Visual Studio 2012 (MSVC 11.0)"},
      {0x00DE, 40629, "Visual Studio 2013 Update 5 (MSVC 12.0)"},
      {0x0001, 30729, ""},   // Import0 says nothing of a release
  };
  for (const Fact& f : facts) {
    auto vs = pe::VisualStudioOf(f.product, f.build);
    std::string got = vs ? std::string(vs->release) + " (" + std::string(vs->msvc) + ")" : "";
    EXPECT_EQ(got, f.release) << f.product << " " << f.build;
  }
}

TEST(IdentifyEntropy, CountedInTheChecksumPass) {
  PeBuilder pe = Pe32Program();
  PeBuilder::Section& all = pe.Add(".all", kRData);  // every byte value twice: 8 bits
  for (int r = 0; r < 2; ++r)
    for (int v = 0; v < 256; ++v) all.data.U8(static_cast<std::uint8_t>(v));
  PeBuilder::Section& two = pe.Add(".two", kRData);  // two values, evenly: 1 bit
  for (int v = 0; v < 512; ++v) two.data.U8(static_cast<std::uint8_t>(v & 1 ? 0xAA : 0x55));
  std::vector<std::uint8_t> f = pe.Build();
  f.insert(f.end(), 100, 0x41);  // an overlay of one value
  pe::Anomalies an;
  io::Reader r(f);
  pe::Headers h = pe::ParseHeaders(r, an);
  ASSERT_EQ(h.sections.size(), 4u);
  EXPECT_NEAR(h.sections[2].entropy, 8.0, 1e-9);
  EXPECT_NEAR(h.sections[3].entropy, 1.0, 1e-9);
  EXPECT_NEAR(h.overlayEntropy, 0.0, 1e-9);
  EXPECT_EQ(h.computedChecksum, ReferenceChecksum(f, PeBuilder::kOptional + 64));
  // A section whose raw data lies past the end of the file has none to count.
  const std::size_t rawPtr = pe.SectionTable() + 3 * 40 + 20;
  std::uint32_t raw = 0;
  std::memcpy(&raw, f.data() + rawPtr, 4);
  Put32(f, rawPtr, 0x7FFFF000);
  pe::Headers cut = pe::ParseHeaders(io::Reader(f), an);
  EXPECT_EQ(cut.sections[3].entropy, 0.0);
  // A big file is counted in two halves: both must reach the same tables and sum.
  Put32(f, rawPtr, raw);
  f.resize(f.size() - 100);
  f.insert(f.end(), 5u << 20, 0x41);
  f.insert(f.end(), (5u << 20) + 3, 0x42);
  pe::Headers big = pe::ParseHeaders(io::Reader(f), an);
  EXPECT_NEAR(big.overlayEntropy, 1.0, 1e-6);
  EXPECT_NEAR(big.sections[2].entropy, 8.0, 1e-9);
  EXPECT_EQ(big.computedChecksum, ReferenceChecksum(f, PeBuilder::kOptional + 64));
}

}  // namespace
}  // namespace kestrova::dumper::testing
