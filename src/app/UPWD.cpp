#include "app/UPWD.h"

#include "app/uLocalize.h"

namespace lumbra::app {

TTkETPwdDlg::TTkETPwdDlg() {
  TControl& form = Controls.Add(ControlKind::Form, "TkETPwdDlg", nullptr, "Richiesta Password");
  Controls.Add(ControlKind::Label, "Label1", &form, "Digitare password:");
  Controls.Add(ControlKind::Edit, "ePwd", &form);
  Controls.Add(ControlKind::Button, "XiButton3", &form, "&OK");
  Controls.Add(ControlKind::Button, "XiButton1", &form, "&Annulla");
  LocalizeFormControls(Controls);
}

}  // namespace lumbra::app
