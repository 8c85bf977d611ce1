// The file's identity, DOS, COFF and optional headers, directories and sections.
#include <algorithm>

#include "dumper/banner.h"
#include "dumper/pe/Parse.h"
#include "dumper/print/Part.h"

namespace kestrova::dumper::print {

using namespace pe;

namespace {

const char* KindText(const Headers& h) {
  if (h.kind == FileKind::NotExecutable) return "not an executable";
  if (h.kind == FileKind::Dos) return "plain DOS program";
  if (!h.opt.present) return "PE file without a usable optional header";
  return h.opt.pe32plus ? "PE32+ (64-bit) image" : "PE32 (32-bit) image";
}

}  // namespace

void PrintIntro(Printer& o, std::string_view displayName, const Headers& h) {
  o.Text(kBanner);
  o.Nl();
  o.Nl();
  Field(o, "File").Name(displayName);
  o.Nl();
  Field(o, "Size").Dec(h.fileSize).Text(" bytes (0x").Hex(h.fileSize, 0).Ch(')');
  o.Nl();
  Field(o, "Type").Text(KindText(h));
  if (h.kind == FileKind::Pe && h.hasCoff) {
    if (h.coff.characteristics & 0x2000) o.Text(", DLL");
    else if (h.coff.characteristics & 0x0002) o.Text(", executable");
    o.Text(", machine ");
    if (const Named* m = Find(Machines(), h.coff.machine)) o.Text(m->name);
    else o.Text("0x").Hex(h.coff.machine, 4);
  }
  if (!h.what.empty()) o.Text(": ").Text(h.what);
  o.Nl();
}

void PrintDos(Printer& o, const HeaderPart&, const Context& ctx) {
  const DosHeader& d = ctx.h.dos;
  auto f16 = [&](std::string_view label, std::uint16_t v) {
    Field(o, label).Hex(v, 4);
    o.Nl();
  };
  Field(o, "e_magic     signature").Hex(d.magic, 4).Text("  \"MZ\"");
  o.Nl();
  f16("e_cblp      bytes on last page", d.cblp);
  f16("e_cp        pages in file", d.cp);
  f16("e_crlc      relocations", d.crlc);
  f16("e_cparhdr   header paragraphs", d.cparhdr);
  f16("e_minalloc  minimum extra paras", d.minalloc);
  f16("e_maxalloc  maximum extra paras", d.maxalloc);
  f16("e_ss        initial SS", d.ss);
  f16("e_sp        initial SP", d.sp);
  f16("e_csum      checksum", d.csum);
  f16("e_ip        initial IP", d.ip);
  f16("e_cs        initial CS", d.cs);
  f16("e_lfarlc    relocation table", d.lfarlc);
  f16("e_ovno      overlay number", d.ovno);
  Field(o, "e_res       reserved");
  for (std::uint16_t r : d.res) o.Hex(r, 4).Ch(' ');
  o.Nl();
  f16("e_oemid     OEM identifier", d.oemid);
  f16("e_oeminfo   OEM information", d.oeminfo);
  Field(o, "e_res2      reserved");
  for (std::uint16_t r : d.res2) o.Hex(r, 4).Ch(' ');
  o.Nl();
  Field(o, "e_lfanew    new header offset").Hex(d.lfanew, 8);
  o.Nl();
}

void PrintCoff(Printer& o, const HeaderPart&, const Context& ctx) {
  const Headers& h = ctx.h;
  if (h.hasCoff) {
    const CoffHeader& c = h.coff;
    Field(o, "Signature").Text("50450000  \"PE\\0\\0\" at file offset 0x").Hex(h.coffOffset - 4, 0);
    o.Nl();
    Field(o, "Machine").Hex(c.machine, 4);
    if (const Named* m = Find(Machines(), c.machine)) o.Text("  ").Text(m->name).Text("  ").Text(m->meaning);
    else o.Text("  (unknown machine)");
    o.Nl();
    Field(o, "NumberOfSections").Dec(c.numberOfSections);
    o.Nl();
    Field(o, "TimeDateStamp");
    Stamp(o, {}, c.timeDateStamp, StampStyle::Header);
    o.Nl();
    Field(o, "PointerToSymbolTable").Hex(c.pointerToSymbolTable, 8);
    o.Nl();
    Field(o, "NumberOfSymbols").Dec(c.numberOfSymbols);
    o.Nl();
    Field(o, "SizeOfOptionalHeader").Hex(c.sizeOfOptionalHeader, 4).Text(" (").Dec(c.sizeOfOptionalHeader).Ch(')');
    o.Nl();
    Field(o, "Characteristics").Hex(c.characteristics, 4);
    o.Nl();
    FlagLines(o, {}, c.characteristics, FileCharacteristics(), 4);
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
      out.Text("  computed ").Hex(h.computedChecksum, 8);
      if (v == 0) out.Text(" (none stored)");
      else out.Text(v == h.computedChecksum ? " (matches)" : " (DIFFERS)");
    }
  });
}

void PrintDirectories(Printer& o, const HeaderPart&, const Context& ctx) {
  const Headers& h = ctx.h;
  o.Text("  #   Name").Col(20).Text("RVA       Size      Where");
  o.Nl();
  auto names = DirectoryNames();
  for (std::size_t i = 0; i < h.dirs.size(); ++i) {
    const DataDirectory& d = h.dirs[i];
    o.Text("  ").DecR(i, 2).Text("  ").Text(names[i].name).Col(20).Hex(d.rva, 8).Text("  ").Hex(d.size, 8).Text("  ");
    if (d.rva == 0 && d.size == 0) o.Text("-");
    else if (i == kDirCertificate) o.Text(d.inFile ? "file offset, not mapped" : "file offset, outside the file");
    else if (d.section != kNoSection) o.Name(SectionName(h.sections[static_cast<std::size_t>(d.section)]));
    else if (d.inHeaders) o.Text("headers");
    else o.Text("outside every section");
    o.Nl();
  }
}

void PrintSections(Printer& o, const HeaderPart&, const Context& ctx) {
  const Headers& h = ctx.h;
  // The name column fits the longest name (long names come from the string table).
  std::size_t width = 8;
  for (const Section& s : h.sections) width = std::max(width, std::min<std::size_t>(SectionName(s).size(), 32));
  std::size_t col = 6 + width + 2;
  o.Text("  #   Name").Col(col).Text("VirtSize  VirtAddr  RawSize   RawPtr    Flags     Characteristics");
  o.Nl();
  for (std::size_t i = 0; i < h.sections.size(); ++i) {
    const Section& s = h.sections[i];
    o.Text("  ").DecR(i + 1, 2).Text("  ").Name(SectionName(s)).Col(col);
    o.Hex(s.virtualSize, 8).Text("  ").Hex(s.virtualAddress, 8).Text("  ");
    o.Hex(s.sizeOfRawData, 8).Text("  ").Hex(s.pointerToRawData, 8).Text("  ").Hex(s.characteristics, 8);
    std::uint64_t known = FlagWords(o, {}, s.characteristics, SectionFlags(), "  ");
    if (std::uint32_t a = (s.characteristics & kSectionAlignMask) >> 20; a != 0) {
      if (a <= 14) o.Text(" ALIGN_").Dec(std::uint64_t{1} << (a - 1)).Text("BYTES");
      else o.Text(" ALIGN_(invalid)");
    }
    known |= kSectionAlignMask;
    if (std::uint64_t rest = s.characteristics & ~known; rest != 0) o.Text(" (unknown ").Hex(rest, 8).Ch(')');
    o.Nl();
    if (!s.longName.empty()) {
      o.Col(8).Text("name field ").Name(s.name);
      o.Nl();
    }
    if (s.pointerToRelocations || s.numberOfRelocations || s.pointerToLinenumbers || s.numberOfLinenumbers) {
      o.Col(8).Text("relocations at ").Hex(s.pointerToRelocations, 8).Text(" (").Dec(s.numberOfRelocations);
      o.Text("), line numbers at ").Hex(s.pointerToLinenumbers, 8).Text(" (").Dec(s.numberOfLinenumbers).Ch(')');
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
