#pragma once
#include <vector>

#include "dumper/print/Printer.h"

namespace kestrova::dumper::print {

// JSON Lines: one object per file, on one line (docs/json.md).
class JsonPrinter final : public Printer {
 public:
  JsonPrinter(io::Sink& sink, std::uint64_t budget) : Printer(sink, budget, false) {}
  ~JsonPrinter() override { Flush(); }
  using Printer::Date;
  using Printer::Dec;
  using Printer::DecR;
  using Printer::Hex;
  using Printer::Name;
  using Printer::Word;
  void Nl() override { pending_ = {}; }
  Printer& Label(std::string_view label, Key key) override;
  Printer& Hex(Key k, std::uint64_t v, int width) override;
  Printer& Dec(Key k, std::uint64_t v) override;
  Printer& DecR(Key k, std::uint64_t v, int) override { return Dec(k, v); }
  Printer& Name(Key k, std::string_view bytes) override;
  Printer& Word(Key k, std::string_view text, std::string_view json) override;
  Printer& Real(Key k, std::string_view text, std::string_view number) override;
  Printer& Date(Key k, std::uint32_t t) override;
  Printer& Fact(Key k, bool v) override;
  Printer& Fact(Key k, std::uint64_t v) override { return Dec(k, v); }
  Printer& FactName(Key k, std::string_view bytes) override { return Name(k, bytes); }
  void Members(bool any) override {
    if (!scopes_.empty()) scopes_.back().any = any;
  }
  void Open(Key k) override;
  void OpenList(Key k) override;
  void Close() override;
  void BeginDocument() override;
  void EndDocument() override;

 protected:
  void OpenPart(Key id, std::string_view title) override;
  void ClosePart() override;

 private:
  struct Scope {
    bool list = false;
    bool any = false;      // a member was written: the next needs a comma
    bool dropped = false;  // opened while the part was cut: not written
  };
  // Starts a member: the comma and the key (none in a list). False when the
  // value is layout only or the part's allowance is spent.
  // The member's opening (its comma and key) written into `out`, which holds
  // kHead bytes: its length, or -1 when the member is not written. A key too
  // long for `out` goes straight to the buffer (0).
  static constexpr int kHead = 80;
  int Head(Key k, char* out);
  bool Member(Key k);
  // A number member in one append: a big table is hundreds of thousands of them.
  void NumberMember(Key k, std::uint64_t v);
  // Opens an object or list member with `bracket`.
  bool OpenMember(Key k, char bracket);
  void String(std::string_view bytes);
  Key pending_;
  std::vector<Scope> scopes_;
  std::size_t partDepth_ = 0;  // scopes open outside the current part
};

}  // namespace kestrova::dumper::print
