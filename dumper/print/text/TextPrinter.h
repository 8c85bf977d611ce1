#pragma once
#include "dumper/print/Printer.h"

namespace kestrova::dumper::print {

// The listing as people read it: the text backend.
class TextPrinter final : public Printer {
 public:
  // `wrap`: the reader's width in columns, past which a line continues on the
  // next under the value column (0: lines are never wrapped).
  TextPrinter(io::Sink& sink, std::uint64_t budget, lang::Lang lang = lang::Lang::En, std::size_t wrap = 0)
      : Printer(sink, budget, true, lang), wrap_(wrap) {}
  ~TextPrinter() override { Flush(); }
  using Printer::Date;
  using Printer::Dec;
  using Printer::DecR;
  using Printer::Hex;
  using Printer::Name;
  using Printer::Word;
  void Nl() override;
  Printer& Label(std::string_view label, Key key) override;
  Printer& Hex(Key k, std::uint64_t v, int width) override;
  Printer& Dec(Key k, std::uint64_t v) override;
  Printer& DecR(Key k, std::uint64_t v, int width) override;
  Printer& Name(Key k, std::string_view bytes) override;
  Printer& Word(Key k, std::string_view text, std::string_view json) override;
  Printer& Real(Key k, std::string_view text, std::string_view number) override;
  Printer& Date(Key k, std::uint32_t t) override;
  Printer& Fact(Key, bool) override { return *this; }
  Printer& Fact(Key, std::uint64_t) override { return *this; }
  Printer& FactName(Key, std::string_view) override { return *this; }
  void Members(bool) override {}
  void Open(Key) override {}
  void OpenList(Key) override {}
  void Close() override {}
  void BeginDocument() override {}
  void EndDocument() override { Flush(); }

 protected:
  void OpenPart(Key id, std::string_view title) override;
  void ClosePart() override {}

 private:
  void Wrap();
  const std::size_t wrap_;
};

}  // namespace kestrova::dumper::print
