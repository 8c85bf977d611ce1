// The file's identity, DOS, COFF and optional headers, directories and sections.
#include <algorithm>
#include <cstdio>

#include "dumper/banner.h"
#include "dumper/io/Format.h"
#include "dumper/pe/Parse.h"
#include "dumper/print/Part.h"
#include "dumper/lang/catalog/Common.h"
#include "dumper/lang/catalog/Headers.h"

namespace kestrova::dumper::print {

using namespace pe;
namespace M = lang::M;

namespace {

// The file's kind: the listing's words, and a short word for JSON.
void Kind(Printer& o, const Headers& h) {
  if (h.kind == FileKind::NotExecutable) o.Word("type", M::KindNotExecutable, "notExecutable");
  else if (h.kind == FileKind::Dos) o.Word("type", M::KindDos, "dos");
  else if (!h.opt.present) o.Word("type", M::KindPeNoOptional, "pe");
  else if (h.opt.pe32plus) o.Word("type", M::KindPe32Plus, "PE32+");
  else o.Word("type", M::KindPe32, "PE32");
}

}  // namespace

void PrintIntro(Printer& o, std::string_view displayName, const Headers& h, std::string_view otherKind,
                std::string_view otherKindJson) {
  o.Word("tool", kBanner);
  o.Nl();
  o.Nl();
  Field(o, M::IntroFile, "file").Name(displayName);
  o.Nl();
  char sizeHex[20];
  const std::string_view size(sizeHex, static_cast<std::size_t>(io::PutHex(sizeHex, h.fileSize, 0) - sizeHex));
  Field(o, M::IntroSize, "size").Dec(h.fileSize).Say(M::IntroSizeBytes, {size});
  o.Nl();
  if (!otherKind.empty()) {
    Field(o, M::IntroType, "Type").Word("type", otherKind, otherKindJson);
    o.Nl();
    return;
  }
  Field(o, M::IntroType, "Type");
  Kind(o, h);
  if (h.kind == FileKind::Pe && h.hasCoff) {
    if (h.coff.characteristics & 0x2000) o.Word("role", M::RoleDll, "dll");
    else if (h.coff.characteristics & 0x0002) o.Word("role", M::RoleExecutable, "executable");
    o.Say(M::IntroMachine);
    if (const Named* m = Find(Machines(), h.coff.machine)) {
      o.Word("machine", m->name);
    } else {
      // An unknown machine by its number, a string like the names.
      char hex[8] = {'0', 'x'};
      o.Word("machine", std::string_view(hex, static_cast<std::size_t>(io::PutHex(hex + 2, h.coff.machine, 4) - hex)));
    }
  }
  if (!h.what.empty()) o.Say(M::IntroDetailSep).Word("detail", h.what);
  o.Nl();
}

void PrintDos(Printer& o, const HeaderPart&, const Context& ctx) {
  const DosHeader& d = ctx.h.dos;
  auto f16 = [&](lang::Msg label, std::uint16_t v) {
    Field(o, label).Hex(v, 4);
    o.Nl();
  };
  Field(o, M::HdrDosMagic).Hex(d.magic, 4).Text("  \"MZ\"");
  o.Nl();
  f16(M::HdrDosCblp, d.cblp);
  f16(M::HdrDosCp, d.cp);
  f16(M::HdrDosCrlc, d.crlc);
  f16(M::HdrDosCparhdr, d.cparhdr);
  f16(M::HdrDosMinalloc, d.minalloc);
  f16(M::HdrDosMaxalloc, d.maxalloc);
  f16(M::HdrDosSs, d.ss);
  f16(M::HdrDosSp, d.sp);
  f16(M::HdrDosCsum, d.csum);
  f16(M::HdrDosIp, d.ip);
  f16(M::HdrDosCs, d.cs);
  f16(M::HdrDosLfarlc, d.lfarlc);
  f16(M::HdrDosOvno, d.ovno);
  Field(o, M::HdrDosRes);
  {
    Scoped words(o, Scoped::kList, "e_res");
    for (std::uint16_t r : d.res) o.Hex(r, 4).Ch(' ');
  }
  o.Nl();
  f16(M::HdrDosOemid, d.oemid);
  f16(M::HdrDosOeminfo, d.oeminfo);
  Field(o, M::HdrDosRes2);
  {
    Scoped words(o, Scoped::kList, "e_res2");
    for (std::uint16_t r : d.res2) o.Hex(r, 4).Ch(' ');
  }
  o.Nl();
  Field(o, M::HdrDosLfanew).Hex(d.lfanew, 8);
  o.Nl();
}

void PrintCoff(Printer& o, const HeaderPart&, const Context& ctx) {
  const Headers& h = ctx.h;
  if (h.hasCoff) {
    const CoffHeader& c = h.coff;
    // The signature's bytes, as HexBytes gives bytes in JSON.
    Field(o, "Signature").Word({}, "50450000", "50450000").Say(M::HdrCoffSignatureAt);
    o.Hex("signatureOffset", h.coffOffset - 4, 0);
    o.Nl();
    Field(o, "Machine").Hex(c.machine, 4);
    if (const Named* m = Find(Machines(), c.machine)) o.Text("  ").Word("MachineName", m->name).Text("  ").Text(m->meaning.In(o.Language()));
    else o.Say(M::HdrCoffUnknownMachine);
    o.Nl();
    Field(o, "NumberOfSections").Dec(c.numberOfSections);
    o.Nl();
    Field(o, "TimeDateStamp");
    Stamp(o, "TimeDateStamp", c.timeDateStamp, StampStyle::Header);
    o.Nl();
    Field(o, "PointerToSymbolTable").Hex(c.pointerToSymbolTable, 8);
    o.Nl();
    Field(o, "NumberOfSymbols").Dec(c.numberOfSymbols);
    o.Nl();
    Field(o, "SizeOfOptionalHeader").Hex(c.sizeOfOptionalHeader, 4).Text(" (").Dec(kNoKey, c.sizeOfOptionalHeader).Ch(')');
    o.Nl();
    Field(o, "Characteristics").Hex(c.characteristics, 4);
    o.Nl();
    FlagLines(o, "CharacteristicsFlags", c.characteristics, FileCharacteristics(), 4);
  }
}

void PrintOptional(Printer& o, const HeaderPart&, const Context& ctx) {
  const Headers& h = ctx.h;
  if (!h.opt.present) return;
  PrintFields(o, h.optionalFields, ctx, [&](Printer& out, std::size_t i, std::uint64_t v) {
    if (i == kOptMagic) {
      out.Hex(v, 4).Text(h.opt.pe32plus ? "  PE32+" : "  PE32");
      return;
    }
    out.Hex(v, 8);  // the checksum, beside the one computed from the file
    if (h.checksumComputed) {
      out.Say(M::HdrOptComputed).Hex("computedCheckSum", h.computedChecksum, 8);
      // A stored 0 says "none" by itself; otherwise whether the two agree.
      if (v == 0) out.Say(M::HdrOptNoneStored);
      else out.Say(v == h.computedChecksum ? M::HdrOptMatches : M::HdrOptDiffers).Fact("checkSumMatches", v == h.computedChecksum);
    }
  });
}

void PrintDirectories(Printer& o, const HeaderPart&, const Context& ctx) {
  const Headers& h = ctx.h;
  o.Text("  #   ").Say(M::HdrColName).Col(20).Text("RVA").Col(30).Say(M::HdrDirColSize).Col(40).Say(M::HdrDirColWhere);
  o.Nl();
  auto names = DirectoryNames();
  // "where" is a word (none, file, outsideFile, section, headers, outside);
  // a section's name is under "section", so no section name passes for a word.
  Scoped rows(o, Scoped::kList, "directories");
  for (std::size_t i = 0; i < h.dirs.size(); ++i) {
    const DataDirectory& d = h.dirs[i];
    Scoped row(o, Scoped::kObject, {});
    o.Text("  ").DecR("index", i, 2).Text("  ").Word("name", names[i].name).Col(20);
    o.Hex("rva", d.rva, 8).Text("  ").Hex("size", d.size, 8).Text("  ");
    if (d.rva == 0 && d.size == 0) {
      o.Word("where", "-", "none");
    } else if (i == kDirCertificate) {
      if (d.inFile) o.Word("where", M::HdrDirFileOffset, "file");
      else o.Word("where", M::HdrDirFileOffsetOutside, "outsideFile");
    } else if (d.section != kNoSection) {
      o.Word("where", "", "section").Name("section", SectionName(h.sections[static_cast<std::size_t>(d.section)]));
    } else if (d.inHeaders) {
      o.Word("where", M::HdrDirInHeaders, "headers");
    } else {
      o.Word("where", M::HdrDirOutside, "outside");
    }
    o.Nl();
  }
}

// Shannon entropy in bits per byte, two decimals ("-" when it was not counted).
void Entropy(Printer& o, double e) {
  if (e < 0) {
    o.Real("entropy", "   -  ", "");
    return;
  }
  char buf[16];
  std::snprintf(buf, sizeof buf, "%6.2f", e);
  o.Real("entropy", buf, std::string_view(buf).substr(std::string_view(buf).find_first_not_of(' ')));
}

void PrintSections(Printer& o, const HeaderPart&, const Context& ctx) {
  const Headers& h = ctx.h;
  // The name column fits the longest name (long names come from the string table).
  std::size_t width = 8;
  for (const Section& s : h.sections) width = std::max(width, std::min<std::size_t>(SectionName(s).size(), 32));
  std::size_t col = 6 + width + 2;
  o.Text("  #   ").Say(M::HdrColName).Col(col).Say(M::HdrSecColVirtSize).Col(col + 10).Say(M::HdrSecColVirtAddr);
  o.Col(col + 20).Say(M::HdrSecColRawSize).Col(col + 30).Say(M::HdrSecColRawPtr).Col(col + 40).Say(M::HdrSecColEntropy);
  o.Col(col + 49).Say(M::HdrSecColFlags).Col(col + 59).Say(M::HdrSecColCharacteristics);
  o.Nl();
  Scoped rows(o, Scoped::kList, "sections");
  for (std::size_t i = 0; i < h.sections.size(); ++i) {
    const Section& s = h.sections[i];
    Scoped row(o, Scoped::kObject, {});
    // The number is how other parts name a section without a name.
    o.Text("  ").DecR("index", i + 1, 2).Text("  ").Name("name", SectionName(s)).Col(col);
    o.Hex("VirtualSize", s.virtualSize, 8).Text("  ").Hex("VirtualAddress", s.virtualAddress, 8).Text("  ");
    o.Hex("SizeOfRawData", s.sizeOfRawData, 8).Text("  ").Hex("PointerToRawData", s.pointerToRawData, 8).Text("  ");
    Entropy(o, s.entropy);
    o.Text("   ");
    o.Hex("Characteristics", s.characteristics, 8);
    std::uint64_t known = FlagWords(o, "flags", s.characteristics, SectionFlags(), "  ");
    if (std::uint32_t a = (s.characteristics & kSectionAlignMask) >> 20; a != 0) {
      // The alignment by the format's flag name, IMAGE_SCN_ALIGN_<n>BYTES.
      if (a <= 14) {
        const std::string align = "ALIGN_" + io::Dec(std::uint64_t{1} << (a - 1)) + "BYTES";
        o.Ch(' ').Word("align", align);
      } else {
        o.Word("align", M::HdrSecAlignInvalid, "invalid");
      }
    }
    known |= kSectionAlignMask;
    if (std::uint64_t rest = s.characteristics & ~known; rest != 0) o.Say(M::HdrSecUnknownBits).Hex("unknownBits", rest, 8).Say(M::HdrSecUnknownBitsEnd);
    o.Nl();
    if (!s.longName.empty()) {
      o.Col(8).Say(M::HdrSecNameField).Name("nameField", s.name);
      o.Nl();
    }
    if (s.pointerToRelocations || s.numberOfRelocations || s.pointerToLinenumbers || s.numberOfLinenumbers) {
      o.Col(8).Say(M::HdrSecRelocsAt).Hex("PointerToRelocations", s.pointerToRelocations, 8).Say(M::HdrSecCountOpen);
      o.Dec("NumberOfRelocations", s.numberOfRelocations).Say(M::HdrSecLinesAt);
      o.Hex("PointerToLinenumbers", s.pointerToLinenumbers, 8).Say(M::HdrSecCountOpen);
      o.Dec("NumberOfLinenumbers", s.numberOfLinenumbers).Say(M::HdrSecCountClose);
      o.Nl();
    }
  }
}

KESTROVA_PART(Dos)
KESTROVA_PART(Coff)
KESTROVA_PART(Optional)
KESTROVA_PART(Directories)
KESTROVA_PART(Sections)

}  // namespace kestrova::dumper::print
