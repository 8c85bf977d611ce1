// The module cache and the loader's export lookups.
#include "dumper/system/Modules.h"

#include "dumper/pe/Parse.h"
#include "dumper/system/System.h"

namespace kestrova::dumper::system {

void ModuleCache::Read(Module& m, std::span<const std::uint8_t> bytes) {
  m.bytes_ = io::Reader(bytes);
  m.h_ = pe::ParseHeaders(m.bytes_, m.an, nullptr, false);
  m.map_ = std::make_unique<pe::AddressMap>(m.bytes_, m.h_);
  m.budget_ = std::make_unique<pe::Budget>(bytes.size());
  if (m.h_.kind != pe::FileKind::Pe || !m.h_.opt.present) {
    m.state = Module::State::NotImage;
    m.error = m.h_.kind == pe::FileKind::Pe ? "no optional header" : m.h_.what;
    return;
  }
  m.state = Module::State::Image;
  m.machine = m.h_.coff.machine;
  m.pe32plus = m.h_.opt.pe32plus;
  const pe::Context ctx = m.Ctx();
  auto has = [&](int dir) {
    return static_cast<std::size_t>(dir) < m.h_.dirs.size() && m.h_.dirs[static_cast<std::size_t>(dir)].rva != 0;
  };
  if (has(pe::kDirImport)) m.imports = pe::ParseImports(ctx);
  if (has(pe::kDirDelayImport)) m.delayImports = pe::ParseDelayImports(ctx);
  if (has(pe::kDirExport)) m.exports = pe::ParseExports(ctx);
}

const Module& ModuleCache::Get(const std::string& path) {
  auto it = byPath_.find(path);
  if (it != byPath_.end()) return *it->second;
  auto m = std::make_unique<Module>();
  m->path = path;
  m->name = LowerAscii(BaseName(path));
  m->file_ = files_.Open(path, m->error);
  if (m->file_) Read(*m, m->file_->Bytes());
  return *byPath_.emplace(path, std::move(m)).first->second;
}

const Module& ModuleCache::Add(const std::string& path, std::span<const std::uint8_t> bytes) {
  auto m = std::make_unique<Module>();
  m->path = path;
  m->name = LowerAscii(BaseName(path));
  Read(*m, bytes);
  auto& slot = byPath_[path];
  slot = std::move(m);
  return *slot;
}

namespace {

ExportHit Entry(const Module& m, std::uint32_t index) {
  const pe::ExportTable& t = m.exports;
  if (index >= t.functions) return {};
  const pe::Context ctx = m.Ctx();
  auto fv = ctx.map.View(t.addressOfFunctions);
  if (!fv) return {};
  const std::uint32_t rva = fv->U32(std::uint64_t{index} * 4).value_or(0);
  if (rva == 0) return {};
  // An address inside the export directory is a forwarder string.
  if (rva >= t.rva && rva - t.rva < t.size) {
    auto sv = ctx.map.View(rva);
    if (!sv) return {};
    io::CString s = sv->String(0, pe::kMaxName);
    return {ExportHit::Kind::Forward, s.text};
  }
  return {ExportHit::Kind::Found, {}, rva};
}

std::string_view NameAtIndex(const Module& m, const io::Reader& names, std::uint32_t i) {
  auto rva = names.U32(std::uint64_t{i} * 4);
  if (!rva) return {};
  auto sv = m.Ctx().map.View(*rva);
  if (!sv) return {};
  return sv->String(0, pe::kMaxName).text;
}

}  // namespace

ExportHit FindExport(const Module& m, std::string_view name, std::int32_t hint) {
  const pe::ExportTable& t = m.exports;
  if (!t.present || t.names == 0) return {};
  const pe::AddressMap& map = m.Ctx().map;
  auto nv = map.View(t.addressOfNames);
  auto ov = map.View(t.addressOfNameOrdinals);
  if (!nv || !ov) return {};
  auto ordinalAt = [&](std::uint32_t i) { return ov->U16(std::uint64_t{i} * 2).value_or(0xFFFF); };
  if (hint >= 0 && static_cast<std::uint32_t>(hint) < t.names &&
      NameAtIndex(m, *nv, static_cast<std::uint32_t>(hint)) == name)
    return Entry(m, ordinalAt(static_cast<std::uint32_t>(hint)));
  std::int64_t lo = 0, hi = static_cast<std::int64_t>(t.names) - 1;
  while (lo <= hi) {
    const std::int64_t mid = lo + (hi - lo) / 2;
    const int c = NameAtIndex(m, *nv, static_cast<std::uint32_t>(mid)).compare(name);
    if (c == 0) return Entry(m, ordinalAt(static_cast<std::uint32_t>(mid)));
    if (c > 0) hi = mid - 1;
    else lo = mid + 1;
  }
  return {};
}

ExportHit FindOrdinal(const Module& m, std::uint32_t ordinal) {
  const pe::ExportTable& t = m.exports;
  if (!t.present || ordinal < t.base) return {};
  return Entry(m, ordinal - t.base);
}

}  // namespace kestrova::dumper::system
