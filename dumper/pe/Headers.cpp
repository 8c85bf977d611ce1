// DOS, COFF and optional headers, data directories, section table, address map.
#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>
#include <thread>
#include <vector>

#include "dumper/io/Format.h"
#include "dumper/pe/Parse.h"
#include "dumper/lang/catalog/Headers.h"

namespace kestrova::dumper::pe {

using io::Hex;
namespace M = lang::M;

void Anomalies::Add(Area a, Anomaly::Where w, std::uint64_t at, std::string text) {
  std::size_t& n = perArea_[static_cast<std::size_t>(a)];
  if (n >= kMaxPerArea) {
    ++suppressed_;
    return;
  }
  ++n;
  list_.push_back(Anomaly{a, w, at, std::move(text)});
}

namespace {

bool IsPowerOfTwo(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

std::uint64_t AlignUp(std::uint64_t v, std::uint64_t a) {
  if (!IsPowerOfTwo(a)) return v;
  return (v + a - 1) & ~(a - 1);
}

void ParseDos(const io::Reader& f, DosHeader& d) {
  io::Cursor c(f, 0);
  d.magic = c.U16(); d.cblp = c.U16(); d.cp = c.U16(); d.crlc = c.U16(); d.cparhdr = c.U16();
  d.minalloc = c.U16(); d.maxalloc = c.U16(); d.ss = c.U16(); d.sp = c.U16(); d.csum = c.U16();
  d.ip = c.U16(); d.cs = c.U16(); d.lfarlc = c.U16(); d.ovno = c.U16();
  for (auto& r : d.res) r = c.U16();
  d.oemid = c.U16(); d.oeminfo = c.U16();
  for (auto& r : d.res2) r = c.U16();
  d.lfanew = c.U32();
}

// Reads the optional header up to the end of the file; `available` tells the
// printer which fields really were there.
void ReadOptional(const io::Reader& f, std::uint64_t off, Headers& h) {
  OptionalHeader& o = h.opt;
  o.magic = f.U16(off).value_or(0);
  o.pe32plus = o.magic == kMagicPe32Plus;
  const std::uint32_t fixed = o.pe32plus ? kOptionalFixed64 : kOptionalFixed32;
  h.optionalFields = ReadFields(f, off, OptionalHeaderLayout(), o.pe32plus, fixed);
  const FieldBlock& b = h.optionalFields;
  auto u8 = [&](std::size_t i) { return static_cast<std::uint8_t>(b[i]); };
  auto u16 = [&](std::size_t i) { return static_cast<std::uint16_t>(b[i]); };
  auto u32 = [&](std::size_t i) { return static_cast<std::uint32_t>(b[i]); };
  o.majorLinker = u8(kOptMajorLinker); o.minorLinker = u8(kOptMinorLinker);
  o.sizeOfCode = u32(kOptSizeOfCode); o.sizeOfInitializedData = u32(kOptSizeOfInitializedData);
  o.sizeOfUninitializedData = u32(kOptSizeOfUninitializedData);
  o.addressOfEntryPoint = u32(kOptEntryPoint); o.baseOfCode = u32(kOptBaseOfCode);
  o.baseOfData = u32(kOptBaseOfData); o.imageBase = b[kOptImageBase];
  o.sectionAlignment = u32(kOptSectionAlignment); o.fileAlignment = u32(kOptFileAlignment);
  o.majorOs = u16(kOptMajorOs); o.minorOs = u16(kOptMinorOs);
  o.majorImage = u16(kOptMajorImage); o.minorImage = u16(kOptMinorImage);
  o.majorSubsystem = u16(kOptMajorSubsystem); o.minorSubsystem = u16(kOptMinorSubsystem);
  o.win32VersionValue = u32(kOptWin32Version); o.sizeOfImage = u32(kOptSizeOfImage);
  o.sizeOfHeaders = u32(kOptSizeOfHeaders); o.checkSum = u32(kOptCheckSum);
  o.subsystem = u16(kOptSubsystem); o.dllCharacteristics = u16(kOptDllCharacteristics);
  o.sizeOfStackReserve = b[kOptStackReserve]; o.sizeOfStackCommit = b[kOptStackCommit];
  o.sizeOfHeapReserve = b[kOptHeapReserve]; o.sizeOfHeapCommit = b[kOptHeapCommit];
  o.loaderFlags = u32(kOptLoaderFlags); o.numberOfRvaAndSizes = u32(kOptNumberOfRvaAndSizes);
  std::uint64_t avail = off < f.Size() ? f.Size() - off : 0;
  o.available = static_cast<std::uint32_t>(std::min<std::uint64_t>(avail, fixed + 16u * 8u));
}

// Where the loader takes each section from: the raw pointer rounded down to
// 512 when the file alignment is at least that, the raw size rounded up to the
// file alignment and cut to the aligned virtual size; all clipped to the file.
void PlaceSections(Headers& h, Anomalies& an, lang::Lang l) {
  std::uint64_t fa = h.opt.present ? h.opt.fileAlignment : 0x200;
  std::uint64_t sa = h.opt.present ? h.opt.sectionAlignment : 0x1000;
  if (!IsPowerOfTwo(fa)) fa = 1;
  if (!IsPowerOfTwo(sa)) sa = 1;
  for (std::size_t i = 0; i < h.sections.size(); ++i) {
    Section& s = h.sections[i];
    std::uint64_t extent = s.virtualSize != 0 ? s.virtualSize : s.sizeOfRawData;
    s.virtualEnd = static_cast<std::uint64_t>(s.virtualAddress) + AlignUp(extent, sa);
    std::uint64_t start = s.pointerToRawData;
    if (fa >= 0x200) start &= ~std::uint64_t{0x1FF};
    std::uint64_t bytes = AlignUp(s.sizeOfRawData, fa);
    bytes = std::min(bytes, AlignUp(extent, sa));
    if (s.sizeOfRawData == 0) bytes = 0;
    std::uint64_t index = i + 1;
    if (bytes != 0 && start >= h.fileSize) {
      an.AtOffset(Area::Sections, start, lang::Say(l, M::HdrSecRawPastEnd, {index}));
      bytes = 0;
    } else if (bytes != 0 && !io::Fits(start, bytes, h.fileSize)) {
      if (static_cast<std::uint64_t>(s.pointerToRawData) + s.sizeOfRawData > h.fileSize)
        an.AtOffset(Area::Sections, start,
                    lang::Say(l, M::HdrSecRawRunsPast, {index, Hex(s.sizeOfRawData), Hex(h.fileSize - start)}));
      bytes = h.fileSize - start;
    }
    s.fileStart = start;
    s.fileBytes = bytes;
    if (s.virtualEnd > UINT32_MAX + std::uint64_t{1})
      an.AtRva(Area::Sections, s.virtualAddress, lang::Say(l, M::HdrSecPast4Gb, {index}));
  }
  for (std::size_t i = 1; i < h.sections.size(); ++i) {
    const Section& p = h.sections[i - 1];
    const Section& s = h.sections[i];
    if (s.virtualAddress < p.virtualEnd)
      an.AtRva(Area::Sections, s.virtualAddress, lang::Say(l, M::HdrSecOverlap, {i + 1, i}));
  }
}

void ResolveLongNames(const io::Reader& f, Headers& h) {
  if (h.coff.pointerToSymbolTable == 0) return;
  auto table = io::CheckedAdd(h.coff.pointerToSymbolTable, std::uint64_t{h.coff.numberOfSymbols} * 18);
  if (!table || !f.Has(*table, 4)) return;
  io::Reader strings = f.From(*table);
  for (Section& s : h.sections) {
    if (s.name.size() < 2 || s.name[0] != '/') continue;
    std::uint64_t v = 0;
    bool digits = true;
    for (char ch : s.name.substr(1)) {
      if (ch < '0' || ch > '9') digits = false;
      else v = v * 10 + static_cast<std::uint64_t>(ch - '0');
    }
    if (!digits || v < 4) continue;
    io::CString str = strings.String(v, 256);
    if (str.terminated) s.longName = str.text;
  }
}

}  // namespace

AddressMap::AddressMap(const io::Reader& file, const Headers& h) : file_(file), sections_(h.sections) {
  const OptionalHeader& o = h.opt;
  std::uint64_t hdr = o.present ? o.sizeOfHeaders : h.sectionTableOffset + 40 * h.sections.size();
  // The header area ends where the first section begins in memory.
  for (const Section& s : h.sections)
    if (s.virtualAddress != 0) hdr = std::min<std::uint64_t>(hdr, s.virtualAddress);
  // A header cut short by the end of the file reads as zeros, within the image.
  std::uint64_t mapped = o.present ? std::max<std::uint64_t>(o.sizeOfImage, file.Size()) : file.Size();
  headerBytes_ = std::min(hdr, mapped);
  // Below the page size (and with equal alignments) the loader maps the file
  // as it is: every RVA is its own file offset.
  flat_ = o.present && IsPowerOfTwo(o.sectionAlignment) && o.sectionAlignment < 0x1000 &&
          o.sectionAlignment == o.fileAlignment;
  // The view is a whole number of pages, and the file fills it as far as it goes.
  if (flat_) imageEnd_ = AlignUp(std::max<std::uint64_t>(o.sizeOfImage, 1), 0x1000);
  byAddress_.resize(sections_.size());
  for (std::size_t i = 0; i < byAddress_.size(); ++i) byAddress_[i] = static_cast<std::uint32_t>(i);
  std::stable_sort(byAddress_.begin(), byAddress_.end(), [&](std::uint32_t a, std::uint32_t b) {
    return sections_[a].virtualAddress < sections_[b].virtualAddress;
  });
  std::uint64_t reach = 0;
  for (std::uint32_t i : byAddress_) {
    const Section& s = sections_[i];
    if (s.virtualEnd <= s.virtualAddress) continue;  // holds no address
    if (s.virtualAddress < reach) overlap_ = true;
    reach = std::max(reach, s.virtualEnd);
  }
}

int AddressMap::SectionOf(std::uint64_t rva) const {
  for (const std::atomic<int>& r : recent_) {
    const int i = r.load(std::memory_order_relaxed);
    if (i < 0) continue;
    const Section& s = sections_[static_cast<std::size_t>(i)];
    if (rva >= s.virtualAddress && rva < s.virtualEnd) return i;
  }
  // Binary search, so that 65535 sections and a large table cannot multiply
  // into minutes. Overlapping sections (reported as damage) are looked at a
  // few deep below the match; the one first in the table wins.
  auto it = std::upper_bound(byAddress_.begin(), byAddress_.end(), rva,
                             [&](std::uint64_t v, std::uint32_t i) { return v < sections_[i].virtualAddress; });
  int found = kNoSection;
  for (int depth = 0; depth < 16 && it != byAddress_.begin(); ++depth) {
    --it;
    if (rva < sections_[*it].virtualEnd && (found == kNoSection || static_cast<int>(*it) < found))
      found = static_cast<int>(*it);
  }
  if (!overlap_ && found != kNoSection) {
    recent_[1].store(recent_[0].load(std::memory_order_relaxed), std::memory_order_relaxed);
    recent_[0].store(found, std::memory_order_relaxed);
  }
  return found;
}

std::optional<std::uint64_t> AddressMap::ToOffset(std::uint64_t rva) const {
  if (flat_) {
    if (rva < imageEnd_ && rva < file_.Size()) return rva;
    return std::nullopt;
  }
  int i = SectionOf(rva);
  if (i != kNoSection) {
    const Section& s = sections_[static_cast<std::size_t>(i)];
    std::uint64_t delta = rva - s.virtualAddress;
    if (delta >= s.fileBytes) return std::nullopt;  // zero-filled tail, no file bytes
    return s.fileStart + delta;
  }
  if (rva < headerBytes_ && rva < file_.Size()) return rva;
  return std::nullopt;
}

std::optional<io::Reader> AddressMap::View(std::uint64_t rva) const {
  // File bytes from `off` up to `end` of them, then zeros up to `limit`.
  auto backed = [&](std::uint64_t off, std::uint64_t end, std::uint64_t limit) -> io::Reader {
    end = std::min(end, file_.Size());
    std::uint64_t real = off < end ? std::min(end - off, limit) : 0;
    std::span<const std::uint8_t> bytes;
    if (real != 0) bytes = file_.Bytes().subspan(static_cast<std::size_t>(off), static_cast<std::size_t>(real));
    return io::Reader(bytes, off, limit - real);
  };
  if (flat_) {
    if (rva >= imageEnd_) return std::nullopt;
    return backed(rva, imageEnd_, imageEnd_ - rva);
  }
  int i = SectionOf(rva);
  if (i != kNoSection) {
    const Section& s = sections_[static_cast<std::size_t>(i)];
    std::uint64_t delta = rva - s.virtualAddress;
    std::uint64_t extent = s.virtualEnd - rva;  // to the end of the section in memory
    if (delta >= s.fileBytes) return io::Reader({}, s.fileStart + delta, extent);
    return backed(s.fileStart + delta, s.fileStart + s.fileBytes, extent);
  }
  if (rva < headerBytes_) return backed(rva, headerBytes_, headerBytes_ - rva);
  return std::nullopt;
}

namespace {

// Stretches are multiples of 8 bytes, so each starts word-aligned.
constexpr std::size_t kStretch = 1 << 17;
// Below this a second thread costs more than it saves.
constexpr std::size_t kSplitAt = std::size_t{8} << 20;
constexpr std::size_t kMaxThreads = 4;

// A stretch of the file whose bytes go into histogram `hist`.
struct Counted {
  std::uint64_t begin = 0, end = 0;
  std::size_t hist = 0;
};

double Entropy(const std::uint64_t* hist) {
  std::uint64_t total = 0;
  for (std::size_t k = 0; k < 256; ++k) total += hist[k];
  if (total == 0) return 0;
  double e = 0;
  for (std::size_t k = 0; k < 256; ++k) {
    if (hist[k] == 0) continue;
    const double p = static_cast<double>(hist[k]) / static_cast<double>(total);
    e -= p * std::log2(p);
  }
  return e;
}

// Sums and counts the stretch [from, to) of the file into `sum` and `hists`.
// `pages` may lend a buffer (Fetch), which only one caller may use at a time.
void ScanRange(std::span<const std::uint8_t> b, std::size_t from, std::size_t to, bool checksum,
               const std::vector<Counted>& counted, std::uint64_t* hists, io::PageRelease* pages, bool fetch,
               std::uint64_t& sum) {
  auto take = [&](std::span<const std::uint8_t> part, std::size_t at) {
    if (checksum) sum += io::SumLe32(part);
    const std::uint64_t end = at + part.size();
    for (const Counted& c : counted) {
      if (c.begin >= end || c.end <= at) continue;
      const std::uint64_t lo = std::max<std::uint64_t>(c.begin, at), hi = std::min<std::uint64_t>(c.end, end);
      io::CountBytes(part.subspan(static_cast<std::size_t>(lo - at), static_cast<std::size_t>(hi - lo)),
                 hists + 256 * c.hist);
    }
  };
  for (std::size_t i = from; i < to; i += kStretch) {
    std::size_t len = std::min(kStretch, to - i);
    if (pages != nullptr) {
      if (fetch) {
        std::span<const std::uint8_t> copy = pages->Fetch(i, len);
        if (copy.size() == len) {
          take(copy, i);
          continue;
        }
      }
      pages->Need(i, len);
    }
    take(b.subspan(i, len), i);
    if (pages != nullptr) pages->Done(i, len);
  }
}

// The one pass over the whole file: the checksum (when `checksumOffset` is
// given) and the byte counts of the stretches in `counted`. Counting bytes
// costs five times the checksum, so a big file is cut in pieces counted on
// threads of their own, each with its own sum and tables.
std::uint32_t ScanFile(const io::Reader& file, std::optional<std::uint64_t> checksumOffset,
                       const std::vector<Counted>& counted, std::vector<std::uint64_t>& hists,
                       io::PageRelease* pages) {
  // Summing 32-bit words and folding at the end gives the same result as the
  // 16-bit end-around-carry sum (2^16 = 1 modulo 0xFFFF), at a quarter the steps.
  std::span<const std::uint8_t> b = file.Bytes();
  std::uint64_t sum = 0;
  const std::size_t n = b.size();
  const bool checksum = checksumOffset.has_value();
  // Pieces of at least kSplitAt / 2 each, one per core up to kMaxThreads; the
  // first stays on this thread and may use the borrowed buffer.
  std::size_t pieces = 1;
  if (!counted.empty() && n >= kSplitAt) {
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    pieces = std::min({cores, kMaxThreads, n / (kSplitAt / 2)});
  }
  const std::size_t step = (n / pieces + kStretch - 1) / kStretch * kStretch;  // stretches stay word-aligned
  struct Piece {
    std::size_t from = 0, to = 0;
    std::uint64_t sum = 0;
    std::vector<std::uint64_t> hists;
    std::thread thread;
  };
  std::vector<Piece> others;
  std::size_t mine = std::min(n, step);
  try {
    for (std::size_t at = mine; at < n; at += step) {
      Piece& q = others.emplace_back();
      q.from = at;
      q.to = std::min(n, at + step);
      q.hists.assign(hists.size(), 0);
    }
    for (Piece& q : others)
      q.thread = std::thread([&b, &q, checksum, &counted, pages] {
        ScanRange(b, q.from, q.to, checksum, counted, q.hists.data(), pages, false, q.sum);
      });
  } catch (const std::exception&) {
    // No more threads or memory to be had: this one takes what no thread started on.
    for (Piece& q : others) {
      if (!q.thread.joinable()) ScanRange(b, q.from, q.to, checksum, counted, hists.data(), pages, true, sum);
    }
    const std::size_t planned = others.empty() ? mine : others.back().to;
    ScanRange(b, planned, n, checksum, counted, hists.data(), pages, true, sum);
  }
  ScanRange(b, 0, mine, checksum, counted, hists.data(), pages, true, sum);
  for (Piece& q : others) {
    if (!q.thread.joinable()) continue;
    q.thread.join();
    sum += q.sum;
    for (std::size_t k = 0; k < hists.size(); ++k) hists[k] += q.hists[k];
  }
  if (!checksumOffset) return 0;
  for (std::uint64_t k = 0; k < 4; ++k) {
    std::uint64_t at = *checksumOffset + k;
    if (at < n) sum -= static_cast<std::uint64_t>(b[static_cast<std::size_t>(at)]) << (8 * (at % 4));
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint32_t>(sum + n);
}

// Checksum and entropies in one pass. A section's raw data is taken as pefile
// takes it: SizeOfRawData bytes from PointerToRawData (rounded down to 512 when
// FileAlignment is at least that), cut at the end of the file.
// Overlapping sections count their bytes again, up to a cap of twice the
// file, past which a section's entropy is left uncounted.
void ScanHeaders(const io::Reader& f, Headers& h, io::PageRelease* pages) {
  const OptionalHeader& o = h.opt;
  std::optional<std::uint64_t> checksumAt;
  if (f.Has(h.optionalOffset + 64, 4)) checksumAt = h.optionalOffset + 64;
  std::vector<Counted> counted;
  std::uint64_t left = 2 * h.fileSize + (1u << 20);
  auto count = [&](std::uint64_t begin, std::uint64_t end, std::size_t hist) {
    end = std::min(end, h.fileSize);
    if (begin >= end || end - begin > left) return end <= begin;
    left -= end - begin;
    counted.push_back({begin, end, hist});
    return true;
  };
  // The overlay as its part finds it: past the headers and every section's raw data.
  const std::uint64_t dataEnd = ImageDataEnd(h);
  bool overlay = dataEnd < h.fileSize;
  if (overlay) {
    std::uint64_t certStart = h.fileSize, certEnd = h.fileSize;
    if (h.dirs.size() > kDirCertificate) {
      const DataDirectory& c = h.dirs[kDirCertificate];
      if (c.rva != 0 && c.size != 0 && c.rva >= dataEnd && c.rva < h.fileSize) {
        certStart = c.rva;
        certEnd = std::min<std::uint64_t>(h.fileSize, std::uint64_t{c.rva} + c.size);
      }
    }
    overlay = count(dataEnd, certStart, 0) && count(certEnd, h.fileSize, 0);
  }
  std::vector<bool> kept(h.sections.size(), false);
  for (std::size_t i = 0; i < h.sections.size(); ++i) {
    const Section& s = h.sections[i];
    std::uint64_t begin = s.pointerToRawData;
    if (o.fileAlignment >= 0x200) begin &= ~std::uint64_t{0x1FF};
    kept[i] = count(begin, begin + s.sizeOfRawData, i + 1);
  }
  std::vector<std::uint64_t> hists(256 * (h.sections.size() + 1), 0);
  std::uint32_t sum = ScanFile(f, checksumAt, counted, hists, pages);
  if (checksumAt) {
    h.checksumComputed = true;
    h.computedChecksum = sum;
  }
  if (overlay) h.overlayEntropy = Entropy(hists.data());
  for (std::size_t i = 0; i < h.sections.size(); ++i)
    if (kept[i]) h.sections[i].entropy = Entropy(hists.data() + 256 * (i + 1));
}

}  // namespace

std::uint64_t ImageDataEnd(const Headers& h) {
  std::uint64_t end = h.opt.sizeOfHeaders;
  for (const Section& s : h.sections)
    if (s.sizeOfRawData != 0) end = std::max<std::uint64_t>(end, std::uint64_t{s.pointerToRawData} + s.sizeOfRawData);
  return std::min(end, h.fileSize);
}

std::uint32_t ComputeChecksum(const io::Reader& file, std::uint64_t checksumOffset, io::PageRelease* pages) {
  std::vector<std::uint64_t> none;
  return ScanFile(file, checksumOffset, {}, none, pages);
}

Headers ParseHeaders(const io::Reader& f, Anomalies& an, io::PageRelease* pages, bool checksum, lang::Lang l) {
  Headers h;
  h.fileSize = f.Size();
  if (h.fileSize == 0) {
    h.what = lang::Say(l, M::HdrWhatEmpty);
    return h;
  }
  auto magic = f.U16(0);
  if (!magic || *magic != 0x5A4D) {
    h.what = lang::Say(l, M::HdrWhatNoMz);
    return h;
  }
  if (h.fileSize < 64) {
    h.what = lang::Say(l, M::HdrWhatShortDos, {h.fileSize});
    return h;
  }
  h.hasDos = true;
  ParseDos(f, h.dos);
  h.kind = FileKind::Dos;
  std::uint32_t lfanew = h.dos.lfanew;
  if (lfanew == 0) {
    h.what = lang::Say(l, M::HdrWhatNoLfanew);
    return h;
  }
  if (!f.Has(lfanew, 4)) {
    h.what = lang::Say(l, M::HdrWhatLfanewPastEnd);
    an.AtOffset(Area::Dos, 0x3C, lang::Say(l, M::HdrLfanewOutside, {Hex(lfanew), Hex(h.fileSize)}));
    return h;
  }
  std::uint32_t sig = *f.U32(lfanew);
  if (sig != 0x00004550) {
    std::uint16_t s2 = static_cast<std::uint16_t>(sig & 0xFFFF);
    if (s2 == 0x454E) h.what = lang::Say(l, M::HdrWhatNe);
    else if (s2 == 0x454C || s2 == 0x584C) h.what = lang::Say(l, M::HdrWhatLe);
    else h.what = lang::Say(l, M::HdrWhatNoPe);
    return h;
  }
  h.kind = FileKind::Pe;
  h.coffOffset = std::uint64_t{lfanew} + 4;
  io::Cursor c(f, h.coffOffset);
  CoffHeader& k = h.coff;
  k.machine = c.U16(); k.numberOfSections = c.U16(); k.timeDateStamp = c.U32();
  k.pointerToSymbolTable = c.U32(); k.numberOfSymbols = c.U32();
  k.sizeOfOptionalHeader = c.U16(); k.characteristics = c.U16();
  if (!c.ok()) {
    an.AtOffset(Area::Coff, h.coffOffset, lang::Say(l, M::HdrCoffTruncated));
    return h;
  }
  h.hasCoff = true;
  h.optionalOffset = h.coffOffset + 20;
  // The loader reads the optional header right after the file header whatever
  // SizeOfOptionalHeader says; that field only places the section table.
  auto m = f.U16(h.optionalOffset);
  if (!m) {
    an.AtOffset(Area::Optional, h.optionalOffset, lang::Say(l, M::HdrOptTruncated));
  } else if (*m != kMagicPe32 && *m != kMagicPe32Plus) {
    if (k.sizeOfOptionalHeader == 0)
      an.AtOffset(Area::Optional, h.optionalOffset, lang::Say(l, M::HdrOptNone));
    else
      an.AtOffset(Area::Optional, h.optionalOffset,
                  lang::Say(l, *m == kMagicRom ? M::HdrOptUnknownMagicRom : M::HdrOptUnknownMagic, {Hex(*m, 4)}));
    h.opt.magic = *m;
  } else {
    h.opt.present = true;
    ReadOptional(f, h.optionalOffset, h);
    std::uint32_t fixed = h.opt.pe32plus ? kOptionalFixed64 : kOptionalFixed32;
    if (h.opt.available < fixed)
      an.AtOffset(Area::Optional, h.optionalOffset + h.opt.available,
                  lang::Say(l, M::HdrOptTruncatedZeros));
    if (k.sizeOfOptionalHeader < fixed)
      an.AtOffset(Area::Optional, h.coffOffset + 16,
                  lang::Say(l, M::HdrOptSizeTooSmall, {Hex(k.sizeOfOptionalHeader), Hex(fixed)}));
  }

  const OptionalHeader& o = h.opt;
  if (o.present) {
    std::uint32_t fixed = o.pe32plus ? kOptionalFixed64 : kOptionalFixed32;
    std::uint32_t n = o.numberOfRvaAndSizes;
    if (n > 16) {
      an.AtOffset(Area::Directories, h.optionalOffset + fixed - 4,
                  lang::Say(l, M::HdrDirTooMany, {n}));
      n = 16;
    }
    std::uint32_t inHeader = k.sizeOfOptionalHeader > fixed ? (k.sizeOfOptionalHeader - fixed) / 8 : 0;
    if (n > inHeader) {
      an.AtOffset(Area::Directories, h.optionalOffset + fixed,
                  lang::Say(l, M::HdrDirNoRoom, {inHeader, n}));
    }
    std::uint32_t inFile = o.available > fixed ? (o.available - fixed) / 8 : 0;
    if (n > inFile) {
      an.AtOffset(Area::Directories, h.optionalOffset + fixed + std::uint64_t{inFile} * 8,
                  lang::Say(l, M::HdrDirTruncated));
      n = inFile;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
      DataDirectory d;
      std::uint64_t at = h.optionalOffset + fixed + std::uint64_t{i} * 8;
      d.rva = f.U32(at).value_or(0);
      d.size = f.U32(at + 4).value_or(0);
      h.dirs.push_back(d);
    }
  }

  // The section table follows the optional header as its size says.
  h.sectionTableOffset = h.optionalOffset + k.sizeOfOptionalHeader;
  std::uint64_t want = k.numberOfSections;
  std::uint64_t fit = h.sectionTableOffset < h.fileSize ? (h.fileSize - h.sectionTableOffset) / 40 : 0;
  if (want > fit) {
    an.AtOffset(Area::Sections, h.sectionTableOffset + fit * 40,
                lang::Say(l, M::HdrSecTableTruncated, {fit, want}));
    want = fit;
  }
  if (k.numberOfSections > 96)
    an.AtOffset(Area::Coff, h.coffOffset + 2,
                lang::Say(l, M::HdrSecTooMany, {k.numberOfSections}));
  h.sections.reserve(static_cast<std::size_t>(want));
  for (std::uint64_t i = 0; i < want; ++i) {
    std::uint64_t at = h.sectionTableOffset + i * 40;
    Section s;
    s.name = f.Fixed(at, 8);
    io::Cursor sc(f, at + 8);
    s.virtualSize = sc.U32(); s.virtualAddress = sc.U32(); s.sizeOfRawData = sc.U32(); s.pointerToRawData = sc.U32();
    s.pointerToRelocations = sc.U32(); s.pointerToLinenumbers = sc.U32();
    s.numberOfRelocations = sc.U16(); s.numberOfLinenumbers = sc.U16(); s.characteristics = sc.U32();
    h.sections.push_back(s);
  }
  ResolveLongNames(f, h);
  PlaceSections(h, an, l);

  if (o.present) {
    if (!IsPowerOfTwo(o.fileAlignment) || o.fileAlignment < 0x200 || o.fileAlignment > 0x10000) {
      if (!(IsPowerOfTwo(o.fileAlignment) && o.fileAlignment == o.sectionAlignment))
        an.AtOffset(Area::Optional, h.optionalOffset + 36,
                    lang::Say(l, M::HdrFileAlignment, {Hex(o.fileAlignment)}));
    }
    if (!IsPowerOfTwo(o.sectionAlignment) || o.sectionAlignment < o.fileAlignment)
      an.AtOffset(Area::Optional, h.optionalOffset + 32,
                  lang::Say(l, M::HdrSectionAlignment, {Hex(o.sectionAlignment)}));
    std::uint64_t tableEnd = h.sectionTableOffset + 40 * std::uint64_t{k.numberOfSections};
    if (o.sizeOfHeaders < tableEnd && o.available >= 64)
      an.AtOffset(Area::Optional, h.optionalOffset + 60,
                  lang::Say(l, M::HdrHeadersShort, {Hex(o.sizeOfHeaders), Hex(tableEnd)}));
    if (o.sizeOfHeaders > h.fileSize && o.available >= 64)
      an.AtOffset(Area::Optional, h.optionalOffset + 60,
                  lang::Say(l, M::HdrHeadersLarge, {Hex(o.sizeOfHeaders)}));
    if (!h.sections.empty()) {
      std::uint64_t end = 0;
      for (const Section& s : h.sections) end = std::max(end, s.virtualEnd);
      if (o.sizeOfImage < end && o.available >= 60)
        an.AtOffset(Area::Optional, h.optionalOffset + 56,
                    lang::Say(l, M::HdrImageSmall, {Hex(o.sizeOfImage), Hex(end)}));
    }
  }

  AddressMap map(f, h);
  // The loader reads the data directories from the image as mapped: where a
  // section lies over the header in memory, its bytes are what counts.
  if (o.present) {
    const std::uint64_t first = h.optionalOffset + (o.pe32plus ? kOptionalFixed64 : kOptionalFixed32);
    bool noted = false;
    for (std::size_t i = 0; i < h.dirs.size(); ++i) {
      const std::uint64_t at = first + 8 * i;
      // Only a section that starts past the header as the file gives it: one at
      // address 0 is damage, not a mapping the loader would make.
      const int si = map.SectionOf(at);
      if (si == kNoSection || h.sections[static_cast<std::size_t>(si)].virtualAddress < o.sizeOfHeaders) continue;
      auto v = map.View(at);
      if (!v || !v->Has(0, 8)) continue;
      DataDirectory& d = h.dirs[i];
      const std::uint32_t rva = *v->U32(0), size = *v->U32(4);
      if (rva == d.rva && size == d.size) continue;
      if (!noted)
        an.AtOffset(Area::Directories, at,
                    lang::Say(l, M::HdrDirOverlaid));
      noted = true;
      d.rva = rva;
      d.size = size;
    }
  }
  if (o.present && o.available >= 20 && o.addressOfEntryPoint != 0 && map.SectionOf(o.addressOfEntryPoint) == kNoSection)
    an.AtRva(Area::Optional, o.addressOfEntryPoint, lang::Say(l, M::HdrEntryOutside));
  for (std::size_t i = 0; i < h.dirs.size(); ++i) {
    DataDirectory& d = h.dirs[i];
    if (d.rva == 0 && d.size == 0) continue;
    if (i == kDirCertificate) {
      // This one entry holds a file offset: the signature is not mapped.
      d.inFile = io::Fits(d.rva, d.size, h.fileSize);
      if (!d.inFile)
        an.AtOffset(Area::Directories, d.rva, lang::Say(l, M::HdrCertOutside, {Hex(d.size)}));
      continue;
    }
    d.section = map.SectionOf(d.rva);
    d.inHeaders = d.section == kNoSection && map.InHeaders(d.rva);
    if (d.section == kNoSection && !d.inHeaders && i != kDirReserved)
      an.AtRva(Area::Directories, d.rva, lang::Say(l, M::HdrDirOutsideSections, {i}));
  }
  // Last, once the certificate entry is final: it is cut out of the overlay.
  // A reader that wants no checksum (a DLL looked at for its exports) wants no entropy either.
  if (o.present && checksum) ScanHeaders(f, h, pages);
  return h;
}

HeaderPart ParseDos(const Context& ctx) { return {ctx.h.hasDos}; }
HeaderPart ParseCoff(const Context& ctx) { return {ctx.h.kind == FileKind::Pe}; }
HeaderPart ParseOptional(const Context& ctx) { return {ctx.h.kind == FileKind::Pe && ctx.h.hasCoff}; }
HeaderPart ParseDirectories(const Context& ctx) { return {ctx.h.opt.present}; }
HeaderPart ParseSections(const Context& ctx) { return {ctx.h.kind == FileKind::Pe && ctx.h.hasCoff}; }

}  // namespace kestrova::dumper::pe
