// The file's identity, DOS, COFF and optional headers, directories and sections.
#include <algorithm>

#include "dumper/banner.h"
#include "dumper/print/Printers.h"

namespace kestrova::dumper::print {

using namespace pe;

void Title(Out& o, std::string_view title) {
  o.Nl();
  o.Text("== ").Text(title).Text(" ==");
  o.Nl();
}

void Count(Out& o, std::uint64_t n, std::string_view one, std::string_view many) {
  o.Dec(n).Ch(' ').Text(n == 1 ? one : many);
}

Out& Field(Out& o, std::string_view label) {
  o.Text("  ").Text(label).Col(kValueCol);
  return o;
}

void FlagLines(Out& o, std::uint32_t value, std::span<const Named> table, int width) {
  std::uint32_t known = 0;
  for (const Named& n : table) {
    known |= n.value;
    if ((value & n.value) == 0) continue;
    o.Col(kValueCol + 2).Hex(n.value, width).Text("  ").Text(n.name).Col(kValueCol + 2 + static_cast<std::size_t>(width) + 26).Text(n.meaning);
    o.Nl();
  }
  if (std::uint32_t rest = value & ~known; rest != 0) {
    o.Col(kValueCol + 2).Hex(rest, width).Text("  (unknown bits)");
    o.Nl();
  }
}

void Where(Out& o, const Anomaly& a) {
  if (a.where == Anomaly::Where::Offset) o.Text(" (file offset 0x").Hex(a.at, 0).Ch(')');
  else if (a.where == Anomaly::Where::Rva) o.Text(" (RVA 0x").Hex(a.at, 0).Ch(')');
}

void AreaAnomalies(Out& o, const Anomalies& an, Area area) {
  for (const Anomaly& a : an.List()) {
    if (a.area != area) continue;
    o.Text("  ! warning: ").Name(a.text);
    Where(o, a);
    o.Nl();
  }
}

std::string_view SectionName(const Section& s) { return s.longName.empty() ? s.name : s.longName; }

namespace {

const char* KindText(const Headers& h) {
  if (h.kind == FileKind::NotExecutable) return "not an executable";
  if (h.kind == FileKind::Dos) return "plain DOS program";
  if (!h.opt.present) return "PE file without a usable optional header";
  return h.opt.pe32plus ? "PE32+ (64-bit) image" : "PE32 (32-bit) image";
}

void SectionRef(Out& o, const Headers& h, int index) {
  if (index == kNoSection) return;
  o.Text("  in ").Name(SectionName(h.sections[static_cast<std::size_t>(index)]));
}

int SectionOf(const Headers& h, std::uint64_t rva) {
  for (std::size_t i = 0; i < h.sections.size(); ++i)
    if (rva >= h.sections[i].virtualAddress && rva < h.sections[i].virtualEnd) return static_cast<int>(i);
  return kNoSection;
}

void Stamp(Out& o, std::uint32_t t) {
  o.Hex(t, 8);
  if (t == 0) o.Text("  (not set)");
  else o.Text("  ").Date(t);
}

}  // namespace

void PrintIntro(Out& o, std::string_view displayName, const Headers& h) {
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

void PrintDos(Out& o, const Headers& h, const Anomalies& an) {
  if (!h.hasDos) return;
  Title(o, "DOS header");
  const DosHeader& d = h.dos;
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
  AreaAnomalies(o, an, Area::Dos);
}

void PrintCoff(Out& o, const Headers& h, const Anomalies& an) {
  if (h.kind != FileKind::Pe) return;
  Title(o, "COFF file header");
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
    Stamp(o, c.timeDateStamp);
    o.Nl();
    Field(o, "PointerToSymbolTable").Hex(c.pointerToSymbolTable, 8);
    o.Nl();
    Field(o, "NumberOfSymbols").Dec(c.numberOfSymbols);
    o.Nl();
    Field(o, "SizeOfOptionalHeader").Hex(c.sizeOfOptionalHeader, 4).Text(" (").Dec(c.sizeOfOptionalHeader).Ch(')');
    o.Nl();
    Field(o, "Characteristics").Hex(c.characteristics, 4);
    o.Nl();
    FlagLines(o, c.characteristics, FileCharacteristics(), 4);
  }
  AreaAnomalies(o, an, Area::Coff);
}

void PrintOptional(Out& o, const Headers& h, const Anomalies& an) {
  if (h.kind != FileKind::Pe || !h.hasCoff) return;
  Title(o, "Optional header");
  const OptionalHeader& p = h.opt;
  if (p.present) {
    const bool w = p.pe32plus;
    // Each field is shown only when the file really holds it.
    auto has = [&](std::uint32_t off, std::uint32_t len) { return off + len <= p.available; };
    auto missing = [&](std::string_view label) {
      Field(o, label).Text("(past the end of the file)");
      o.Nl();
    };
    auto hex = [&](std::string_view label, std::uint32_t off, std::uint32_t len, std::uint64_t v) {
      if (!has(off, len)) return missing(label);
      Field(o, label).Hex(v, static_cast<int>(len * 2));
      o.Nl();
    };
    auto size = [&](std::string_view label, std::uint32_t off, std::uint32_t len, std::uint64_t v) {
      if (!has(off, len)) return missing(label);
      Field(o, label).Hex(v, static_cast<int>(len * 2)).Text(" (").Dec(v).Ch(')');
      o.Nl();
    };
    auto dec = [&](std::string_view label, std::uint32_t off, std::uint32_t len, std::uint64_t v) {
      if (!has(off, len)) return missing(label);
      Field(o, label).Dec(v);
      o.Nl();
    };
    auto rva = [&](std::string_view label, std::uint32_t off, std::uint32_t v) {
      if (!has(off, 4)) return missing(label);
      Field(o, label).Hex(v, 8);
      SectionRef(o, h, SectionOf(h, v));
      o.Nl();
    };
    Field(o, "Magic").Hex(p.magic, 4).Text(w ? "  PE32+" : "  PE32");
    o.Nl();
    dec("MajorLinkerVersion", 2, 1, p.majorLinker);
    dec("MinorLinkerVersion", 3, 1, p.minorLinker);
    size("SizeOfCode", 4, 4, p.sizeOfCode);
    size("SizeOfInitializedData", 8, 4, p.sizeOfInitializedData);
    size("SizeOfUninitializedData", 12, 4, p.sizeOfUninitializedData);
    rva("AddressOfEntryPoint", 16, p.addressOfEntryPoint);
    rva("BaseOfCode", 20, p.baseOfCode);
    if (!w) rva("BaseOfData", 24, p.baseOfData);
    if (w) hex("ImageBase", 24, 8, p.imageBase);
    else hex("ImageBase", 28, 4, p.imageBase);
    hex("SectionAlignment", 32, 4, p.sectionAlignment);
    hex("FileAlignment", 36, 4, p.fileAlignment);
    dec("MajorOperatingSystemVersion", 40, 2, p.majorOs);
    dec("MinorOperatingSystemVersion", 42, 2, p.minorOs);
    dec("MajorImageVersion", 44, 2, p.majorImage);
    dec("MinorImageVersion", 46, 2, p.minorImage);
    dec("MajorSubsystemVersion", 48, 2, p.majorSubsystem);
    dec("MinorSubsystemVersion", 50, 2, p.minorSubsystem);
    hex("Win32VersionValue", 52, 4, p.win32VersionValue);
    size("SizeOfImage", 56, 4, p.sizeOfImage);
    size("SizeOfHeaders", 60, 4, p.sizeOfHeaders);
    if (has(64, 4)) {
      Field(o, "CheckSum").Hex(p.checkSum, 8);
      if (h.checksumComputed) {
        o.Text("  computed ").Hex(h.computedChecksum, 8);
        if (p.checkSum == 0) o.Text(" (none stored)");
        else o.Text(p.checkSum == h.computedChecksum ? " (matches)" : " (DIFFERS)");
      }
      o.Nl();
    } else {
      missing("CheckSum");
    }
    if (has(68, 2)) {
      Field(o, "Subsystem").Hex(p.subsystem, 4);
      if (const Named* s = Find(Subsystems(), p.subsystem)) o.Text("  ").Text(s->name).Text("  ").Text(s->meaning);
      else o.Text("  (unknown subsystem)");
      o.Nl();
    } else {
      missing("Subsystem");
    }
    if (has(70, 2)) {
      Field(o, "DllCharacteristics").Hex(p.dllCharacteristics, 4);
      o.Nl();
      FlagLines(o, p.dllCharacteristics, DllCharacteristics(), 4);
    } else {
      missing("DllCharacteristics");
    }
    std::uint32_t n = w ? 8 : 4;
    size("SizeOfStackReserve", 72, n, p.sizeOfStackReserve);
    size("SizeOfStackCommit", 72 + n, n, p.sizeOfStackCommit);
    size("SizeOfHeapReserve", 72 + 2 * n, n, p.sizeOfHeapReserve);
    size("SizeOfHeapCommit", 72 + 3 * n, n, p.sizeOfHeapCommit);
    hex("LoaderFlags", 72 + 4 * n, 4, p.loaderFlags);
    dec("NumberOfRvaAndSizes", 76 + 4 * n, 4, p.numberOfRvaAndSizes);
  }
  AreaAnomalies(o, an, Area::Optional);
}

void PrintDirectories(Out& o, const Headers& h, const Anomalies& an) {
  if (!h.opt.present) return;
  Title(o, "Data directories");
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
  AreaAnomalies(o, an, Area::Directories);
}

void PrintSections(Out& o, const Headers& h, const Anomalies& an) {
  if (h.kind != FileKind::Pe || !h.hasCoff) return;
  Title(o, "Section table");
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
    std::uint32_t known = 0;
    bool first = true;
    for (const Named& n : SectionFlags()) {
      known |= n.value;
      if ((s.characteristics & n.value) == 0) continue;
      o.Text(first ? "  " : " ").Text(n.name);
      first = false;
    }
    if (std::uint32_t a = (s.characteristics & kSectionAlignMask) >> 20; a != 0) {
      if (a <= 14) o.Text(" ALIGN_").Dec(std::uint64_t{1} << (a - 1)).Text("BYTES");
      else o.Text(" ALIGN_(invalid)");
    }
    known |= kSectionAlignMask;
    if (std::uint32_t rest = s.characteristics & ~known; rest != 0) o.Text(" (unknown ").Hex(rest, 8).Ch(')');
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
  AreaAnomalies(o, an, Area::Sections);
}

}  // namespace kestrova::dumper::print
