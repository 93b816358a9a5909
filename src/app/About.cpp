#include "app/About.h"

#include "app/uLocalize.h"
#include "base/Text.h"

namespace lumbra::app {

std::string GetVersionString(const std::string& name) {
  if (name == "ProductVersion") return LUMBRA_PRODUCT_VERSION;
  if (name == "FileVersion") return LUMBRA_FILE_VERSION;
  return "";
}

TfmAbout::TfmAbout(std::function<void(const std::string&)> openAddress)
    : fOpenAddress(std::move(openAddress)) {
  using K = ControlKind;
  TControl& form = Controls.Add(K::Form, "fmAbout", nullptr, "Informazioni");
  TControl& bevel = Controls.Add(K::Panel, "Bevel1", &form);
  Controls.Add(K::Image, "Image1", &bevel);
  Controls.Add(K::Label, "Label4", &bevel, kProductLine);
  Controls.Add(K::Label, "Label7", &bevel, "\xC2\xA9");
  Controls.Add(K::Label, "lbVer", &bevel, "1.5");
  Controls.Add(K::Label, "lbBuild", &bevel, "Build (1.0.0.0)");
  Controls.Add(K::Label, "Label5", &bevel, "Lettore di tessere magnetiche Tavik");
  Controls.Add(K::Label, "Label8", &bevel, "Driver di emulazione tastiera");
  Controls.Add(K::Label, "Label1", &bevel, "sviluppato da");
  Controls.Add(K::Label, "Label3", &bevel, kMakerName).SetHint("Visita il nostro sito web");
  Controls.Add(K::Label, "Label2", &bevel, kMakerPlace);
  Controls.Add(K::Label, "Label6", &bevel, kMakerMailAddress + 7)
      .SetHint("Invia una email a Tavik Technologies");
  Controls.Add(K::Button, "XiButton4", &form, "&OK").OnClick = [this] {
    fModalResult = TModalResult::Ok;
  };
  Controls["Label3"].OnClick = [this] { Label3Click(); };
  Controls["Label6"].OnClick = [this] { Label6Click(); };
}

void TfmAbout::FormCreate() {
  LocalizeFormControls(Controls);
}

void TfmAbout::FormShow() {
  fModalResult = TModalResult::None;
  Controls["lbVer"].SetCaption(GetVersionString("ProductVersion"));
  Controls["lbBuild"].SetCaption("Build (" + Trim(GetVersionString("FileVersion")) + ")");
}

void TfmAbout::FormKeyPress(char key) {
  if (key == 27) fModalResult = TModalResult::Ok;
}

void TfmAbout::Label3Click() {
  if (fOpenAddress) fOpenAddress(kMakerWebAddress);
}

void TfmAbout::Label6Click() {
  if (fOpenAddress) fOpenAddress(kMakerMailAddress);
}

}  // namespace lumbra::app
