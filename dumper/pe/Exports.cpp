// The export directory.
#include <algorithm>

#include "dumper/io/Format.h"
#include "dumper/pe/Parse.h"

namespace kestrova::dumper::pe {

using io::Hex;

namespace {

// How many `width`-byte entries of a table at `rva` the file really holds, up to `want`.
std::uint64_t TableFit(const AddressMap& map, std::uint32_t rva, std::uint64_t want, std::uint64_t width,
                       std::optional<io::Reader>& view) {
  view = map.View(rva);
  if (!view) return 0;
  return std::min(want, view->Size() / width);
}

}  // namespace

ExportTable ParseExports(const io::Reader&, const Headers& h, const AddressMap& map, Anomalies& an) {
  ExportTable t;
  if (h.dirs.size() <= kDirExport || h.dirs[kDirExport].rva == 0) return t;
  t.present = true;
  t.rva = h.dirs[kDirExport].rva;
  t.size = h.dirs[kDirExport].size;
  auto view = map.View(t.rva);
  if (!view) {
    an.AtRva(Area::Exports, t.rva, "export directory is not backed by file data");
    return t;
  }
  io::Cursor c(*view, 0);
  t.characteristics = c.U32(); t.timeDateStamp = c.U32(); t.majorVersion = c.U16(); t.minorVersion = c.U16();
  t.nameRva = c.U32(); t.base = c.U32(); t.numberOfFunctions = c.U32(); t.numberOfNames = c.U32();
  t.addressOfFunctions = c.U32(); t.addressOfNames = c.U32(); t.addressOfNameOrdinals = c.U32();
  if (!c.ok()) {
    an.AtOffset(Area::Exports, view->Base(), "export directory truncated by the end of its data");
    t.present = false;
    return t;
  }
  if (t.nameRva != 0) {
    auto nv = map.View(t.nameRva);
    if (!nv) {
      an.AtRva(Area::Exports, t.nameRva, "DLL name is not backed by file data");
    } else {
      io::CString s = nv->String(0, kMaxName);
      t.name = s.text;
      t.nameOk = s.terminated;
      if (!s.terminated) an.AtOffset(Area::Exports, nv->Base() + s.text.size(), "DLL name has no terminating NUL");
    }
  }

  std::optional<io::Reader> fv, nv, ov;
  std::uint64_t nf = TableFit(map, t.addressOfFunctions, t.numberOfFunctions, 4, fv);
  if (nf < t.numberOfFunctions)
    an.AtRva(Area::Exports, t.addressOfFunctions,
             "export address table holds " + io::Dec(nf) + " of NumberOfFunctions " + io::Dec(t.numberOfFunctions) +
                 " entries inside the file");
  std::uint64_t nn = std::min(TableFit(map, t.addressOfNames, t.numberOfNames, 4, nv),
                              TableFit(map, t.addressOfNameOrdinals, t.numberOfNames, 2, ov));
  if (nn < t.numberOfNames)
    an.AtRva(Area::Exports, t.addressOfNames,
             "name tables hold " + io::Dec(nn) + " of NumberOfNames " + io::Dec(t.numberOfNames) +
                 " entries inside the file");
  if (t.numberOfNames > t.numberOfFunctions)
    an.AtOffset(Area::Exports, view->Base() + 24, "NumberOfNames is larger than NumberOfFunctions");
  if (std::uint64_t{t.base} + (nf ? nf - 1 : 0) > 0xFFFF)
    an.AtOffset(Area::Exports, view->Base() + 16, "ordinals run past 65535 (Base " + io::Dec(t.base) + ")");

  // Group the names by the entry they name: count, prefix sums, fill.
  std::vector<std::uint32_t> first(static_cast<std::size_t>(nf) + 1, 0);
  std::vector<std::uint16_t> idx(static_cast<std::size_t>(nn));
  for (std::uint64_t i = 0; i < nn; ++i) {
    std::uint16_t o = *ov->U16(i * 2);
    idx[static_cast<std::size_t>(i)] = o;
    if (o < nf) ++first[o + 1u];
  }
  for (std::size_t i = 1; i < first.size(); ++i) first[i] += first[i - 1];
  std::vector<std::uint32_t> fill(first.begin(), first.end() - 1);
  t.names.resize(first.back());
  std::string_view previous;
  bool sortedReported = false;
  for (std::uint64_t i = 0; i < nn; ++i) {
    ExportName n;
    n.index = static_cast<std::uint32_t>(i);
    n.rva = *nv->U32(i * 4);
    auto sv = map.View(n.rva);
    if (!sv) {
      an.AtRva(Area::Exports, n.rva, "export name " + io::Dec(i) + " is not backed by file data");
    } else {
      io::CString s = sv->String(0, kMaxName);
      n.name = s.text;
      n.ok = s.terminated;
      if (!s.terminated)
        an.AtOffset(Area::Exports, sv->Base() + s.text.size(),
                    "export name " + io::Dec(i) + (s.text.size() >= kMaxName ? " is longer than the name limit; cut" : " has no terminating NUL"));
      // The loader finds names by binary search, so they must ascend.
      if (i > 0 && n.name < previous && !sortedReported) {
        an.AtRva(Area::Exports, t.addressOfNames + i * 4, "export names are not in ascending order; lookups by name can fail");
        sortedReported = true;
      }
      previous = n.name;
    }
    std::uint16_t o = idx[static_cast<std::size_t>(i)];
    if (o < nf) {
      t.names[fill[o]++] = n;
    } else {
      an.AtRva(Area::Exports, t.addressOfNameOrdinals + i * 2,
               "name " + io::Dec(i) + " refers to address table entry " + io::Dec(o) + ", past its end");
      t.strayNames.push_back(n);
      t.strayIndex.push_back(o);
    }
  }

  std::uint64_t dirEnd = std::uint64_t{t.rva} + t.size;
  for (std::uint64_t i = 0; i < nf; ++i) {
    std::uint32_t rva = *fv->U32(i * 4);
    std::uint32_t names = first[i + 1] - first[i];
    if (rva == 0 && names == 0) {
      ++t.unusedSlots;
      continue;
    }
    ExportEntry e;
    e.ordinal = std::uint64_t{t.base} + i;
    e.rva = rva;
    e.firstName = first[i];
    e.nameCount = names;
    // An address inside the export directory is a forwarder string, not code.
    if (rva >= t.rva && rva < dirEnd) {
      e.forwarder = true;
      auto sv = map.View(rva);
      if (!sv) {
        an.AtRva(Area::Exports, rva, "forwarder of ordinal " + io::Dec(e.ordinal) + " is not backed by file data");
      } else {
        io::CString s = sv->String(0, kMaxName);
        e.forwardTo = s.text;
        if (!s.terminated)
          an.AtOffset(Area::Exports, sv->Base() + s.text.size(), "forwarder of ordinal " + io::Dec(e.ordinal) + " has no terminating NUL");
      }
    } else if (rva != 0 && map.SectionOf(rva) == kNoSection) {
      an.AtRva(Area::Exports, rva, "ordinal " + io::Dec(e.ordinal) + " points outside every section");
    }
    t.entries.push_back(e);
  }
  return t;
}

}  // namespace kestrova::dumper::pe
