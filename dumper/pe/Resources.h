#pragma once
// The resource tree (type, name, language, data) and the decoders of the
// resource kinds a reader wants to see as text. The tree is walked, not
// copied: the Resources, Version information and Manifest parts each walk it
// with ResourceWalk, which visits every directory once, three levels deep.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dumper/pe/Constants.h"
#include "dumper/pe/Context.h"

namespace kestrova::dumper::pe {

// Standard resource type ids.
enum ResourceType : std::uint16_t {
  kRtCursor = 1, kRtBitmap = 2, kRtIcon = 3, kRtMenu = 4, kRtDialog = 5, kRtString = 6, kRtFontDir = 7,
  kRtFont = 8, kRtAccelerator = 9, kRtRcData = 10, kRtMessageTable = 11, kRtGroupCursor = 12,
  kRtGroupIcon = 14, kRtVersion = 16, kRtDlgInclude = 17, kRtPlugPlay = 19, kRtVxd = 20,
  kRtAniCursor = 21, kRtAniIcon = 22, kRtHtml = 23, kRtManifest = 24,
};

// One level's key: a number, or a UTF-16 name in the tree's string area.
struct ResourceKey {
  bool named = false;
  std::uint32_t id = 0;                 // the number (named: the raw field)
  std::span<const std::uint8_t> name;   // UTF-16LE code units, cut at kMaxName
};

// A data entry reached through type, name and language.
struct ResourceLeaf {
  ResourceKey type, name, lang;
  std::uint64_t entryOffset = 0;  // file offset of the data entry
  std::uint32_t rva = 0, size = 0, codePage = 0;
};

// The root of the tree, and what the reporting walk found.
struct ResourceTree {
  bool present = false;
  std::uint32_t rva = 0, size = 0;
  io::Reader view;  // from the root to the end of the data that backs it
  std::uint32_t characteristics = 0, timeDateStamp = 0;
  std::uint16_t majorVersion = 0, minorVersion = 0;
  std::uint64_t types = 0, entries = 0, bytes = 0;
  std::uint64_t steps = 0;  // directory entries the walk took; later walks of the same tree take as many
};

// Opens the resource directory and reads the root's header; with `report`,
// `area` receives the report when the directory has no file data.
ResourceTree OpenResourceTree(const Context& ctx, Area area, bool report);

// Walks the tree's leaves in order, each directory once, three levels deep.
//   Report: damage is reported to `area`; the walk takes from the work budget
//           and records in tree.steps how many entries it took.
//   Quiet:  takes from the budget, reports nothing (a part that looks at one
//           type and leaves the tree's damage to the Resources part).
//   Replay: reports nothing and takes nothing, stopping after tree.steps
//           entries: the printer's second pass over a tree already walked.
// `onlyType`: visit only the subtree of that numeric type.
class ResourceWalk {
 public:
  enum class Mode : std::uint8_t { Report, Quiet, Replay };
  ResourceWalk(const Context& ctx, ResourceTree& tree, Area area, Mode mode)
      : ctx_(ctx), tree_(tree), area_(area), mode_(mode) {}
  // `each` returns false to stop the walk.
  void Run(const std::function<bool(const ResourceLeaf&)>& each, std::optional<std::uint16_t> onlyType = {});

 private:
  bool Directory(std::uint64_t off, int level, ResourceLeaf& path, const std::function<bool(const ResourceLeaf&)>& each,
                 std::optional<std::uint16_t> onlyType);
  bool Visited(std::uint64_t off);  // marks the directory; true when it was seen before
  bool Step(std::uint64_t at);
  void Report(std::uint64_t off, lang::Msg m, std::initializer_list<lang::Arg> args = {}) const;
  ResourceKey Key(std::uint32_t field);

  const Context& ctx_;
  ResourceTree& tree_;
  Area area_;
  Mode mode_;
  std::uint64_t taken_ = 0;
  bool stopped_ = false;
  bool pastSize_ = false;
  std::vector<std::uint32_t> seen_;  // open-addressed set of directory offsets + 1
  std::size_t seenCount_ = 0;
};

// The leaf's data, cut to what the file holds (reported to `area` when it is cut
// or not in the file at all, if `report`).
std::optional<io::Reader> ResourceData(const Context& ctx, const ResourceLeaf& leaf, Area area, bool report);

// The Resources part: the tree walked once with reports, and its counts.
ResourceTree ParseResources(const Context& ctx);

// Appends UTF-16LE code units as UTF-8; a lone surrogate becomes its
// three-byte form, which the listing shows escaped.
void AppendUtf16(std::string& out, std::span<const std::uint8_t> utf16);
std::string FromUtf16(std::span<const std::uint8_t> utf16);

// Names for the numbered things resources carry.
std::span<const Named> ResourceTypes();
std::span<const Named> Languages();       // LANGID -> locale name, meaning the language
std::span<const Named> CodePages();
// "0409 (en-US)", or "0409" when the table does not know the LANGID.
std::string LanguageText(std::uint32_t langId);
// The few LANGIDs and code pages whose table name is a word of ours, not a
// locale or character set ("neutral", "system default"): that word in the
// catalog, its English text the table's name; nothing for the others.
std::optional<lang::Msg> LanguageWord(std::uint32_t langId);
std::optional<lang::Msg> CodePageWord(std::uint32_t codePage);

// ---- decoders of the kinds shown as text. Each reads one resource's data and
// hands what it finds to the caller one item at a time; damage is reported to
// `area` at its offset.

struct StringItem {
  std::uint32_t id = 0;
  std::span<const std::uint8_t> text;  // UTF-16LE
};
void DecodeStringTable(const Context& ctx, const io::Reader& data, std::uint32_t block, Area area,
                       const std::function<void(const StringItem&)>& each);

struct MessageItem {
  bool range = false;                // a block header: ids low..high
  std::uint32_t low = 0, high = 0;   // range; for a message, low is its id
  bool unicode = false;
  std::span<const std::uint8_t> text;  // trailing CR/LF/NUL trimmed
};
void DecodeMessageTable(const Context& ctx, const io::Reader& data, Area area,
                        const std::function<bool(const MessageItem&)>& each);

struct GroupIconItem {
  std::uint32_t width = 0, height = 0, colors = 0, planes = 0, bitCount = 0, bytes = 0, id = 0;
};
void DecodeGroupIcon(const Context& ctx, const io::Reader& data, bool cursor, Area area,
                     const std::function<void(const GroupIconItem&)>& each);

struct AcceleratorItem {
  std::uint16_t flags = 0, key = 0, id = 0;
};
void DecodeAccelerators(const Context& ctx, const io::Reader& data, Area area,
                        const std::function<void(const AcceleratorItem&)>& each);
std::span<const Named> AcceleratorFlags();

// A dialog's caption, font and controls; a menu's items. Text is UTF-16LE.
struct UiItem {
  enum Kind : std::uint8_t { Caption, Font, Control, MenuItem, Popup, Separator } kind = Caption;
  int depth = 0;             // menu nesting
  std::uint32_t id = 0;
  bool hasId = false;
  std::span<const std::uint8_t> text;
  bool textIsOrdinal = false;  // a control whose title is a resource number (an icon)
  std::uint32_t ordinal = 0;
  std::span<const std::uint8_t> className;  // named class
  std::uint32_t classOrdinal = 0;           // predefined class, when className is empty
  std::uint32_t points = 0;                 // font size
};
void DecodeDialog(const Context& ctx, const io::Reader& data, Area area, const std::function<bool(const UiItem&)>& each);
void DecodeMenu(const Context& ctx, const io::Reader& data, Area area, const std::function<bool(const UiItem&)>& each);

}  // namespace kestrova::dumper::pe
