#pragma once
// Typed records of what the parser found. Names point into the file's bytes
// (string_view), so the records stay small; the printer escapes them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dumper/pe/Layout.h"

namespace kestrova::dumper::pe {

// The part of the listing a problem belongs to; the printer shows each problem
// under its part and again in the closing summary.
enum class Area : std::uint8_t {
  File,  // the file as a whole: not a part of its own
#define PART(Id, title, titleZh, summary, summaryZh, anchor) Id,
#include "dumper/Parts.def"
#undef PART
  Count
};
inline constexpr std::size_t kAreaCount = static_cast<std::size_t>(Area::Count);

// When a part runs: for every file, or (an index >= 0) when the image has an
// optional header and that data directory is not zero.
inline constexpr int kAnchorFile = -1;
// Runs after the other parts, on what they noted, and is shown before them.
inline constexpr int kAnchorSummary = -2;

struct Anomaly {
  enum class Where : std::uint8_t { None, Offset, Rva };
  Area area = Area::File;
  Where where = Where::None;
  std::uint64_t at = 0;
  std::string text;
};

// Collects problems while parsing; capped so a file made of nothing but damage
// cannot grow the list without limit.
class Anomalies {
 public:
  static constexpr std::size_t kMaxPerArea = 200;
  void AtOffset(Area a, std::uint64_t off, std::string text) { Add(a, Anomaly::Where::Offset, off, std::move(text)); }
  void AtRva(Area a, std::uint64_t rva, std::string text) { Add(a, Anomaly::Where::Rva, rva, std::move(text)); }
  void Note(Area a, std::string text) { Add(a, Anomaly::Where::None, 0, std::move(text)); }
  const std::vector<Anomaly>& List() const { return list_; }
  bool Any(Area a) const { return perArea_[static_cast<std::size_t>(a)] != 0; }
  std::size_t Suppressed() const { return suppressed_; }

 private:
  void Add(Area a, Anomaly::Where w, std::uint64_t at, std::string text);
  std::vector<Anomaly> list_;
  std::size_t perArea_[kAreaCount] = {};
  std::size_t suppressed_ = 0;
};

enum class FileKind : std::uint8_t { NotExecutable, Dos, Pe };

struct DosHeader {
  std::uint16_t magic, cblp, cp, crlc, cparhdr, minalloc, maxalloc, ss, sp, csum, ip, cs, lfarlc, ovno;
  std::uint16_t res[4];
  std::uint16_t oemid, oeminfo;
  std::uint16_t res2[10];
  std::uint32_t lfanew;
};

struct CoffHeader {
  std::uint16_t machine = 0, numberOfSections = 0;
  std::uint32_t timeDateStamp = 0, pointerToSymbolTable = 0, numberOfSymbols = 0;
  std::uint16_t sizeOfOptionalHeader = 0, characteristics = 0;
};

inline constexpr std::uint16_t kMagicPe32 = 0x10B;
inline constexpr std::uint16_t kMagicPe32Plus = 0x20B;
inline constexpr std::uint16_t kMagicRom = 0x107;

struct OptionalHeader {
  bool present = false;
  bool pe32plus = false;
  std::uint32_t available = 0;  // bytes of the header actually in the file
  std::uint16_t magic = 0;
  std::uint8_t majorLinker = 0, minorLinker = 0;
  std::uint32_t sizeOfCode = 0, sizeOfInitializedData = 0, sizeOfUninitializedData = 0;
  std::uint32_t addressOfEntryPoint = 0, baseOfCode = 0, baseOfData = 0;
  std::uint64_t imageBase = 0;
  std::uint32_t sectionAlignment = 0, fileAlignment = 0;
  std::uint16_t majorOs = 0, minorOs = 0, majorImage = 0, minorImage = 0, majorSubsystem = 0, minorSubsystem = 0;
  std::uint32_t win32VersionValue = 0, sizeOfImage = 0, sizeOfHeaders = 0, checkSum = 0;
  std::uint16_t subsystem = 0, dllCharacteristics = 0;
  std::uint64_t sizeOfStackReserve = 0, sizeOfStackCommit = 0, sizeOfHeapReserve = 0, sizeOfHeapCommit = 0;
  std::uint32_t loaderFlags = 0, numberOfRvaAndSizes = 0;
};

inline constexpr int kNoSection = -1;

enum DirectoryIndex : int {
  kDirExport = 0, kDirImport, kDirResource, kDirException, kDirCertificate, kDirBaseReloc,
  kDirDebug, kDirArchitecture, kDirGlobalPtr, kDirTls, kDirLoadConfig, kDirBoundImport,
  kDirIat, kDirDelayImport, kDirClr, kDirReserved, kDirCount
};

struct DataDirectory {
  std::uint32_t rva = 0, size = 0;
  int section = kNoSection;  // section holding the start, if any
  bool inHeaders = false;    // start lies in the header area
  bool inFile = true;        // for the certificate entry: a file offset within the file
};

struct Section {
  std::string_view name;      // the 8-byte field, cut at NUL
  std::string_view longName;  // "/123" resolved through the string table, if any
  std::uint32_t virtualSize = 0, virtualAddress = 0, sizeOfRawData = 0, pointerToRawData = 0;
  std::uint32_t pointerToRelocations = 0, pointerToLinenumbers = 0;
  std::uint16_t numberOfRelocations = 0, numberOfLinenumbers = 0;
  std::uint32_t characteristics = 0;
  // Where the loader would take the section from, after alignment rules.
  std::uint64_t fileStart = 0, fileBytes = 0;  // file-backed part, clipped to the file
  std::uint64_t virtualEnd = 0;                // VA + aligned virtual extent
  // Shannon entropy of the raw data, bits per byte; negative when not counted.
  double entropy = -1;
};

struct Headers {
  std::uint64_t fileSize = 0;
  FileKind kind = FileKind::NotExecutable;
  std::string what;  // the reason when not a PE, or a note on the DOS program
  bool hasDos = false;
  DosHeader dos{};
  bool hasCoff = false;
  std::uint64_t coffOffset = 0;
  CoffHeader coff;
  std::uint64_t optionalOffset = 0;
  OptionalHeader opt;
  FieldBlock optionalFields;  // the fixed fields as read, for printing
  std::vector<DataDirectory> dirs;
  std::uint64_t sectionTableOffset = 0;
  std::vector<Section> sections;
  bool checksumComputed = false;
  std::uint32_t computedChecksum = 0;
  // Entropy of the overlay (the certificate table left out); negative when none.
  double overlayEntropy = -1;
};

struct ImportFunction {
  std::uint32_t slotRva = 0;   // the IAT slot the loader fills
  std::uint64_t thunk = 0;     // raw lookup entry
  bool byOrdinal = false;
  std::uint16_t ordinal = 0;
  std::uint16_t hint = 0;
  std::string_view name;
  bool nameOk = false;         // hint/name entry found and terminated
  std::string_view knownName;  // by ordinal: the name that ordinal is known to have, if any
  std::uint32_t nameRva = 0;
};

struct ImportDll {
  std::uint32_t descriptorRva = 0;
  std::uint32_t lookupRva = 0, timeDateStamp = 0, forwarderChain = 0, nameRva = 0, iatRva = 0;
  // Delay-load descriptors only:
  std::uint32_t attributes = 0, moduleHandleRva = 0, boundIatRva = 0, unloadIatRva = 0;
  bool usesVas = false;  // old delay-load form holding addresses instead of RVAs
  std::string_view name;
  bool nameOk = false;
  std::vector<ImportFunction> functions;
};

struct ImportTable {
  bool present = false;
  std::uint32_t rva = 0, size = 0;
  std::vector<ImportDll> dlls;
};

struct BoundRef {
  std::uint64_t offset = 0;
  std::uint32_t timeDateStamp = 0;
  std::uint16_t nameOffset = 0;
  std::uint16_t count = 0;  // forwarder refs that follow a module entry
  std::string_view name;
  bool nameOk = false;
};

struct BoundModule {
  BoundRef module;
  std::vector<BoundRef> forwarders;
};

struct BoundImportTable {
  bool present = false;
  std::uint32_t offset = 0, size = 0;
  std::vector<BoundModule> modules;
};

struct ExportEntry {
  std::uint64_t ordinal = 0;  // biased: base + index (can pass 65535 in a damaged file)
  std::uint32_t index = 0;    // position in the address table
  std::uint32_t rva = 0;
  bool forwarder = false;
  std::string_view forwardTo;
  std::uint32_t nameCount = 0;
};

struct ExportName {
  std::uint32_t index = 0;  // position in the name pointer table (the hint)
  std::uint32_t rva = 0;
  std::string_view name;
  bool ok = false;
};

// The directory's fields and its tables, checked against the file. The
// entries themselves are produced one at a time by ExportWalker, so a DLL with
// a hundred thousand exports needs no record per export.
struct ExportTable {
  bool present = false;
  std::uint32_t rva = 0, size = 0;
  std::uint32_t characteristics = 0, timeDateStamp = 0;
  std::uint16_t majorVersion = 0, minorVersion = 0;
  std::uint32_t nameRva = 0, base = 0, numberOfFunctions = 0, numberOfNames = 0;
  std::uint32_t addressOfFunctions = 0, addressOfNames = 0, addressOfNameOrdinals = 0;
  std::string_view name;
  bool nameOk = false;
  std::uint32_t functions = 0, names = 0;  // entries of each table inside the file
  std::vector<std::uint32_t> firstName;     // per address table entry, into byEntry (size functions + 1)
  std::vector<std::uint32_t> byEntry;       // name table indices grouped by the entry they name
  std::vector<std::uint32_t> strayNames;    // name table indices whose entry is past the address table
};

}  // namespace kestrova::dumper::pe
