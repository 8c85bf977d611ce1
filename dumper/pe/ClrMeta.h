#pragma once
// The CLI metadata of a .NET assembly: the root and its streams, the tables
// stream (row counts, heap index widths, coded indexes) and the string, blob
// and GUID heaps. Nothing is copied: a row's column is read from the file when
// asked for, so mscorlib's hundred thousand rows cost no memory of their own.
// Every index is checked against its heap or table; a bad one reads as "not
// there" and is reported a few times per kind, not once per row.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dumper/io/Reader.h"
#include "dumper/lang/Lang.h"
#include "dumper/pe/Image.h"

namespace kestrova::dumper::pe::clr {

// Table numbers, as tokens carry them in their top byte.
enum Table : std::uint8_t {
  kModule = 0x00, kTypeRef, kTypeDef, kFieldPtr, kField, kMethodPtr, kMethodDef, kParamPtr, kParam,
  kInterfaceImpl, kMemberRef, kConstant, kCustomAttribute, kFieldMarshal, kDeclSecurity, kClassLayout,
  kFieldLayout, kStandAloneSig, kEventMap, kEventPtr, kEvent, kPropertyMap, kPropertyPtr, kProperty,
  kMethodSemantics, kMethodImpl, kModuleRef, kTypeSpec, kImplMap, kFieldRva, kEncLog, kEncMap, kAssembly,
  kAssemblyProcessor, kAssemblyOs, kAssemblyRef, kAssemblyRefProcessor, kAssemblyRefOs, kFile, kExportedType,
  kManifestResource, kNestedClass, kGenericParam, kMethodSpec, kGenericParamConstraint,
  kKnownTables  // tables past this one have no layout we know
};
inline constexpr int kMaxTables = 64;

// The name of table `t` ("TypeDef"), or empty for a number with no table.
std::string_view TableName(int t);

// The kinds of coded index: a row of one of a few tables, the table in the low bits.
enum class Coded : std::uint8_t {
  TypeDefOrRef, HasConstant, HasCustomAttribute, HasFieldMarshal, HasDeclSecurity, MemberRefParent,
  HasSemantics, MethodDefOrRef, MemberForwarded, Implementation, CustomAttributeType, ResolutionScope,
  TypeOrMethodDef, Count
};

// A row of a table: the table and the 1-based row; row 0 is "none".
struct Ref {
  int table = -1;
  std::uint32_t row = 0;
  bool operator==(const Ref&) const = default;
};

struct Stream {
  std::string_view name;
  std::uint32_t offset = 0, size = 0;  // from the metadata root
  std::uint64_t fileOffset = 0;
  bool inside = false;  // lies within the metadata
};

// Kinds of problem met while reading rows, each reported a few times only.
enum class Fault : std::uint8_t { StringIndex, BlobIndex, GuidIndex, RowIndex, CodedTag, Signature, List, Nesting, Count };

class Metadata {
 public:
  // `md` is the metadata as the CLR header points at it; problems go to `an`
  // under `area`, at file offsets, said in `lang`.
  Metadata(const io::Reader& md, Anomalies& an, Area area, lang::Lang lang = lang::Lang::En);

  bool ok() const { return ok_; }  // a root with the signature was found
  std::uint16_t major = 0, minor = 0, flags = 0;
  std::string_view version;
  std::vector<Stream> streams;

  // The tables stream, when there is one.
  bool hasTables = false;
  bool uncompressed = false;  // "#-": the tables may go through Ptr tables
  std::uint8_t tablesMajor = 0, tablesMinor = 0, heapSizes = 0;
  std::uint64_t valid = 0, sorted = 0;
  std::uint64_t tablesOffset = 0;  // file offset of the tables stream
  std::array<std::uint32_t, kMaxTables> declared{};  // row counts as stored

  // Rows that can be read (0 for a table the stream does not hold whole).
  std::uint32_t Rows(int t) const { return t >= 0 && t < kKnownTables ? rows_[static_cast<std::size_t>(t)] : 0; }
  std::uint32_t RowSize(int t) const { return rowSize_[static_cast<std::size_t>(t)]; }
  // Column `c` of 1-based row `row`, 0 when the row is not there.
  std::uint32_t Col(int t, std::uint32_t row, int c) const;
  // File offset of a row, and of one of its columns.
  std::uint64_t RowOffset(int t, std::uint32_t row) const;
  std::uint64_t ColumnOffset(int t, std::uint32_t row, int c) const {
    return RowOffset(t, row) + colOff_[static_cast<std::size_t>(t)][static_cast<std::size_t>(c)];
  }

  // Heaps. A bad index is reported (a few times per kind) at `where` (a file
  // offset; the heap's start when 0) and reads as "(bad string index)" or nothing.
  std::string_view String(std::uint32_t index, std::uint64_t where = 0) const;
  std::optional<io::Reader> Blob(std::uint32_t index, std::uint64_t where = 0) const;
  // The same for a column of a row, reported at the column.
  std::string_view Str(int t, std::uint32_t row, int c) const { return String(Col(t, row, c), Where(t, row, c)); }
  std::optional<io::Reader> BlobOf(int t, std::uint32_t row, int c) const { return Blob(Col(t, row, c), Where(t, row, c)); }
  // 16 bytes of GUID `index` (1-based), or nothing.
  std::optional<io::Reader> Guid(std::uint32_t index) const;
  std::uint32_t StringsSize() const { return static_cast<std::uint32_t>(strings_.Size()); }

  // A coded index split into table and row; nothing when its tag names no
  // table (reported). Row 0 is a null reference and is returned as such.
  std::optional<Ref> Decode(Coded kind, std::uint32_t value, std::uint64_t where = 0) const;
  std::optional<Ref> DecodeAt(Coded kind, int t, std::uint32_t row, int c) const {
    return Decode(kind, Col(t, row, c), Where(t, row, c));
  }
  // A row index into table `t` checked against its row count (one past the
  // end is allowed where lists end); false and reported when it is beyond.
  bool CheckRow(int t, std::uint32_t row, bool endAllowed, std::uint64_t where = 0) const;

  // The range [first, end) of a list column (TypeDef's fields and methods,
  // MethodDef's params ...): from this row's value to the next row's, clipped
  // to the target table; through the Ptr table when there is one.
  struct Range {
    std::uint32_t first = 1, end = 1;
  };
  Range List(int t, std::uint32_t row, int c, int target) const;
  // The same, walked in row order: a list that reaches back into the one before
  // it is reported and starts where that one ended, so each member is listed
  // once and the lists together never pass the target table's size.
  Range NextList(int t, std::uint32_t row, int c, int target, std::uint32_t& seen) const;
  // The row a list position stands for (through a Ptr table when there is one).
  std::uint32_t ListRow(int target, std::uint32_t position) const;

  void Report(Fault f, std::uint64_t offset, std::string text) const;
  // The file offset of a column, 0 when the row is not there.
  std::uint64_t Where(int t, std::uint32_t row, int c) const {
    return row != 0 && row <= Rows(t) ? ColumnOffset(t, row, c) : 0;
  }
  // Problems not reported individually, per kind.
  std::uint32_t Unreported(Fault f) const { return faults_[static_cast<std::size_t>(f)].unreported; }
  void ReportSummary() const;
  // A walk over the tables stopped early: said once, however many walks stop.
  void StoppedOnce(std::string text) const {
    if (!stopped_) an.Note(area, std::move(text));
    stopped_ = true;
  }

  Anomalies& an;
  Area area;
  lang::Lang language;  // of the problems' texts

 private:
  void ReadRoot(const io::Reader& md);
  void ReadTables(const Stream& s, const io::Reader& md);
  void Layout();
  std::uint8_t ColumnWidth(std::uint8_t code) const;

  bool ok_ = false;
  mutable bool stopped_ = false;
  io::Reader md_, strings_, blob_, guid_, tables_;
  std::array<std::uint32_t, kMaxTables> rows_{};
  std::array<std::uint32_t, kMaxTables> rowSize_{};
  std::array<std::uint64_t, kMaxTables> start_{};  // offset in tables_
  std::array<std::array<std::uint8_t, 10>, kKnownTables> colOff_{};
  std::array<std::array<std::uint8_t, 10>, kKnownTables> colWidth_{};
  struct FaultCount {
    std::uint32_t reported = 0, unreported = 0;
    std::array<std::uint64_t, 5> at{};  // where the reported ones are, so one place is told once
  };
  mutable std::array<FaultCount, static_cast<std::size_t>(Fault::Count)> faults_{};
};

// Column numbers of the tables the listing reads.
namespace col {
inline constexpr int kTypeRefScope = 0, kTypeRefName = 1, kTypeRefNamespace = 2;
inline constexpr int kTypeDefFlags = 0, kTypeDefName = 1, kTypeDefNamespace = 2, kTypeDefExtends = 3,
                     kTypeDefFields = 4, kTypeDefMethods = 5;
inline constexpr int kFieldFlags = 0, kFieldName = 1, kFieldSig = 2;
inline constexpr int kMethodRva = 0, kMethodImplFlags = 1, kMethodFlags = 2, kMethodName = 3, kMethodSig = 4,
                     kMethodParams = 5;
inline constexpr int kMemberRefClass = 0, kMemberRefName = 1, kMemberRefSig = 2;
inline constexpr int kModuleRefName = 0;
inline constexpr int kTypeSpecSig = 0;
inline constexpr int kImplMapFlags = 0, kImplMapMember = 1, kImplMapName = 2, kImplMapScope = 3;
inline constexpr int kAssemblyHash = 0, kAssemblyMajor = 1, kAssemblyFlags = 5, kAssemblyKey = 6,
                     kAssemblyName = 7, kAssemblyCulture = 8;
inline constexpr int kAssemblyRefMajor = 0, kAssemblyRefFlags = 4, kAssemblyRefKey = 5, kAssemblyRefName = 6,
                     kAssemblyRefCulture = 7;
inline constexpr int kFileFlags = 0, kFileName = 1;
inline constexpr int kExportedFlags = 0, kExportedTypeDefId = 1, kExportedName = 2, kExportedNamespace = 3,
                     kExportedImpl = 4;
inline constexpr int kResourceOffset = 0, kResourceFlags = 1, kResourceName = 2, kResourceImpl = 3;
inline constexpr int kNestedNested = 0, kNestedEnclosing = 1;
inline constexpr int kGenericParamNumber = 0, kGenericParamOwner = 2, kGenericParamName = 3;
inline constexpr int kModuleName = 1, kModuleMvid = 2;
}  // namespace col

}  // namespace kestrova::dumper::pe::clr
