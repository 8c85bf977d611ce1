#pragma once
// Builds small PE images in memory for the tests: a fixed header layout
// (e_lfanew 0x40, headers 0x400 bytes, file alignment 0x200, section
// alignment 0x1000) and sections whose contents the tests write themselves.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::dumper::testing {

// A growable little-endian byte buffer.
struct Blob {
  std::vector<std::uint8_t> b;
  std::uint32_t Size() const { return static_cast<std::uint32_t>(b.size()); }
  Blob& U8(std::uint8_t v) { b.push_back(v); return *this; }
  Blob& U16(std::uint16_t v) { return U8(static_cast<std::uint8_t>(v)).U8(static_cast<std::uint8_t>(v >> 8)); }
  Blob& U32(std::uint32_t v) { return U16(static_cast<std::uint16_t>(v)).U16(static_cast<std::uint16_t>(v >> 16)); }
  Blob& U64(std::uint64_t v) { return U32(static_cast<std::uint32_t>(v)).U32(static_cast<std::uint32_t>(v >> 32)); }
  Blob& Str(std::string_view s, bool nul = true) {
    b.insert(b.end(), s.begin(), s.end());
    if (nul) b.push_back(0);
    return *this;
  }
  Blob& Zeros(std::size_t n) { b.insert(b.end(), n, 0); return *this; }
  Blob& Align(std::size_t a) {
    while (b.size() % a) b.push_back(0);
    return *this;
  }
  void Put32(std::size_t at, std::uint32_t v) {
    if (b.size() < at + 4) b.resize(at + 4);
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  std::uint32_t Get32(std::size_t at) const {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(b[at + i]) << (8 * i);
    return v;
  }
  void Put16(std::size_t at, std::uint16_t v) {
    if (b.size() < at + 2) b.resize(at + 2);
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
  }
};

inline void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

// The checksum the straightforward way (16-bit words, carry folded at each
// step), independent of the tool's own faster code.
inline std::uint32_t ReferenceChecksum(const std::vector<std::uint8_t>& f, std::size_t fieldAt) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < f.size(); i += 2) {
    auto byte = [&](std::size_t k) -> std::uint32_t {
      if (k >= f.size() || (k >= fieldAt && k < fieldAt + 4)) return 0;
      return f[k];
    };
    sum += byte(i) | (byte(i + 1) << 8);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return sum + static_cast<std::uint32_t>(f.size());
}

class PeBuilder {
 public:
  static constexpr std::uint32_t kLfanew = 0x40;
  static constexpr std::uint32_t kCoff = kLfanew + 4;
  static constexpr std::uint32_t kOptional = kCoff + 20;
  static constexpr std::uint32_t kHeaders = 0x400;

  struct Section {
    std::string name;
    std::uint32_t va = 0;
    std::uint32_t characteristics = 0;
    std::uint32_t virtualSize = 0;  // 0: the data's size
    Blob data;
    std::uint32_t Rva() const { return va + data.Size(); }  // RVA of the next byte written
  };

  explicit PeBuilder(bool pe32plus) : pe32plus_(pe32plus) {
    machine = pe32plus ? 0x8664 : 0x014C;
    characteristics = pe32plus ? 0x2022 : 0x0103;
    imageBase = pe32plus ? 0x180000000ull : 0x400000ull;
  }

  bool Pe32Plus() const { return pe32plus_; }

  Section& Add(std::string name, std::uint32_t characteristicsBits) {
    Section s;
    s.name = std::move(name);
    s.va = 0x1000 * static_cast<std::uint32_t>(sections.size() + 1);
    s.characteristics = characteristicsBits;
    sections.push_back(std::move(s));
    return sections.back();
  }

  std::uint32_t OptionalSize() const { return pe32plus_ ? 240 : 224; }
  std::uint32_t SectionTable() const { return kOptional + OptionalSize(); }

  // Data placed in the header area (the bound import directory lives there).
  Blob headerExtra;
  std::uint32_t HeaderExtraOffset() const { return SectionTable() + 40 * static_cast<std::uint32_t>(sections.size()) + 8; }

  std::vector<std::uint8_t> Build() const {
    Blob f;
    f.U16(0x5A4D).U16(0x90).U16(3).U16(0).U16(4).U16(0).U16(0xFFFF).U16(0).U16(0xB8).U16(0);
    f.U16(0).U16(0).U16(0x40).U16(0);
    f.Zeros(8).U16(0).U16(0).Zeros(20).U32(kLfanew);
    f.Str("PE", false).U16(0);
    f.U16(machine).U16(static_cast<std::uint16_t>(sections.size())).U32(timeDateStamp).U32(0).U32(0);
    f.U16(static_cast<std::uint16_t>(OptionalSize())).U16(characteristics);
    std::uint32_t imageEnd = 0x1000;
    for (const Section& s : sections) {
      std::uint32_t vs = s.virtualSize ? s.virtualSize : s.data.Size();
      imageEnd = s.va + ((vs + 0xFFF) & ~0xFFFu);
    }
    f.U16(pe32plus_ ? 0x20B : 0x10B).U8(14).U8(29).U32(0x200).U32(0x400).U32(0x10);
    f.U32(entryPoint).U32(0x1000);
    if (pe32plus_) f.U64(imageBase);
    else f.U32(0x2000).U32(static_cast<std::uint32_t>(imageBase));
    f.U32(0x1000).U32(0x200).U16(6).U16(1).U16(2).U16(3).U16(6).U16(0).U32(0);
    f.U32(imageEnd).U32(kHeaders).U32(0).U16(subsystem).U16(dllCharacteristics);
    if (pe32plus_) f.U64(0x110000).U64(0x2000).U64(0x120000).U64(0x3000);
    else f.U32(0x110000).U32(0x2000).U32(0x120000).U32(0x3000);
    f.U32(0).U32(16);
    for (const auto& d : dirs) f.U32(d[0]).U32(d[1]);
    std::uint32_t raw = kHeaders;
    for (const Section& s : sections) {
      std::string n = s.name;
      n.resize(8, '\0');
      f.Str(n, false);
      std::uint32_t size = (s.data.Size() + 0x1FF) & ~0x1FFu;
      f.U32(s.virtualSize ? s.virtualSize : s.data.Size()).U32(s.va).U32(size).U32(size ? raw : 0);
      f.U32(0).U32(0).U16(0).U16(0).U32(s.characteristics);
      raw += size;
    }
    f.Zeros(8);
    f.b.insert(f.b.end(), headerExtra.b.begin(), headerExtra.b.end());
    f.b.resize(kHeaders, 0);
    for (const Section& s : sections) {
      f.b.insert(f.b.end(), s.data.b.begin(), s.data.b.end());
      f.Align(0x200);
    }
    if (fixChecksum) Put32(f.b, kOptional + 64, ReferenceChecksum(f.b, kOptional + 64));
    return f.b;
  }

  std::uint16_t machine;
  std::uint16_t characteristics;
  std::uint16_t subsystem = 3;
  std::uint16_t dllCharacteristics = 0x8160;
  std::uint32_t timeDateStamp = 0x5F000000;
  std::uint32_t entryPoint = 0x1010;
  std::uint64_t imageBase;
  bool fixChecksum = false;
  std::array<std::array<std::uint32_t, 2>, 16> dirs{};
  std::vector<Section> sections;

 private:
  bool pe32plus_;
};

// One imported function: by name (with a hint) or by ordinal.
struct ImportPlan {
  std::string name;  // empty: by ordinal
  std::uint16_t hintOrOrdinal = 0;
};

struct DllPlan {
  std::string dll;
  std::vector<ImportPlan> functions;
  std::uint32_t timeDateStamp = 0;
};

// Writes an import directory into `s`: descriptors, lookup tables, IATs, names.
// Returns the directory's RVA; `iatRvas` receives each DLL's IAT RVA.
inline std::uint32_t WriteImports(PeBuilder& pe, PeBuilder::Section& s, const std::vector<DllPlan>& dlls,
                                  std::vector<std::uint32_t>* iatRvas = nullptr, bool delay = false) {
  const bool wide = pe.Pe32Plus();
  Blob& d = s.data;
  d.Align(8);
  const std::uint32_t dirAt = d.Size();
  const std::uint32_t descSize = delay ? 32 : 20;
  d.Zeros(descSize * (dlls.size() + 1));
  for (std::size_t i = 0; i < dlls.size(); ++i) {
    const DllPlan& plan = dlls[i];
    auto table = [&]() {
      d.Align(8);
      std::uint32_t at = d.Size();
      d.Zeros((plan.functions.size() + 1) * (wide ? 8 : 4));
      return at;
    };
    std::uint32_t ilt = table();
    std::uint32_t iat = table();
    if (iatRvas) iatRvas->push_back(s.va + iat);
    std::uint32_t nameAt = d.Size();
    d.Str(plan.dll);
    for (std::size_t k = 0; k < plan.functions.size(); ++k) {
      const ImportPlan& f = plan.functions[k];
      std::uint64_t v;
      if (f.name.empty()) {
        v = (wide ? (1ull << 63) : (1ull << 31)) | f.hintOrOrdinal;
      } else {
        d.Align(2);
        v = s.va + d.Size();
        d.U16(f.hintOrOrdinal).Str(f.name);
      }
      for (std::uint32_t t : {ilt, iat}) {
        std::size_t at = t + k * (wide ? 8 : 4);
        d.Put32(at, static_cast<std::uint32_t>(v));
        if (wide) d.Put32(at + 4, static_cast<std::uint32_t>(v >> 32));
      }
    }
    std::size_t at = dirAt + i * descSize;
    if (delay) {
      d.Put32(at, 1);
      d.Put32(at + 4, s.va + nameAt);
      d.Put32(at + 8, s.va + dirAt + descSize * static_cast<std::uint32_t>(dlls.size()) + 8);  // any slot will do
      d.Put32(at + 12, s.va + iat);
      d.Put32(at + 16, s.va + ilt);
      d.Put32(at + 28, plan.timeDateStamp);
    } else {
      d.Put32(at, s.va + ilt);
      d.Put32(at + 4, plan.timeDateStamp);
      d.Put32(at + 12, s.va + nameAt);
      d.Put32(at + 16, s.va + iat);
    }
  }
  return s.va + dirAt;
}

struct ExportPlan {
  std::string dll;
  std::uint32_t base = 1;
  std::uint32_t timeDateStamp = 0x60000000;
  std::uint16_t major = 1, minor = 2;
  // Per address table entry: an RVA, 0 for an empty slot, or a forwarder target.
  struct Fn {
    std::uint32_t rva = 0;
    std::string forward;
  };
  std::vector<Fn> functions;
  // Names in the order of the name table, each with its address table index.
  std::vector<std::pair<std::string, std::uint16_t>> names;
};

// Writes an export directory at the current end of `s`. Returns {RVA, size}.
inline std::array<std::uint32_t, 2> WriteExports(PeBuilder::Section& s, const ExportPlan& e) {
  Blob& d = s.data;
  d.Align(4);
  const std::uint32_t at = d.Size();
  d.Zeros(40);
  std::uint32_t eat = d.Size();
  d.Zeros(4 * e.functions.size());
  std::uint32_t npt = d.Size();
  d.Zeros(4 * e.names.size());
  std::uint32_t ot = d.Size();
  d.Zeros(2 * e.names.size());
  std::uint32_t nameAt = d.Size();
  d.Str(e.dll);
  for (std::size_t i = 0; i < e.names.size(); ++i) {
    d.Put32(npt + 4 * i, s.va + d.Size());
    d.Str(e.names[i].first);
    d.Put16(ot + 2 * i, e.names[i].second);
  }
  for (std::size_t i = 0; i < e.functions.size(); ++i) {
    const auto& f = e.functions[i];
    if (!f.forward.empty()) {
      d.Put32(eat + 4 * i, s.va + d.Size());
      d.Str(f.forward);
    } else {
      d.Put32(eat + 4 * i, f.rva);
    }
  }
  std::uint32_t size = d.Size() - at;
  d.Put32(at + 4, e.timeDateStamp);
  d.Put16(at + 8, e.major);
  d.Put16(at + 10, e.minor);
  d.Put32(at + 12, s.va + nameAt);
  d.Put32(at + 16, e.base);
  d.Put32(at + 20, static_cast<std::uint32_t>(e.functions.size()));
  d.Put32(at + 24, static_cast<std::uint32_t>(e.names.size()));
  d.Put32(at + 28, s.va + eat);
  d.Put32(at + 32, s.va + npt);
  d.Put32(at + 36, s.va + ot);
  return {s.va + at, size};
}

}  // namespace kestrova::dumper::testing
