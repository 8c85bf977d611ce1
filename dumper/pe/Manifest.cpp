// Manifest resources: the text decoded, and a one-pass reader for the part
// of XML that manifests use (elements, attributes, text, comments, CDATA,
// processing instructions), bounded in depth and reporting the first fault.
#include "dumper/pe/Manifest.h"

#include <algorithm>
#include <initializer_list>
#include <optional>

#include "dumper/io/Format.h"
#include "dumper/lang/catalog/Manifest.h"
#include "dumper/pe/Facts.h"

namespace kestrova::dumper::pe {

using io::Dec;
namespace M = lang::M;

namespace {

constexpr std::size_t kMaxDepth = 64;

bool ValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n;
    std::uint32_t cp;
    if (c < 0x80) { ++i; continue; }
    if (c >= 0xC2 && c <= 0xDF) { n = 2; cp = c & 0x1Fu; }
    else if (c >= 0xE0 && c <= 0xEF) { n = 3; cp = c & 0x0Fu; }
    else if (c >= 0xF0 && c <= 0xF4) { n = 4; cp = c & 0x07u; }
    else return false;
    if (i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3Fu);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n;
  }
  return true;
}

std::string_view Local(std::string_view name) {
  std::size_t c = name.rfind(':');
  return c == std::string_view::npos ? name : name.substr(c + 1);
}

bool Space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && Space(s.front())) s.remove_prefix(1);
  while (!s.empty() && Space(s.back())) s.remove_suffix(1);
  return s;
}

// The five predefined entities and numeric references; anything else stays as written.
std::string Unescape(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '&') {
      out.push_back(s[i]);
      continue;
    }
    std::size_t semi = s.find(';', i);
    if (semi == std::string_view::npos || semi - i > 10) {
      out.push_back('&');
      continue;
    }
    std::string_view e = s.substr(i + 1, semi - i - 1);
    char c = e == "amp" ? '&' : e == "lt" ? '<' : e == "gt" ? '>' : e == "quot" ? '"' : e == "apos" ? '\'' : 0;
    if (c == 0 && e.size() > 1 && e[0] == '#') {
      std::uint32_t v = 0;
      bool hex = e[1] == 'x';
      for (char d : e.substr(hex ? 2 : 1)) {
        int x = d >= '0' && d <= '9' ? d - '0' : hex && d >= 'a' && d <= 'f' ? d - 'a' + 10 : hex && d >= 'A' && d <= 'F' ? d - 'A' + 10 : -1;
        if (x < 0) { v = 0; break; }
        v = v * (hex ? 16 : 10) + static_cast<std::uint32_t>(x);
        if (v > 0x7F) break;
      }
      if (v > 0 && v < 0x80) c = static_cast<char>(v);
    }
    if (c == 0) {
      out.push_back('&');
      continue;
    }
    out.push_back(c);
    i = semi;
  }
  return out;
}

class XmlReader {
 public:
  XmlReader(std::string_view text, Manifest& m, lang::Lang l) : s_(text), m_(m), lang_(l) {}

  // The first fault, or empty when the text is well-formed as far as this reader knows.
  std::string Run() {
    while (pos_ < s_.size()) {
      if (s_[pos_] != '<') {
        std::size_t lt = s_.find('<', pos_);
        if (lt == std::string_view::npos) lt = s_.size();
        Text(s_.substr(pos_, lt - pos_));
        pos_ = lt;
        continue;
      }
      std::string err = Markup();
      if (!err.empty()) return err + At(pos_);
    }
    if (!open_.empty()) return Say(M::ManXmlOpenAtEnd, {open_.back()});
    if (!sawRoot_) return Say(M::ManXmlNoElement);
    return {};
  }

 private:
  std::string Say(lang::Msg m, std::initializer_list<lang::Arg> args = {}) const { return lang::Say(lang_, m, args); }

  std::string At(std::size_t p) const {
    return Say(M::ManXmlLine, {std::count(s_.begin(), s_.begin() + static_cast<std::ptrdiff_t>(std::min(p, s_.size())), '\n') + 1});
  }

  bool Skip(std::string_view to) {
    std::size_t e = s_.find(to, pos_);
    if (e == std::string_view::npos) return false;
    pos_ = e + to.size();
    return true;
  }

  void Text(std::string_view t) {
    if (capture_ != nullptr && open_.size() == captureDepth_) capture_->append(t);
  }

  std::string_view Name() {
    std::size_t b = pos_;
    auto ok = [&](char c, bool first) {
      unsigned char u = static_cast<unsigned char>(c);
      return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || u >= 0x80 ||
             (!first && ((c >= '0' && c <= '9') || c == '-' || c == '.'));
    };
    while (pos_ < s_.size() && ok(s_[pos_], pos_ == b)) ++pos_;
    return s_.substr(b, pos_ - b);
  }

  void SkipSpace() {
    while (pos_ < s_.size() && Space(s_[pos_])) ++pos_;
  }

  std::string Markup() {
    std::string_view rest = s_.substr(pos_);
    if (rest.starts_with("<?")) return Skip("?>") ? "" : Say(M::ManXmlPiOpen);
    if (rest.starts_with("<!--")) return Skip("-->") ? "" : Say(M::ManXmlCommentOpen);
    if (rest.starts_with("<![CDATA[")) {
      std::size_t b = pos_ + 9;
      if (!Skip("]]>")) return Say(M::ManXmlCdataOpen);
      Text(s_.substr(b, pos_ - 3 - b));
      return {};
    }
    if (rest.starts_with("<!")) return Skip(">") ? "" : Say(M::ManXmlDeclarationOpen);
    if (rest.starts_with("</")) {
      pos_ += 2;
      std::string_view name = Name();
      SkipSpace();
      if (pos_ >= s_.size() || s_[pos_] != '>') return Say(M::ManXmlEndTagOpen, {name});
      if (open_.empty()) return Say(M::ManXmlEndTagAlone, {name});
      if (open_.back() != name) return Say(M::ManXmlEndTagMismatch, {name, open_.back()});
      ++pos_;
      if (capture_ != nullptr && open_.size() == captureDepth_) {
        *capture_ = std::string(Trim(Unescape(*capture_)));
        capture_ = nullptr;
      }
      open_.pop_back();
      return {};
    }
    ++pos_;
    std::string_view name = Name();
    if (name.empty()) return Say(M::ManXmlNoName);
    if (open_.empty() && sawRoot_) return Say(M::ManXmlSecondRoot, {name});
    sawRoot_ = true;
    attrs_.clear();
    for (;;) {
      SkipSpace();
      if (pos_ >= s_.size()) return Say(M::ManXmlStartTagOpen, {name});
      if (s_[pos_] == '>' || s_.substr(pos_).starts_with("/>")) break;
      std::string_view an = Name();
      if (an.empty()) return Say(M::ManXmlStartTagCharacter, {name});
      SkipSpace();
      if (pos_ >= s_.size() || s_[pos_] != '=') return Say(M::ManXmlAttributeNoValue, {an});
      ++pos_;
      SkipSpace();
      if (pos_ >= s_.size() || (s_[pos_] != '"' && s_[pos_] != '\'')) return Say(M::ManXmlAttributeNotQuoted, {an});
      char q = s_[pos_++];
      std::size_t e = s_.find(q, pos_);
      if (e == std::string_view::npos) return Say(M::ManXmlAttributeOpen, {an});
      std::string_view val = s_.substr(pos_, e - pos_);
      if (val.find('<') != std::string_view::npos) return Say(M::ManXmlAttributeLt, {an});
      attrs_.push_back({an, val});
      pos_ = e + 1;
    }
    bool empty = s_[pos_] == '/';
    pos_ += empty ? 2 : 1;
    Element(name);
    if (empty) {
      if (capture_ != nullptr && open_.size() + 1 == captureDepth_) capture_ = nullptr;
      return {};
    }
    if (open_.size() >= kMaxDepth) return Say(M::ManXmlTooDeep, {kMaxDepth});
    open_.push_back(name);
    return {};
  }

  std::string Attr(std::string_view n) const {
    for (const auto& a : attrs_)
      if (Local(a.first) == n) return Unescape(a.second);
    return {};
  }
  bool HasAttr(std::string_view n) const {
    return std::any_of(attrs_.begin(), attrs_.end(), [&](const auto& a) { return Local(a.first) == n; });
  }

  void Element(std::string_view name) {
    std::string_view local = Local(name);
    std::string_view parent = open_.empty() ? std::string_view{} : Local(open_.back());
    if (local == "requestedExecutionLevel") {
      m_.hasExecutionLevel = true;
      m_.executionLevel = Attr("level");
      m_.uiAccess = Attr("uiAccess");
    } else if (local == "supportedOS" && HasAttr("Id")) {
      m_.supportedOs.push_back(Attr("Id"));
    } else if (local == "assemblyIdentity" && parent == "dependentAssembly") {
      m_.dependencies.push_back({Attr("name"), Attr("version"), Attr("processorArchitecture"), Attr("publicKeyToken"),
                                 Attr("type"), Attr("language")});
    } else if (local == "file" && parent == "assembly" && HasAttr("name")) {
      m_.files.push_back(Attr("name"));
    } else {
      std::string* field = local == "dpiAware"        ? &m_.dpiAware
                           : local == "dpiAwareness"  ? &m_.dpiAwareness
                           : local == "longPathAware" ? &m_.longPathAware
                           : local == "activeCodePage" ? &m_.activeCodePage
                           : local == "heapType"      ? &m_.heapType
                                                      : nullptr;
      if (field != nullptr) {
        field->clear();
        capture_ = field;
        captureDepth_ = open_.size() + 1;  // its text is read while it is the innermost open element
      }
    }
  }

  std::string_view s_;
  Manifest& m_;
  lang::Lang lang_;
  std::size_t pos_ = 0;
  bool sawRoot_ = false;
  std::vector<std::string_view> open_;
  std::vector<std::pair<std::string_view, std::string_view>> attrs_;
  std::string* capture_ = nullptr;
  std::size_t captureDepth_ = 0;
};

// The resource's bytes as UTF-8 text, and what they were.
void Decode(Manifest& m, std::span<const std::uint8_t> b) {
  auto utf16 = [&](std::span<const std::uint8_t> units, bool big) {
    if (!big) {
      AppendUtf16(m.text, units);
      return;
    }
    std::vector<std::uint8_t> swapped(units.begin(), units.end());
    for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
    AppendUtf16(m.text, swapped);
  };
  if (b.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
    m.encoding = M::ManUtf16Le;
    utf16(b.subspan(2), false);
  } else if (b.size() >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
    m.encoding = M::ManUtf16Be;
    utf16(b.subspan(2), true);
  } else if (b.size() >= 2 && b[0] == '<' && b[1] == 0) {
    m.encoding = M::ManUtf16LeNoBom;
    utf16(b, false);
  } else if (b.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
    m.encoding = M::ManUtf8Bom;
    m.text.assign(reinterpret_cast<const char*>(b.data()) + 3, b.size() - 3);
  } else {
    m.encoding = M::ManUtf8;
    m.text.assign(reinterpret_cast<const char*>(b.data()), b.size());
  }
  // Resource compilers often pad the text with NULs.
  while (!m.text.empty() && m.text.back() == '\0') m.text.pop_back();
}

}  // namespace

namespace {

ManifestList ReadManifests(const Context& ctx) {
  ManifestList list;
  ResourceTree tree = OpenResourceTree(ctx, Area::Manifest, false);
  if (!tree.present) return list;
  ResourceWalk walk(ctx, tree, Area::Manifest, ResourceWalk::Mode::Quiet);
  // Leaves can share their data: the texts kept are held to the file's size.
  std::uint64_t kept = 0;
  walk.Run(
      [&](const ResourceLeaf& leaf) {
        auto data = ResourceData(ctx, leaf, Area::Manifest, false);
        if (!data) return true;
        if (kept + data->Size() > ctx.h.fileSize) {
          ctx.an.AtOffset(Area::Manifest, leaf.entryOffset, lang::Say(ctx.options.lang, M::ManTooMuch));
          return false;
        }
        kept += data->Size();
        Manifest m;
        m.leaf = leaf;
        Decode(m, data->Bytes());
        const std::uint64_t at = data->Base();
        if ((m.encoding == M::ManUtf8 || m.encoding == M::ManUtf8Bom) && !ValidUtf8(m.text)) {
          m.encoding = M::ManNotUtf;
          ctx.an.AtOffset(Area::Manifest, at, lang::Say(ctx.options.lang, M::ManNotUtfText));
        }
        std::string fault = XmlReader(m.text, m, ctx.options.lang).Run();
        if (!fault.empty()) ctx.an.AtOffset(Area::Manifest, at, lang::Say(ctx.options.lang, M::ManNotXml, {fault}));
        if (ctx.facts && list.manifests.empty()) {
          ctx.facts->supportedOs = m.supportedOs;
          ctx.facts->executionLevel = m.executionLevel;
        }
        list.manifests.push_back(std::move(m));
        return ctx.budget.Take();
      },
      kRtManifest);
  list.present = !list.manifests.empty();
  return list;
}

}  // namespace

std::shared_ptr<const ManifestList> SharedManifest(const Context& ctx) {
  if (ctx.facts == nullptr) return std::make_shared<const ManifestList>(ReadManifests(ctx));
  if (!ctx.facts->manifests) ctx.facts->manifests = std::make_shared<ManifestList>(ReadManifests(ctx));
  return ctx.facts->manifests;
}

ManifestList ParseManifest(const Context& ctx) {
  if (ctx.facts != nullptr && ctx.facts->manifests) {
    // Read already, its anomalies reported then: handed over, and freed with the part.
    ManifestList list = std::move(*ctx.facts->manifests);
    ctx.facts->manifests.reset();
    return list;
  }
  return ReadManifests(ctx);
}

std::vector<std::string> AssemblyFiles(std::string_view text) {
  Manifest m;
  if (!XmlReader(text, m, lang::Lang::En).Run().empty()) return {};
  return std::move(m.files);
}

std::optional<lang::Msg> SupportedOs(std::string_view guid) {
  static constexpr std::pair<std::string_view, lang::Msg> kOs[] = {
      {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", M::ManOsVista},
      {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", M::ManOs7},
      {"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", M::ManOs8},
      {"{1f676c76-80e1-4239-95bb-83d0f6d0da78}", M::ManOs81},
      {"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", M::ManOs10},
  };
  std::string_view g = Trim(guid);
  for (const auto& [id, name] : kOs) {
    if (g.size() != id.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < g.size() && same; ++i) {
      char a = g[i], b = id[i];
      if (a >= 'A' && a <= 'F') a = static_cast<char>(a - 'A' + 'a');
      same = a == b;
    }
    if (same) return name;
  }
  return std::nullopt;
}

std::string_view SupportedOsName(std::string_view guid) {
  const std::optional<lang::Msg> m = SupportedOs(guid);
  return m ? lang::Text(*m, lang::Lang::En) : std::string_view{};
}

lang::Msg ManifestIdMeaning(std::uint32_t id) {
  switch (id) {
    case 1: return M::ManIdProgram;
    case 2: return M::ManIdIsolationAwareDll;
    case 3: return M::ManIdDll;
    default: return id <= 16 ? M::ManIdReserved : M::ManIdOther;
  }
}

}  // namespace kestrova::dumper::pe
