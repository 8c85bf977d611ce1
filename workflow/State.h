#pragma once
// The four values of the workflow's state. The window implements this with its
// controls, which stay the only store: every step reads the values back from here.
#include <string>

namespace kestrova::workflow {

class State {
 public:
  virtual ~State() = default;

  // Edit1: the full path of the chosen file.
  virtual std::u16string PathText() const = 0;
  virtual void SetPathText(const std::u16string& text) = 0;

  // Button1's enabled state.
  virtual bool AnalyzeEnabled() const = 0;
  virtual void SetAnalyzeEnabled(bool on) = 0;

  // Memo1. SetListingText throws Error(u"Text exceeds memo capacity") when the
  // control refuses the text.
  virtual std::u16string ListingText() const = 0;
  virtual void SetListingText(const std::u16string& text) = 0;

  // Timer1, 1500 ms. Turning on a poll that is on keeps its rhythm.
  virtual bool PollOn() const = 0;
  virtual void SetPollOn(bool on) = 0;

  // Lets the window handle its pending messages (input and timer ones
  // included), so that what was just set is painted.
  virtual void ProcessPendingMessages() = 0;

  // How many columns of the listing's font Memo1 shows on a line, so that the
  // dumper can fit its lines to it; 0 when the window cannot tell.
  virtual unsigned ListingColumns() const { return 0; }
};

}  // namespace kestrova::workflow
