#pragma once
// Widget-free model of a form's controls. A view binds to the controls by
// component name and mirrors their state; the language manager translates them
// by the same names. The change semantics are those handlers rely on:
// - a check box whose state changes runs OnClick, however it was changed;
// - a radio button that becomes checked unchecks the others of its group and
//   runs OnClick;
// - an edit or number field whose text changes runs OnChange; a number field
//   clamps into [MinValue, MaxValue] when MaxValue > MinValue;
// - a list's selection set by the program runs nothing; a selection by the
//   user (UserSelect) runs OnChange.
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lumbra::app {

enum class ControlKind {
  Form,
  Panel,
  PageControl,
  TabSheet,
  Label,
  Button,
  CheckBox,
  RadioButton,
  Edit,
  SpinEdit,
  ComboBox,
  Image,
  Indicator,
  PopupMenu,
  MenuItem,
  OpenDialog,  // a file dialog; its Caption is the dialog's title
};

class TControl {
 public:
  TControl(ControlKind kind, std::string name, TControl* parent);

  ControlKind Kind() const { return fKind; }
  const std::string& Name() const { return fName; }
  TControl* Parent() const { return fParent; }
  const std::vector<TControl*>& Children() const { return fChildren; }

  const std::string& Caption() const { return fCaption; }
  void SetCaption(const std::string& v);
  const std::string& Hint() const { return fHint; }
  void SetHint(const std::string& v);
  const std::vector<std::string>& Items() const { return fItems; }
  void SetItems(std::vector<std::string> items);  // keeps the selection when still valid

  bool Enabled() const { return fEnabled; }
  void SetEnabled(bool v);
  bool Visible() const { return fVisible; }
  void SetVisible(bool v);

  bool Checked() const { return fChecked; }
  void SetChecked(bool v);
  int Group() const { return fGroup; }
  void SetGroup(int g) { fGroup = g; }

  const std::string& Text() const { return fText; }
  void SetText(const std::string& v);

  int MinValue() const { return fMin; }
  int MaxValue() const { return fMax; }
  void SetRange(int min, int max) { fMin = min, fMax = max; }
  // A text that is not a number reads as MinValue.
  int Value() const;
  void SetValue(int v);

  int ItemIndex() const { return fItemIndex; }
  void SetItemIndex(int i);  // -1 or out of range: no selection, empty text
  // Selects the entry whose text equals s; none matches: no selection.
  void SelectText(const std::string& s);

  // What the user does through a view.
  void UserClick();
  void UserSetText(const std::string& v) { SetText(v); }
  void UserSelect(int index);

  std::function<void()> OnClick;
  std::function<void()> OnChange;
  // Called after any state change, so a view can mirror it.
  std::function<void(TControl&)> OnUpdate;

 private:
  void Changed();
  ControlKind fKind;
  std::string fName;
  TControl* fParent;
  std::string fCaption, fHint, fText;
  std::vector<std::string> fItems;
  bool fEnabled = true, fVisible = true, fChecked = false;
  int fGroup = 0;
  int fMin = 0, fMax = 0;
  int fItemIndex = -1;
  std::vector<TControl*> fChildren;
  friend class TControlSet;
};

// The controls of one form, in creation order.
class TControlSet {
 public:
  TControl& Add(ControlKind kind, const std::string& name, TControl* parent,
                const std::string& caption = "");
  TControl* Find(const std::string& name) const;
  TControl& operator[](const std::string& name) const;  // throws when absent
  const std::vector<std::unique_ptr<TControl>>& All() const { return fControls; }

 private:
  std::vector<std::unique_ptr<TControl>> fControls;
};

}  // namespace lumbra::app
