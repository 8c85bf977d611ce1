// The reads that many parts share.
#include "dumper/pe/Context.h"

#include <string>

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Common.h"

namespace kestrova::dumper::pe {

namespace {
DirectoryView Open(const Context& ctx, int index, Area area, const What& what) {
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
    ctx.an.AtRva(area, e.rva, lang::Say(ctx.options.lang, lang::M::NotBacked, {what.Str(ctx.options.lang)}));
  }
  return d;
}
}  // namespace

DirectoryView OpenDirectory(const Context& ctx, int index, Area area, std::string_view what) {
  return Open(ctx, index, area, What(what));
}

DirectoryView OpenDirectory(const Context& ctx, int index, Area area, lang::Msg what) {
  return Open(ctx, index, area, What(what));
}

std::string What::Str(lang::Lang l) const {
  if (entry_) {
    if (numbered_) return lang::Say(l, *entry_, {number_});
    return lang::Say(l, *entry_, {tail_});
  }
  std::string s(text_);
  if (numbered_) s += io::Dec(number_);
  s += tail_;
  return s;
}

NameRead NameIn(const Context& ctx, const io::Reader& view, std::uint64_t off, Area area, const What& what) {
  io::CString s = view.String(off, kMaxName);
  if (!s.terminated)
    ctx.an.AtOffset(area, view.Base() + off + s.text.size(),
                    lang::Say(ctx.options.lang, s.text.size() >= kMaxName ? lang::M::NameTooLong : lang::M::NameNoNul,
                              {what.Str(ctx.options.lang)}));
  return {s.text, s.terminated};
}

NameRead NameAt(const Context& ctx, std::uint64_t rva, Area area, const What& what) {
  auto v = ctx.map.View(rva);
  if (!v) {
    ctx.an.AtRva(area, rva, lang::Say(ctx.options.lang, lang::M::NotBacked, {what.Str(ctx.options.lang)}));
    return {};
  }
  return NameIn(ctx, *v, 0, area, what);
}

}  // namespace kestrova::dumper::pe
