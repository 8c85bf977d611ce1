// The reads that many parts share.
#include "dumper/pe/Context.h"

#include <string>

#include "dumper/io/Format.h"

namespace kestrova::dumper::pe {

DirectoryView OpenDirectory(const Context& ctx, int index, Area area, std::string_view what) {
  DirectoryView d;
  if (index < 0 || ctx.h.dirs.size() <= static_cast<std::size_t>(index)) return d;
  const DataDirectory& e = ctx.h.dirs[static_cast<std::size_t>(index)];
  if (e.rva == 0) return d;
  d.present = true;
  d.rva = e.rva;
  d.size = e.size;
  if (auto v = ctx.map.View(e.rva)) {
    d.backed = true;
    d.data = *v;
  } else {
    ctx.an.AtRva(area, e.rva, std::string(what) + " is not backed by file data");
  }
  return d;
}

std::string What::Str() const {
  std::string s(text_);
  if (numbered_) s += io::Dec(number_);
  s += tail_;
  return s;
}

NameRead NameIn(const Context& ctx, const io::Reader& view, std::uint64_t off, Area area, const What& what) {
  io::CString s = view.String(off, kMaxName);
  if (!s.terminated)
    ctx.an.AtOffset(area, view.Base() + off + s.text.size(),
                    what.Str() +
                        (s.text.size() >= kMaxName ? " is longer than the name limit; cut" : " has no terminating NUL"));
  return {s.text, s.terminated};
}

NameRead NameAt(const Context& ctx, std::uint64_t rva, Area area, const What& what) {
  auto v = ctx.map.View(rva);
  if (!v) {
    ctx.an.AtRva(area, rva, what.Str() + " is not backed by file data");
    return {};
  }
  return NameIn(ctx, *v, 0, area, what);
}

}  // namespace kestrova::dumper::pe
