#pragma once
// The parsers: file bytes in, typed records and anomalies out. They never print.
#include <cstdint>
#include <optional>

#include "dumper/io/Reader.h"
#include "dumper/pe/Image.h"

namespace kestrova::dumper::pe {

// Longest name read from the file; longer ones are cut and reported.
inline constexpr std::size_t kMaxName = 4096;

// RVA to file bytes, the way the loader lays the image out.
class AddressMap {
 public:
  AddressMap(const io::Reader& file, const Headers& h);
  // The file bytes from `rva` to the end of what backs it (its section's raw
  // data, or the header area), or nothing when no file byte backs it.
  std::optional<io::Reader> View(std::uint64_t rva) const;
  std::optional<std::uint64_t> ToOffset(std::uint64_t rva) const;
  // Index of the section whose virtual range holds `rva`, or kNoSection.
  int SectionOf(std::uint64_t rva) const;
  bool InHeaders(std::uint64_t rva) const { return rva < headerBytes_; }

 private:
  const io::Reader& file_;
  const std::vector<Section>& sections_;
  std::uint64_t headerBytes_ = 0;
};

// Caps the total work of the table walks: no table entry of a real image is
// shared, so the file's size bounds their sum; tables that reuse each other
// (a loop made of pointers) run into this instead of into time.
class Budget {
 public:
  explicit Budget(std::uint64_t fileSize) : left_(fileSize / 2 + 4096) {}
  bool Take() {
    if (left_ == 0) return false;
    --left_;
    return true;
  }

 private:
  std::uint64_t left_;
};

Headers ParseHeaders(const io::Reader& file, Anomalies& an);
ImportTable ParseImports(const io::Reader& file, const Headers& h, const AddressMap& map, Budget& budget,
                         Anomalies& an);
ImportTable ParseDelayImports(const io::Reader& file, const Headers& h, const AddressMap& map, Budget& budget,
                              Anomalies& an);
BoundImportTable ParseBoundImports(const io::Reader& file, const Headers& h, const AddressMap& map,
                                   Anomalies& an);
ExportTable ParseExports(const io::Reader& file, const Headers& h, const AddressMap& map, Anomalies& an);

// The image checksum as the loader's tools compute it: the 16-bit one's
// complement sum of the file with the CheckSum field taken as zero, plus the length.
std::uint32_t ComputeChecksum(const io::Reader& file, std::uint64_t checksumOffset);

}  // namespace kestrova::dumper::pe
