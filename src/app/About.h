#pragma once
// The About window as a model: product and file version from the build, and
// two labels that open the maker's web site and a mail to the maker.
#include <functional>
#include <string>

#include "app/Controls.h"

namespace lumbra::app {

inline constexpr char kMakerName[] = "Tavik Technologies";
inline constexpr char kMakerPlace[] = "Ponte Alto - Italia";
inline constexpr char kMakerWebAddress[] = "https://www.tavik.example/";
inline constexpr char kMakerMailAddress[] = "mailto:info@tavik.example";
inline constexpr char kProductLine[] = "Lumbra";

// A version string of the program ("ProductVersion" or "FileVersion"); empty
// for any other name.
std::string GetVersionString(const std::string& name);

enum class TModalResult { None, Ok };

class TfmAbout {
 public:
  // openAddress hands a web or mailto address to the desktop.
  explicit TfmAbout(std::function<void(const std::string&)> openAddress = {});

  TControlSet Controls;
  TControl& Form() const { return Controls["fmAbout"]; }
  TModalResult ModalResult() const { return fModalResult; }

  void FormCreate();
  void FormShow();
  // A key typed anywhere in the window; Escape closes it like OK.
  void FormKeyPress(char key);
  void Label3Click();
  void Label6Click();

 private:
  std::function<void(const std::string&)> fOpenAddress;
  TModalResult fModalResult = TModalResult::None;
};

}  // namespace lumbra::app
