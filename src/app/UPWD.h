#pragma once
// The password dialog as a model: a view shows it modally and reports whether
// it was confirmed; the typed text is the text of ePwd.
#include <functional>
#include <string>

#include "app/Controls.h"

namespace lumbra::app {

inline constexpr char kDefaultPassword[] = "qorvi";

class TTkETPwdDlg {
 public:
  TTkETPwdDlg();
  TControlSet Controls;
  TControl& Form() const { return Controls["TkETPwdDlg"]; }
  TControl& Prompt() const { return Controls["Label1"]; }
  TControl& Entry() const { return Controls["ePwd"]; }
};

// Shows a dialog modally; true when it was closed with OK. Installed by the view.
using TRunPasswordDialog = std::function<bool(TTkETPwdDlg&)>;

}  // namespace lumbra::app
