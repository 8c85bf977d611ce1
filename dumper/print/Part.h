#pragma once
// The steps every part of the listing goes through, in one place: parse, and
// when there is something to show, the title, the body and the part's own
// warnings; the records are freed before the next part starts.
#include <string_view>

#include "dumper/pe/Context.h"
#include "dumper/print/Out.h"
#include "dumper/print/Printers.h"

namespace kestrova::dumper::print {

class PartRun {
 public:
  PartRun(Out& o, const pe::Context& ctx, pe::Area area, std::string_view title)
      : o_(o), ctx_(ctx), area_(area), title_(title) {}

  template <class R>
  void operator()(R (*parse)(const pe::Context&), void (*print)(Out&, const R&, const pe::Context&)) {
    if (o_.Exhausted()) return;
    R records = parse(ctx_);
    if (!records.present && !ctx_.an.Any(area_)) return;
    Title(o_, title_);
    print(o_, records, ctx_);
    AreaAnomalies(o_, ctx_.an, area_);
  }

 private:
  Out& o_;
  const pe::Context& ctx_;
  pe::Area area_;
  std::string_view title_;
};

}  // namespace kestrova::dumper::print

// Ends a part's printer file, inside namespace kestrova::dumper::print: ties
// the part's parser and printer to the driver's table.
#define KESTROVA_PART(Id) \
  void Run##Id(PartRun& run) { run(&::kestrova::dumper::pe::Parse##Id, &Print##Id); }

namespace kestrova::dumper::print {
#define PART(Id, title, summary, anchor) void Run##Id(PartRun& run);
#include "dumper/Parts.def"
#undef PART
}  // namespace kestrova::dumper::print
