// The export directory.
#include <algorithm>

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Exports.h"
#include "dumper/pe/Facts.h"
#include "dumper/pe/Parse.h"

namespace kestrova::dumper::pe {

using io::Hex;
namespace M = lang::M;

namespace {

// How many `width`-byte entries of a table at `rva` the file really holds, up to
// `want`. Entries in a section's zero fill would all be zero: they are not counted,
// so that a huge count over zeros costs nothing.
std::uint64_t TableFit(const AddressMap& map, std::uint32_t rva, std::uint64_t want, std::uint64_t width) {
  if (want == 0) return 0;
  auto view = map.View(rva);
  if (!view) return 0;
  return std::min<std::uint64_t>(want, view->Bytes().size() / width);
}

}  // namespace

ExportTable ParseExports(const Context& ctx) {
  ExportTable t;
  const AddressMap& map = ctx.map;
  Anomalies& an = ctx.an;
  const lang::Lang l = ctx.options.lang;
  DirectoryView dir = OpenDirectory(ctx, kDirExport, Area::Exports, M::ExpWhatDirectory);
  t.rva = dir.rva;
  t.size = dir.size;
  if (!dir.backed) return t;
  const io::Reader* view = &dir.data;
  io::Cursor c(*view, 0);
  t.characteristics = c.U32(); t.timeDateStamp = c.U32(); t.majorVersion = c.U16(); t.minorVersion = c.U16();
  t.nameRva = c.U32(); t.base = c.U32(); t.numberOfFunctions = c.U32(); t.numberOfNames = c.U32();
  t.addressOfFunctions = c.U32(); t.addressOfNames = c.U32(); t.addressOfNameOrdinals = c.U32();
  if (!c.ok()) {
    an.AtOffset(Area::Exports, view->Base(), lang::Say(l, M::ExpTruncated));
    return t;
  }
  t.present = true;
  if (t.nameRva != 0) {
    NameRead n = NameAt(ctx, t.nameRva, Area::Exports, What(M::ExpWhatDllName));
    t.name = n.text;
    t.nameOk = n.ok;
  }

  std::uint64_t nf = TableFit(map, t.addressOfFunctions, t.numberOfFunctions, 4);
  if (nf < t.numberOfFunctions)
    an.AtRva(Area::Exports, t.addressOfFunctions,
             lang::Say(l, M::ExpAddressTableShort, {nf, t.numberOfFunctions}));
  std::uint64_t nn = std::min(TableFit(map, t.addressOfNames, t.numberOfNames, 4),
                              TableFit(map, t.addressOfNameOrdinals, t.numberOfNames, 2));
  if (nn < t.numberOfNames)
    an.AtRva(Area::Exports, t.addressOfNames,
             lang::Say(l, M::ExpNameTablesShort, {nn, t.numberOfNames}));
  if (t.numberOfNames > t.numberOfFunctions)
    an.AtOffset(Area::Exports, view->Base() + 24, lang::Say(l, M::ExpMoreNames));
  if (std::uint64_t{t.base} + (nf ? nf - 1 : 0) > 0xFFFF)
    an.AtOffset(Area::Exports, view->Base() + 16, lang::Say(l, M::ExpOrdinalsPast, {t.base}));
  t.functions = static_cast<std::uint32_t>(nf);
  t.names = static_cast<std::uint32_t>(nn);

  // Group the names by the entry they name: count, prefix sums, fill.
  auto ov = map.View(t.addressOfNameOrdinals);
  auto nv = map.View(t.addressOfNames);
  t.firstName.assign(static_cast<std::size_t>(nf) + 1, 0);
  for (std::uint64_t i = 0; i < nn; ++i) {
    std::uint16_t o = *ov->U16(i * 2);
    if (o < nf) ++t.firstName[o + 1u];
  }
  for (std::size_t i = 1; i < t.firstName.size(); ++i) t.firstName[i] += t.firstName[i - 1];
  t.byEntry.resize(t.firstName.back());
  std::vector<std::uint32_t> fill(t.firstName.begin(), t.firstName.end() - 1);
  std::string_view previous;
  bool sortedReported = false;
  for (std::uint64_t i = 0; i < nn; ++i) {
    std::uint32_t rva = *nv->U32(i * 4);
    auto sv = map.View(rva);
    if (!sv) {
      NameAt(ctx, rva, Area::Exports, What(M::ExpWhatName, i));  // says it is not backed
    } else {
      NameRead s = NameIn(ctx, *sv, 0, Area::Exports, What(M::ExpWhatName, i));
      // The loader finds names by binary search, so they must ascend.
      if (i > 0 && s.text < previous && !sortedReported) {
        an.AtRva(Area::Exports, t.addressOfNames + i * 4, lang::Say(l, M::ExpNotSorted));
        sortedReported = true;
      }
      previous = s.text;
      if (ctx.facts) NoteExport(ctx.facts->marks, s.text);
    }
    std::uint16_t o = *ov->U16(i * 2);
    if (o < nf) {
      t.byEntry[fill[o]++] = static_cast<std::uint32_t>(i);
    } else {
      an.AtRva(Area::Exports, t.addressOfNameOrdinals + i * 2,
               lang::Say(l, M::ExpNamePastEnd, {i, o}));
      t.strayNames.push_back(static_cast<std::uint32_t>(i));
    }
  }
  return t;
}

ExportWalker::ExportWalker(const ExportTable& t, const Context& ctx) : t_(t), ctx_(ctx) {
  if (t.functions) fv_ = ctx.map.View(t.addressOfFunctions);
  if (t.names) {
    nv_ = ctx.map.View(t.addressOfNames);
    ov_ = ctx.map.View(t.addressOfNameOrdinals);
  }
}

bool ExportWalker::Next(ExportEntry& e) {
  while (next_ < t_.functions) {
    std::uint32_t i = next_++;
    std::uint32_t rva = *fv_->U32(std::uint64_t{i} * 4);
    std::uint32_t names = t_.firstName[i + 1] - t_.firstName[i];
    e = ExportEntry{};
    if (rva == 0 && names == 0) ++unused_;
    e.ordinal = std::uint64_t{t_.base} + i;
    e.index = i;
    e.rva = rva;
    e.nameCount = names;
    const bool used = rva != 0 || names != 0;
    if (ctx_.facts && used) ++ctx_.facts->exports;
    // An address inside the export directory is a forwarder string, not code.
    if (rva >= t_.rva && rva - t_.rva < t_.size) {
      e.forwarder = true;
      if (ctx_.facts) ++ctx_.facts->forwarded;
      e.forwardTo = NameAt(ctx_, rva, Area::Exports, What(M::ExpWhatForwarder, e.ordinal)).text;
    } else if (rva != 0 && ctx_.map.SectionOf(rva) == kNoSection) {
      ctx_.an.AtRva(Area::Exports, rva, lang::Say(ctx_.options.lang, M::ExpOutside, {e.ordinal}));
    }
    return true;
  }
  return false;
}

ExportName ExportWalker::ReadName(std::uint32_t i) const {
  ExportName n;
  n.index = i;
  n.rva = *nv_->U32(std::uint64_t{i} * 4);
  if (auto sv = ctx_.map.View(n.rva)) {
    io::CString s = sv->String(0, kMaxName);
    n.name = s.text;
    n.ok = s.terminated;
  }
  return n;
}

ExportName ExportWalker::Name(const ExportEntry& e, std::uint32_t k) const {
  return ReadName(t_.byEntry[t_.firstName[e.index] + k]);
}

ExportName ExportWalker::StrayName(std::size_t i, std::uint32_t& entry) const {
  std::uint32_t n = t_.strayNames[i];
  entry = *ov_->U16(std::uint64_t{n} * 2);
  return ReadName(n);
}

}  // namespace kestrova::dumper::pe
