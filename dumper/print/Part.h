#pragma once
// The steps every part of the listing goes through, in one place: parse, and
// when there is something to show, the title, the body and the part's own
// warnings; the records are freed before the next part starts.
#include <string>
#include <string_view>

#include "dumper/pe/Context.h"
#include "dumper/pe/Facts.h"
#include "dumper/print/Printers.h"
#include "dumper/lang/catalog/Common.h"

namespace kestrova::dumper::print {

class PartRun {
 public:
  // `ctx` carries the part's own work budget; `allowance` is its share of the listing.
  PartRun(Printer& o, const pe::Context& ctx, pe::Area area, lang::Msg title, std::uint64_t allowance)
      : o_(o), ctx_(ctx), area_(area), title_(title), allowance_(allowance) {}

  template <class R>
  void operator()(R (*parse)(const pe::Context&), void (*print)(Printer&, const R&, const pe::Context&)) {
    R records = parse(ctx_);
    if (!records.present && !ctx_.an.Any(area_)) return;
    o_.BeginPart(AreaKey(area_), o_.L(title_), allowance_);
    if (ctx_.facts) ctx_.facts->startLine[static_cast<std::size_t>(area_)] = o_.Lines();
    print(o_, records, ctx_);
    if (o_.EndBody()) {
      // Said where the part stops, under the part and in the summary.
      ctx_.an.Note(area_, lang::Say(ctx_.options.lang, lang::M::PartCut, {allowance_}));
      o_.Fact("cut", true);
    }
    AreaAnomalies(o_, ctx_.an, area_);
    o_.EndPart();
  }

 private:
  Printer& o_;
  const pe::Context& ctx_;
  pe::Area area_;
  lang::Msg title_;
  std::uint64_t allowance_;
};

}  // namespace kestrova::dumper::print

// Ends a part's printer file, inside namespace kestrova::dumper::print: ties
// the part's parser and printer to the driver's table.
#define KESTROVA_PART(Id) \
  void Run##Id(PartRun& run) { run(&::kestrova::dumper::pe::Parse##Id, &Print##Id); }

namespace kestrova::dumper::print {
#define PART(Id, title, titleZh, summary, summaryZh, anchor) void Run##Id(PartRun& run);
#include "dumper/Parts.def"
#undef PART
}  // namespace kestrova::dumper::print
