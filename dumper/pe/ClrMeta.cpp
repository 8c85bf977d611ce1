#include "dumper/pe/ClrMeta.h"

#include <algorithm>
#include <bit>

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Clr.h"

namespace kestrova::dumper::pe::clr {

using io::Hex;
using lang::Msg;
namespace M = lang::M;

namespace {

// Column codes: a table number below 0x40 is an index into that table.
constexpr std::uint8_t kU16 = 0x40, kU32 = 0x41, kStr = 0x42, kGuid = 0x43, kBlob = 0x44, kU8x2 = kU16;
constexpr std::uint8_t kEnd = 0xFF;
constexpr std::uint8_t C(Coded c) { return static_cast<std::uint8_t>(0x80 | static_cast<std::uint8_t>(c)); }

struct TableDef {
  std::string_view name;
  std::array<std::uint8_t, 10> cols;
};

constexpr TableDef kTables[kKnownTables] = {
    {"Module", {kU16, kStr, kGuid, kGuid, kGuid, kEnd}},
    {"TypeRef", {C(Coded::ResolutionScope), kStr, kStr, kEnd}},
    {"TypeDef", {kU32, kStr, kStr, C(Coded::TypeDefOrRef), kField, kMethodDef, kEnd}},
    {"FieldPtr", {kField, kEnd}},
    {"Field", {kU16, kStr, kBlob, kEnd}},
    {"MethodPtr", {kMethodDef, kEnd}},
    {"MethodDef", {kU32, kU16, kU16, kStr, kBlob, kParam, kEnd}},
    {"ParamPtr", {kParam, kEnd}},
    {"Param", {kU16, kU16, kStr, kEnd}},
    {"InterfaceImpl", {kTypeDef, C(Coded::TypeDefOrRef), kEnd}},
    {"MemberRef", {C(Coded::MemberRefParent), kStr, kBlob, kEnd}},
    {"Constant", {kU8x2, C(Coded::HasConstant), kBlob, kEnd}},
    {"CustomAttribute", {C(Coded::HasCustomAttribute), C(Coded::CustomAttributeType), kBlob, kEnd}},
    {"FieldMarshal", {C(Coded::HasFieldMarshal), kBlob, kEnd}},
    {"DeclSecurity", {kU16, C(Coded::HasDeclSecurity), kBlob, kEnd}},
    {"ClassLayout", {kU16, kU32, kTypeDef, kEnd}},
    {"FieldLayout", {kU32, kField, kEnd}},
    {"StandAloneSig", {kBlob, kEnd}},
    {"EventMap", {kTypeDef, kEvent, kEnd}},
    {"EventPtr", {kEvent, kEnd}},
    {"Event", {kU16, kStr, C(Coded::TypeDefOrRef), kEnd}},
    {"PropertyMap", {kTypeDef, kProperty, kEnd}},
    {"PropertyPtr", {kProperty, kEnd}},
    {"Property", {kU16, kStr, kBlob, kEnd}},
    {"MethodSemantics", {kU16, kMethodDef, C(Coded::HasSemantics), kEnd}},
    {"MethodImpl", {kTypeDef, C(Coded::MethodDefOrRef), C(Coded::MethodDefOrRef), kEnd}},
    {"ModuleRef", {kStr, kEnd}},
    {"TypeSpec", {kBlob, kEnd}},
    {"ImplMap", {kU16, C(Coded::MemberForwarded), kStr, kModuleRef, kEnd}},
    {"FieldRVA", {kU32, kField, kEnd}},
    {"EncLog", {kU32, kU32, kEnd}},
    {"EncMap", {kU32, kEnd}},
    {"Assembly", {kU32, kU16, kU16, kU16, kU16, kU32, kBlob, kStr, kStr, kEnd}},
    {"AssemblyProcessor", {kU32, kEnd}},
    {"AssemblyOS", {kU32, kU32, kU32, kEnd}},
    {"AssemblyRef", {kU16, kU16, kU16, kU16, kU32, kBlob, kStr, kStr, kBlob, kEnd}},
    {"AssemblyRefProcessor", {kU32, kAssemblyRef, kEnd}},
    {"AssemblyRefOS", {kU32, kU32, kU32, kAssemblyRef, kEnd}},
    {"File", {kU32, kStr, kBlob, kEnd}},
    {"ExportedType", {kU32, kU32, kStr, kStr, C(Coded::Implementation), kEnd}},
    {"ManifestResource", {kU32, kU32, kStr, C(Coded::Implementation), kEnd}},
    {"NestedClass", {kTypeDef, kTypeDef, kEnd}},
    {"GenericParam", {kU16, kU16, C(Coded::TypeOrMethodDef), kStr, kEnd}},
    {"MethodSpec", {C(Coded::MethodDefOrRef), kBlob, kEnd}},
    {"GenericParamConstraint", {kGenericParam, C(Coded::TypeDefOrRef), kEnd}},
};

// The tables each coded index can name, in tag order; -1 for a tag that names none.
struct CodedDef {
  std::uint8_t bits;
  std::array<std::int8_t, 22> tables;
  std::uint8_t count;
};
constexpr std::int8_t N = -1;
constexpr CodedDef kCoded[static_cast<std::size_t>(Coded::Count)] = {
    {2, {kTypeDef, kTypeRef, kTypeSpec}, 3},
    {2, {kField, kParam, kProperty}, 3},
    {5,
     {kMethodDef, kField, kTypeRef, kTypeDef, kParam, kInterfaceImpl, kMemberRef, kModule, kDeclSecurity, kProperty,
      kEvent, kStandAloneSig, kModuleRef, kTypeSpec, kAssembly, kAssemblyRef, kFile, kExportedType, kManifestResource,
      kGenericParam, kGenericParamConstraint, kMethodSpec},
     22},
    {1, {kField, kParam}, 2},
    {2, {kTypeDef, kMethodDef, kAssembly}, 3},
    {3, {kTypeDef, kTypeRef, kModuleRef, kMethodDef, kTypeSpec}, 5},
    {1, {kEvent, kProperty}, 2},
    {1, {kMethodDef, kMemberRef}, 2},
    {1, {kField, kMethodDef}, 2},
    {2, {kFile, kAssemblyRef, kExportedType}, 3},
    {3, {N, N, kMethodDef, kMemberRef, N}, 5},
    {2, {kModule, kModuleRef, kAssemblyRef, kTypeRef}, 4},
    {1, {kTypeDef, kMethodDef}, 2},
};

// "N more bad ... not listed", by kind of fault.
constexpr Msg kFaultMore[] = {Msg(M::ClrMoreStringIndexes), Msg(M::ClrMoreBlobIndexes), Msg(M::ClrMoreGuidIndexes),
                              Msg(M::ClrMoreRowIndexes),    Msg(M::ClrMoreCodedIndexes), Msg(M::ClrMoreSignatures),
                              Msg(M::ClrMoreLists),         Msg(M::ClrMoreNestings)};
constexpr std::uint32_t kReportsPerFault = 5;  // FaultCount::at holds this many

}  // namespace

std::string_view TableName(int t) {
  if (t < 0 || t >= kKnownTables) return {};
  return kTables[t].name;
}

Metadata::Metadata(const io::Reader& md, Anomalies& anomalies, Area a, lang::Lang l)
    : an(anomalies), area(a), language(l), md_(md) {
  ReadRoot(md);
}

void Metadata::ReadRoot(const io::Reader& md) {
  io::Cursor c(md, 0);
  std::uint32_t signature = c.U32();
  if (!c.ok() || signature != 0x424A5342) {
    an.AtOffset(area, md.Base(), lang::Say(language, M::ClrNoBsjb));
    return;
  }
  major = c.U16();
  minor = c.U16();
  c.Skip(4);
  std::uint32_t length = c.U32();
  if (!c.ok() || !md.Has(16, length)) {
    an.AtOffset(area, md.Base() + 12, lang::Say(language, M::ClrVersionCut));
    return;
  }
  version = md.Fixed(16, std::min<std::uint32_t>(length, 255));
  ok_ = true;
  io::Cursor s(md, 16 + std::uint64_t{length});
  flags = s.U16();
  std::uint16_t count = s.U16();
  if (!s.ok()) {
    an.AtOffset(area, md.Base() + 16 + length, lang::Say(language, M::ClrRootCut));
    return;
  }
  std::uint64_t at = s.Offset();
  const Stream* tables = nullptr;
  // A real root has five or six streams; past a few dozen it is not a root.
  constexpr std::uint16_t kMaxStreams = 32;
  if (count > kMaxStreams) {
    an.AtOffset(area, md.Base() + 18 + length, lang::Say(language, M::ClrManyStreams, {count, kMaxStreams}));
    count = kMaxStreams;
  }
  for (std::uint16_t i = 0; i < count; ++i) {
    Stream st;
    io::Cursor h(md, at);
    st.offset = h.U32();
    st.size = h.U32();
    io::CString name = md.String(at + 8, 32);
    if (!h.ok() || !name.terminated) {
      an.AtOffset(area, md.Base() + at, lang::Say(language, M::ClrStreamHeaderBad, {i}));
      break;
    }
    st.name = name.text;
    st.fileOffset = md.Base() + st.offset;
    st.inside = md.Has(st.offset, st.size);
    at += 8 + ((name.text.size() + 4) & ~std::uint64_t{3});
    streams.push_back(st);
  }
  for (const Stream& st : streams) {
    if (!st.inside) {
      an.AtOffset(area, st.fileOffset, lang::Say(language, M::ClrStreamPast, {st.name}));
      continue;
    }
    io::Reader r = *md.Sub(st.offset, st.size);
    if (st.name == "#Strings") strings_ = r;
    else if (st.name == "#Blob") blob_ = r;
    else if (st.name == "#GUID") guid_ = r;
    else if (st.name == "#~" || st.name == "#-") tables = &st;
  }
  if (tables != nullptr) ReadTables(*tables, md);
}

void Metadata::ReadTables(const Stream& st, const io::Reader& md) {
  tables_ = *md.Sub(st.offset, st.size);
  tablesOffset = tables_.Base();
  uncompressed = st.name == "#-";
  io::Cursor c(tables_, 4);
  tablesMajor = c.U8();
  tablesMinor = c.U8();
  heapSizes = c.U8();
  c.Skip(1);
  valid = c.U64();
  sorted = c.U64();
  if (!c.ok()) {
    an.AtOffset(area, tablesOffset, lang::Say(language, M::ClrTablesHeaderCut));
    return;
  }
  hasTables = true;
  for (int t = 0; t < kMaxTables; ++t) {
    if ((valid >> t & 1) == 0) continue;
    declared[static_cast<std::size_t>(t)] = c.U32();
    if (!c.ok()) {
      an.AtOffset(area, tablesOffset + 24, lang::Say(language, M::ClrTablesCountsCut));
      declared = {};
      return;
    }
    if (t >= kKnownTables)
      an.AtOffset(area, c.Offset() - 4 + tablesOffset,
                  lang::Say(language, M::ClrUnknownTableCount, {Hex(static_cast<std::uint32_t>(t), 2)}));
  }
  // Some writers put one more word after the counts and say so in this bit.
  if (heapSizes & 0x40) c.Skip(4);
  Layout();
  std::uint64_t at = c.Offset();
  for (int t = 0; t < kKnownTables; ++t) {
    std::size_t i = static_cast<std::size_t>(t);
    if (declared[i] == 0) continue;
    std::uint64_t bytes = *io::CheckedMul(declared[i], rowSize_[i]);  // 2^32 * 64 cannot wrap
    if (!tables_.Has(at, bytes)) {
      an.AtOffset(area, tablesOffset + std::min<std::uint64_t>(at, tables_.Size()),
                  lang::Say(language, M::ClrTablePast, {kTables[t].name, declared[i]}));
      return;
    }
    start_[i] = at;
    rows_[i] = declared[i];
    at += bytes;
  }
}

std::uint8_t Metadata::ColumnWidth(std::uint8_t code) const {
  switch (code) {
    case kU16: return 2;
    case kU32: return 4;
    case kStr: return heapSizes & 0x01 ? 4 : 2;
    case kGuid: return heapSizes & 0x02 ? 4 : 2;
    case kBlob: return heapSizes & 0x04 ? 4 : 2;
    default: break;
  }
  if (code & 0x80) {
    const CodedDef& d = kCoded[code & 0x7F];
    std::uint32_t most = 0;
    for (std::uint8_t k = 0; k < d.count; ++k)
      if (d.tables[k] >= 0) most = std::max(most, declared[static_cast<std::size_t>(d.tables[k])]);
    return most < (1u << (16 - d.bits)) ? 2 : 4;
  }
  return declared[code] < 0x10000 ? 2 : 4;
}

void Metadata::Layout() {
  for (std::size_t t = 0; t < kKnownTables; ++t) {
    std::uint8_t off = 0;
    for (std::size_t c = 0; c < kTables[t].cols.size() && kTables[t].cols[c] != kEnd; ++c) {
      colOff_[t][c] = off;
      colWidth_[t][c] = ColumnWidth(kTables[t].cols[c]);
      off = static_cast<std::uint8_t>(off + colWidth_[t][c]);
    }
    rowSize_[t] = off;
  }
}

std::uint64_t Metadata::RowOffset(int t, std::uint32_t row) const {
  std::size_t i = static_cast<std::size_t>(t);
  return tablesOffset + start_[i] + std::uint64_t{row - 1} * rowSize_[i];
}

std::uint32_t Metadata::Col(int t, std::uint32_t row, int c) const {
  if (row == 0 || row > Rows(t)) return 0;
  std::size_t i = static_cast<std::size_t>(t), k = static_cast<std::size_t>(c);
  std::uint64_t at = start_[i] + std::uint64_t{row - 1} * rowSize_[i] + colOff_[i][k];
  if (colWidth_[i][k] == 2) return tables_.U16(at).value_or(0);
  return tables_.U32(at).value_or(0);
}

void Metadata::Report(Fault f, std::uint64_t offset, std::string text) const {
  FaultCount& n = faults_[static_cast<std::size_t>(f)];
  for (std::uint32_t i = 0; i < n.reported; ++i)
    if (n.at[i] == offset) return;
  if (n.reported >= kReportsPerFault) {
    ++n.unreported;
    return;
  }
  n.at[n.reported++] = offset;
  an.AtOffset(area, offset, std::move(text));
}

void Metadata::ReportSummary() const {
  for (std::size_t f = 0; f < faults_.size(); ++f)
    if (faults_[f].unreported != 0)
      an.Note(area, lang::Say(language, kFaultMore[f], {faults_[f].unreported}));
}

std::string_view Metadata::String(std::uint32_t index, std::uint64_t where) const {
  if (index == 0) return {};
  if (index >= strings_.Size()) {
    Report(Fault::StringIndex, where ? where : strings_.Base(),
           lang::Say(language, M::ClrStringPast, {Hex(index), Hex(strings_.Size())}));
    return lang::Text(M::ClrBadString, language);
  }
  io::CString s = strings_.String(index, 1024);
  if (!s.terminated)
    Report(Fault::StringIndex, strings_.Base() + index, lang::Say(language, M::ClrStringOpen, {Hex(index)}));
  return s.text;
}

std::optional<io::Reader> Metadata::Blob(std::uint32_t index, std::uint64_t where) const {
  if (index == 0 && blob_.Size() == 0) return io::Reader({}, blob_.Base());
  auto b0 = blob_.U8(index);
  if (!b0) {
    Report(Fault::BlobIndex, where ? where : blob_.Base(),
           lang::Say(language, M::ClrBlobPast, {Hex(index), Hex(blob_.Size())}));
    return std::nullopt;
  }
  std::uint32_t len = 0, head = 0;
  if ((*b0 & 0x80) == 0) {
    len = *b0;
    head = 1;
  } else if ((*b0 & 0xC0) == 0x80) {
    len = (std::uint32_t{*b0} & 0x3F) << 8 | blob_.U8(std::uint64_t{index} + 1).value_or(0);
    head = 2;
  } else if ((*b0 & 0xE0) == 0xC0) {
    len = (std::uint32_t{*b0} & 0x1F) << 24 | std::uint32_t{blob_.U8(std::uint64_t{index} + 1).value_or(0)} << 16 |
          std::uint32_t{blob_.U8(std::uint64_t{index} + 2).value_or(0)} << 8 | blob_.U8(std::uint64_t{index} + 3).value_or(0);
    head = 4;
  } else {
    Report(Fault::BlobIndex, blob_.Base() + index, lang::Say(language, M::ClrBlobBadLength, {Hex(index)}));
    return std::nullopt;
  }
  auto r = blob_.Sub(std::uint64_t{index} + head, len);
  if (!r) Report(Fault::BlobIndex, blob_.Base() + index, lang::Say(language, M::ClrBlobCut, {Hex(index)}));
  return r;
}

std::optional<io::Reader> Metadata::Guid(std::uint32_t index) const {
  if (index == 0) return std::nullopt;
  auto r = guid_.Sub(std::uint64_t{index - 1} * 16, 16);
  if (!r) Report(Fault::GuidIndex, tablesOffset, lang::Say(language, M::ClrGuidPast, {index}));
  return r;
}

std::optional<Ref> Metadata::Decode(Coded kind, std::uint32_t value, std::uint64_t where) const {
  const CodedDef& d = kCoded[static_cast<std::size_t>(kind)];
  std::uint32_t tag = value & ((1u << d.bits) - 1);
  if (tag >= d.count || d.tables[tag] < 0) {
    Report(Fault::CodedTag, where ? where : tablesOffset, lang::Say(language, M::ClrCodedBadTag, {Hex(value), tag}));
    return std::nullopt;
  }
  Ref r{d.tables[tag], value >> d.bits};
  if (r.row != 0 && !CheckRow(r.table, r.row, false, where)) return std::nullopt;
  return r;
}

bool Metadata::CheckRow(int t, std::uint32_t row, bool endAllowed, std::uint64_t where) const {
  std::uint32_t limit = Rows(t) + (endAllowed ? 1 : 0);
  if (row <= limit) return true;
  Report(Fault::RowIndex, where ? where : tablesOffset,
         lang::Say(language, M::ClrRowPast, {TableName(t), row, Rows(t)}));
  return false;
}

std::uint32_t Metadata::ListRow(int target, std::uint32_t position) const {
  int ptr = target == kField ? kFieldPtr : target == kMethodDef ? kMethodPtr : target == kParam ? kParamPtr
          : target == kEvent ? kEventPtr : target == kProperty ? kPropertyPtr : -1;
  if (ptr < 0 || Rows(ptr) == 0) return position;
  std::uint32_t row = Col(ptr, position, 0);
  return CheckRow(target, row, false, Where(ptr, position, 0)) ? row : 0;
}

Metadata::Range Metadata::List(int t, std::uint32_t row, int c, int target) const {
  int ptr = target == kField ? kFieldPtr : target == kMethodDef ? kMethodPtr : target == kParam ? kParamPtr
          : target == kEvent ? kEventPtr : target == kProperty ? kPropertyPtr : -1;
  std::uint32_t size = ptr >= 0 && Rows(ptr) != 0 ? Rows(ptr) : Rows(target);
  Range r;
  r.first = Col(t, row, c);
  r.end = row < Rows(t) ? Col(t, row + 1, c) : size + 1;
  if (r.first == 0 || r.first > size + 1) {
    if (r.first != 0 || size != 0)
      Report(Fault::List, RowOffset(t, row),
             lang::Say(language, M::ClrListOutside, {TableName(t), row, TableName(target), r.first, size}));
    return {1, 1};
  }
  if (r.end > size + 1) r.end = size + 1;
  if (r.end < r.first) {
    Report(Fault::List, RowOffset(t, row),
           lang::Say(language, M::ClrListBackwards, {TableName(t), row, TableName(target)}));
    r.end = r.first;
  }
  return r;
}

Metadata::Range Metadata::NextList(int t, std::uint32_t row, int c, int target, std::uint32_t& seen) const {
  Range r = List(t, row, c, target);
  if (r.first < seen && r.end > r.first) {
    Report(Fault::List, RowOffset(t, row),
           lang::Say(language, M::ClrListOverlap, {TableName(t), row, TableName(target)}));
    r.first = std::min(seen, r.end);
  }
  seen = std::max(seen, r.end);
  return r;
}

}  // namespace kestrova::dumper::pe::clr
