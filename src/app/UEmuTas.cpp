#include "app/UEmuTas.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <utility>

#include "app/InstallLayout.h"
#include "app/tksimplecrypt2.h"
#include "app/uLocalize.h"
#include "base/AppException.h"
#include "platform/Autostart.h"
#include "platform/Environment.h"
#include "platform/Foreground.h"
#include "platform/MessageBox.h"
#include "platform/Sound.h"
#include "reader/TrackData.h"

namespace fs = std::filesystem;

namespace lumbra::app {
namespace {

const std::vector<std::string> kKeyCaptions = {
    "niente",           "INVIO",           "TAB", "FRECCIA DESTRA", "FRECCIA IN BASSO",
    "FRECCIA SINISTRA", "FRECCIA IN ALTO", ""};
const char* const kKeyTexts[] = {"", "{ENTER}", "{TAB}", "{RIGHT}", "{DOWN}", "{LEFT}", "{UP}", ""};

std::string KeyAfterText(int index) {
  return index >= 0 && index < 8 ? kKeyTexts[index] : "";
}

// Characters the keystroke syntax reads as commands are typed literally. The
// caret is typed as an ampersand, which stored badges rely on. Braces are
// escaped too, so that badge data can never name keys or leave a brace open.
AnsiString EscapeSlice(const AnsiString& s) {
  AnsiString out;
  out.reserve(s.size() * 3);
  for (char c : s) {
    switch (c) {
      case '+':
        out += "{+}";
        break;
      case '^':
        out += "{&}";
        break;
      case '%':
        out += "{%}";
        break;
      case '~':
        out += "{~}";
        break;
      case '(':
        out += "{(}";
        break;
      case ')':
        out += "{)}";
        break;
      case '{':
        out += "{{}";
        break;
      case '}':
        out += "{}}";
        break;
      default:
        out.push_back(c);
        break;
    }
  }
  return out;
}

}  // namespace

const TTkEmuTasMain::SoundSlot TTkEmuTasMain::kSlots[4] = {
    {"ckSoundTes", "PanSoundTes", "rbBeeptes", "rbSoundTes", "eSoundTes", "btSoundTes",
     "SpeedButton3", nullptr, "SoundTes", "BFSoundTes", "FSoundTes", nullptr},
    {"ckSoundErrTes", "panSoundErrtes", "rbBeepErrTes", "rbSoundErrTes", "eSoundErrTes",
     "btSoundErrTes", "SpeedButton1", "ckMsgErrTes", "SoundErrTes", "BFSoundErrTes", "FSoundErrTes",
     "MsgErrTes"},
    {"ckSoundErrReader", "panSoundErrReader", "rbBeepErrReader", "rbSoundErrReader",
     "eSoundErrReader", "btSoundErrReader", "SpeedButton2", "ckMsgErrReader", "SoundErrReader",
     "BFSoundErrReader", "FSoundErrReader", "MsgErrReader"},
    {"ckSoundExitTes", "PanSoundExitTes", "rbBeepExitTes", "rbSoundExittes", "eSoundExitTes",
     "btSoundExitTes", "SpeedButton4", nullptr, "SoundExitTes", "BFSoundExitTes", "FSoundExitTes",
     nullptr},
};

const TTkEmuTasMain::TrackRow TTkEmuTasMain::kRows[3] = {
    {"CheckBox1", "SpinEdit1", "SpinEdit2", "ComboBox1", "eAll1", "T1", "T1Start", "T1End",
     "T1Char", "T1All"},
    {"CheckBox2", "SpinEdit3", "SpinEdit4", "ComboBox2", "eAll2", "T2", "T2Start", "T2End",
     "T2Char", "T2All"},
    {"CheckBox3", "SpinEdit5", "SpinEdit6", "ComboBox3", "eAll3", "T3", "T3Start", "T3End",
     "T3Char", "T3All"},
};

namespace {

// Whether track code (1 to 7) reads track t (0 to 2).
bool TrackIncluded(std::int32_t code, int t) {
  static const bool kIncludes[8][3] = {
      {false, false, false}, {true, false, false}, {false, true, false}, {false, false, true},
      {true, true, false},   {false, true, true},  {true, false, true},  {true, true, true}};
  return code >= 1 && code <= 7 && kIncludes[code][t];
}

// A change made by the program: the handler that writes the setting must not run.
void SetCheckedQuietly(TControl& check, bool checked) {
  auto onClick = std::move(check.OnClick);
  check.OnClick = nullptr;
  check.SetChecked(checked);
  check.OnClick = std::move(onClick);
}

}  // namespace

TTkEmuTasMain::TTkEmuTasMain(TAppServices services)
    : TComponent(nullptr), fServices(std::move(services)) {
  CreateControls();
  fBadgeReader = new TBadgeReader2(this);
  fBadgeReader->Name = "BadgeReader";
  fBadgeReader->SetStartmm(7.5L);
  fBadgeReader->SetCheckCRCTes(false);
  fBadgeReader->OnColorChanged = [this](std::uint32_t) { Notify(); };
  InstallReaderEvents();
  WireHandlers();
}

TTkEmuTasMain::~TTkEmuTasMain() {
  if (!fDestroyed) FormDestroy();
}

void TTkEmuTasMain::BeforeDestruction() {
  if (!fDestroyed) FormDestroy();
  TComponent::BeforeDestruction();
}

void TTkEmuTasMain::CreateControls() {
  using K = ControlKind;
  TControl& form = Controls.Add(K::Form, "TkEmuTasMain", nullptr, "Lettore di tessere Tavik 1.6");
  TControl& panMain = Controls.Add(K::Panel, "PanMain", &form);
  TControl& panImg = Controls.Add(K::Panel, "PanImgTes", &panMain);
  Controls.Add(K::Image, "ImgTes", &panImg);
  Controls.Add(K::Indicator, "BadgeReader", &panMain, ".");
  Controls.Add(K::Label, "lbStatusReader", &panMain);
  Controls.Add(K::Label, "lbStatusTes", &panMain);
  Controls.Add(K::Button, "XiButton1", &panMain, "&Chiudi");
  Controls.Add(K::Button, "XiButton3", &panMain, "&Impostazioni");

  TControl& panOpt = Controls.Add(K::Panel, "PanOpt", &form);
  TControl& pages = Controls.Add(K::PageControl, "JvPageControl1", &panOpt);

  TControl& adv = Controls.Add(K::TabSheet, "TabSheet3", &pages, "Avanzate");
  Controls.Add(K::Label, "lbModel", &adv, "Model:");
  Controls.Add(K::ComboBox, "cbModel", &adv);
  Controls.Add(K::Label, "lbCom", &adv, "Lettore collegato a: ");
  Controls.Add(K::ComboBox, "cbCom", &adv);
  Controls
      .Add(K::CheckBox, "ckAvvioAutomatico", &adv, "Avvia automaticamente all'apertura di Windows")
      .SetChecked(true);
  ApplyAutostartWording();
  Controls.Add(K::Label, "lbLingua", &adv, "Lingua");
  Controls.Add(K::ComboBox, "cbLingua", &adv).SetItems({"English", "Italiano", "Español"});
  Controls.Add(K::Button, "XiButton2", &adv, "Cambia &Password");
  Controls.Add(K::Button, "XiButton4", &adv, "Info");

  TControl& read = Controls.Add(K::TabSheet, "TabSheet1", &pages, "Azione a lettura tessera");
  Controls.Add(K::Label, "lbPreChar", &read, "Carattere iniziale");
  Controls.Add(K::ComboBox, "cbPreChar", &read).SetItems(kKeyCaptions);
  Controls.Add(K::Label, "lbDa", &read, "da");
  Controls.Add(K::Label, "lbNCarat", &read, "n.carat.");
  Controls.Add(K::Label, "lbSeguito", &read, "seguito da");
  Controls.Add(K::Label, "lbAllineam", &read, "Allineam.");
  for (int t = 0; t < 3; ++t) {
    const TrackRow& r = kRows[t];
    Controls.Add(K::CheckBox, r.check, &read, "Traccia " + std::to_string(t + 1) + " ");
    Controls.Add(K::SpinEdit, r.start, &read).SetRange(1, 255);
    Controls.Add(K::SpinEdit, r.count, &read);  // no limits
    Controls.Add(K::ComboBox, r.after, &read).SetItems(kKeyCaptions);
    Controls.Add(K::SpinEdit, r.width, &read).SetRange(0, 255);
  }
  for (const char* n : {"SpinEdit1", "SpinEdit2", "SpinEdit3", "SpinEdit4", "SpinEdit5",
                        "SpinEdit6", "eAll1", "eAll2", "eAll3"})
    Controls[n].SetText("0");

  const char* tabs[4][2] = {{"TabSheet1", nullptr},
                            {"TabSheet4", "Azione se errore in lettura"},
                            {"TabSheet5", "Azione se problemi lettore"},
                            {"TabSheet6", "Azione ad estrazione tessera"}};
  for (int s = 0; s < 4; ++s) {
    TControl* tab = tabs[s][1] == nullptr
                        ? &Controls[tabs[s][0]]
                        : &Controls.Add(K::TabSheet, tabs[s][0], &pages, tabs[s][1]);
    const SoundSlot& slot = kSlots[s];
    Controls.Add(K::CheckBox, slot.check, tab, "Emetti un suono:");
    TControl& panel = Controls.Add(K::Panel, slot.panel, tab);
    Controls.Add(K::RadioButton, slot.beep, &panel, "Beep").SetChecked(true);
    Controls.Add(K::RadioButton, slot.file, &panel, "File sonoro:");
    Controls.Add(K::Edit, slot.name, &panel);
    Controls.Add(K::Button, slot.browse, &panel, "...");
    Controls.Add(K::Button, slot.test, &panel, "Prova");
    if (slot.message != nullptr)
      Controls.Add(K::CheckBox, slot.message, tab, "Visualizza dialogo con messaggio di errore");
  }

  TControl& menu = Controls.Add(K::PopupMenu, "PopupMenu1", nullptr);
  Controls.Add(K::MenuItem, "Apri1", &menu, "&Apri");
  Controls.Add(K::MenuItem, "N1", &menu, "-");
  Controls.Add(K::MenuItem, "Aiuto1", &menu, "&Aiuto");
  Controls.Add(K::MenuItem, "N2", &menu, "-");
  Controls.Add(K::MenuItem, "erminagestionelettore1", &menu, "&Termina gestione lettore");
  Controls.Add(K::OpenDialog, "SoundDlg", nullptr, "Scegli un file sonoro");
}

void TTkEmuTasMain::ApplyAutostartWording() {
  if (!fServices.autostartAtLogIn) return;
  // A desktop session starts the program when the user logs in, not with Windows.
  TControl& box = C("ckAvvioAutomatico");
  box.SetCaption(LocalizeString("Avvia automaticamente all'accesso"));
  box.SetHint(LocalizeString("Avvia il programma quando accedi al desktop"));
}

void TTkEmuTasMain::WireHandlers() {
  C("XiButton1").OnClick = [this] { XiButton1Click(); };
  C("XiButton3").OnClick = [this] { XiButton3Click(); };
  C("XiButton2").OnClick = [this] { XiButton2Click(); };
  C("XiButton4").OnClick = [this] { XiButton4Click(); };
  C("Apri1").OnClick = [this] { Apri1Click(); };
  C("Aiuto1").OnClick = [this] { Aiuto1Click(); };
  C("erminagestionelettore1").OnClick = [this] { erminagestionelettore1Click(); };
  C("cbModel").OnChange = [this] { ModelChange(); };
  C("cbCom").OnChange = [this] { ComChange(); };
  C("cbLingua").OnChange = [this] { LinguaChange(); };
  C("ckAvvioAutomatico").OnClick = [this] { AutostartClick(); };
  C("cbPreChar").OnChange = [this] {
    fSettings.WriteInteger("PreChar", C("cbPreChar").ItemIndex());
  };

  for (const TrackRow& r : kRows) {
    C(r.check).OnClick = [this, r] {
      fSettings.WriteBool(r.keyCheck, C(r.check).Checked());
      ApplyTrackSelection();
    };
    C(r.start).OnChange = [this, r] { fSettings.WriteInteger(r.keyStart, C(r.start).Value()); };
    C(r.count).OnChange = [this, r] { fSettings.WriteInteger(r.keyCount, C(r.count).Value()); };
    C(r.after).OnChange = [this, r] { fSettings.WriteInteger(r.keyAfter, C(r.after).ItemIndex()); };
    C(r.width).OnChange = [this, r] { fSettings.WriteInteger(r.keyWidth, C(r.width).Value()); };
  }
  for (int s = 0; s < 4; ++s) {
    const SoundSlot& slot = kSlots[s];
    C(slot.check).OnClick = [this, s, slot] {
      fSettings.WriteBool(slot.keySound, C(slot.check).Checked());
      UpdateSoundEnabling(s);
    };
    auto choice = [this, s, slot] {
      fSettings.WriteBool(slot.keyFile, C(slot.file).Checked());
      UpdateSoundEnabling(s);
    };
    C(slot.beep).OnClick = choice;
    C(slot.file).OnClick = choice;
    C(slot.name).OnChange = [this, slot] {
      fSettings.WriteString(slot.keyName, C(slot.name).Text());
    };
    C(slot.test).OnClick = [this, s] { PlaySlotSound(static_cast<TSoundSlot>(s)); };
    C(slot.browse).OnClick = [this, s] { BrowseSound(s); };
    if (slot.message != nullptr)
      C(slot.message).OnClick = [this, slot] {
        fSettings.WriteBool(slot.keyMessage, C(slot.message).Checked());
      };
  }
}

void TTkEmuTasMain::InstallReaderEvents() {
  TBadgeReader2& r = *fBadgeReader;
  r.OnReadedBadge = [this](TObject* s, const AnsiString& t) { BadgeReaderReadedBadge(s, t); };
  r.OnChangedBadgeStatus = [this](TObject* s, std::int32_t v) {
    BadgeReaderChangedBadgeStatus(s, v);
  };
  r.OnBadCRCData = [this](TObject* s) { BadgeReaderBadCRCData(s); };
  r.OnBadInsertBadge = [this](TObject* s) { BadgeReaderBadInsertBadge(s); };
  r.OnFailReadBadge = [this](TObject* s) { BadgeReaderFailReadBadge(s); };
  r.OnTimeout = [this](TObject* s) { BadgeReaderTimeout(s); };
  r.OnRestore = [this](TObject* s) { BadgeReaderRestore(s); };
  r.OnError = [this](TObject* s, std::uint8_t c, std::uint8_t e, const std::string& m) {
    BadgeReaderError(s, c, e, m);
  };
}

void TTkEmuTasMain::Notify() {
  if (OnStateChanged) OnStateChanged();
}

void TTkEmuTasMain::Perform(const std::function<void()>& action) {
  try {
    action();
  } catch (...) {
    HandleCurrentException(this);
  }
}

// --- Start-up and window commands -------------------------------------------

void TTkEmuTasMain::FormCreate() {
  SetApplicationExceptionHandler(
      [this](TObject*, const std::exception& e) { ShowTopMessage(e.what()); });
  if (fServices.createLanguageManager) {
    try {
      fLanguageManager = fServices.createLanguageManager();
      SetLocalizeManager(fLanguageManager.get());
    } catch (...) {
      // Without language files the program goes on in its design language.
      HandleCurrentException(this);
    }
  }
  try {
    FillModelList();
  } catch (...) {
  }
  try {
    FillPortList();
  } catch (...) {
  }
  struct Created {
    TTkEmuTasMain& m;
    ~Created() {
      m.fCreating = false;
      m.fStartNotice.clear();
    }
  } created{*this};
  fCreating = true;
  try {
    LoadSettings();
    LocalizeForm();
    fBadgeReader->SetTkCrypt(false);
    SetReaderStatus(LocalizeString("Lettoreinfunzione"));
  } catch (...) {
    // The window and the tray stay; the reader waits for a model chosen by the user.
    HandleCurrentException(this);
    return;
  }
  // The session ended while a message of the loading was shown.
  if (fTerminated) return;
  try {
    fBadgeReader->SetActive(true);
  } catch (const std::exception& e) {
    if (!fBadgeReader->COM().empty())
      platform::MessageBoxes().Show(e.what(), kApplicationTitle, platform::MessageKind::Error);
  }
  fCreating = false;
  if (!fStartNotice.empty() && !fTerminated) ShowTopMessage(std::exchange(fStartNotice, {}));
}

void TTkEmuTasMain::FormShow() {
  SetView(TView::Compact);
}

void TTkEmuTasMain::SetView(TView view) {
  fView = view;
  Notify();
}

void TTkEmuTasMain::SetVisible(bool v) {
  fVisible = v;
  Notify();
}

int TTkEmuTasMain::ClientHeight() const {
  return kStatusPanelHeight + (fView == TView::Settings ? kSettingsPanelHeight : 0);
}

bool TTkEmuTasMain::AskPassword() {
  if (!fServices.runPasswordDialog) return false;
  TTkETPwdDlg dlg;
  return fServices.runPasswordDialog(dlg) && dlg.Entry().Text() == fAdminPassword;
}

void TTkEmuTasMain::XiButton3Click() {
  if (fView == TView::Compact) {
    if (AskPassword()) SetView(TView::Settings);
  } else {
    SaveSettings();
    SetView(TView::Compact);
  }
}

void TTkEmuTasMain::XiButton1Click() {
  if (fView == TView::Settings) SaveSettings();
  FormCloseQuery();
}

bool TTkEmuTasMain::FormCloseQuery() {
  bool allow = isendsession;
  if (allow) {
    fBadgeReader->SetActive(false);
    fTerminated = true;
  } else {
    fView = TView::Compact;
    fVisible = false;
  }
  isendsession = false;
  Notify();
  return allow;
}

void TTkEmuTasMain::QueryEndSession() {
  // The session may not wait for the rest of the way out (a reader slow to let
  // go, a session manager that kills what is left): the settings go first.
  try {
    if (fSettings.Modified()) SaveSettings();
  } catch (...) {
    HandleCurrentException(this);
  }
  isendsession = true;
  FormCloseQuery();
}

void TTkEmuTasMain::Apri1Click() {
  fVisible = true;
  FormShow();
}

void TTkEmuTasMain::Aiuto1Click() {
  if (fServices.openDocument)
    fServices.openDocument((fs::path(DataFolder(ExecutablePath())) / kHelpFile).string());
}

void TTkEmuTasMain::XiButton4Click() {
  if (fServices.showAbout) fServices.showAbout();
}

void TTkEmuTasMain::erminagestionelettore1Click() {
  if (!AskPassword()) return;
  isendsession = true;
  FormCloseQuery();
}

void TTkEmuTasMain::FormDestroy() {
  fDestroyed = true;
  try {
    fBadgeReader->SetActive(false);
  } catch (...) {
  }
  if (fLanguageManager) {
    if (LocalizeManager() == fLanguageManager.get()) SetLocalizeManager(nullptr);
    fLanguageManager.reset();
  }
  try {
    // Not again when the end of the session wrote it and nothing changed since.
    if (fSettings.Modified()) fSettings.Save();
  } catch (const std::exception& e) {
    platform::MessageBoxes().Show(e.what(), kApplicationTitle, platform::MessageKind::Error);
  }
  SetApplicationExceptionHandler(nullptr);
}

void TTkEmuTasMain::XiButton2Click() {
  TTkETPwdDlg dlg;
  dlg.Form().SetCaption(LocalizeString("Cambio Password"));
  dlg.Prompt().SetCaption(LocalizeString("Digitare la nuova password"));
  if (!fServices.runPasswordDialog || !fServices.runPasswordDialog(dlg)) return;
  std::string first = dlg.Entry().Text();
  if (first == fAdminPassword) return;
  dlg.Prompt().SetCaption(LocalizeString("Digitare di nuovo la password per controllo"));
  dlg.Entry().SetText("");
  if (!fServices.runPasswordDialog(dlg)) return;
  if (dlg.Entry().Text() != first)
    throw Exception(LocalizeString("errore in digitazione password"));
  fAdminPassword = first;
  fSettings.WriteString("Params", SimpleEncrypt(first, kPasswordKey));
}

// --- Status display -----------------------------------------------------------

void TTkEmuTasMain::SetReaderStatus(const std::string& text) {
  ReaderStatus = text;
  C("lbStatusReader").SetCaption(text);
  Notify();
}

void TTkEmuTasMain::ShowBadgeStatus(const std::string& key, const std::string& data) {
  fTesStatusKey = key;
  fTesStatusData = data;
  SetTesStatus(key.empty() ? data : LocalizeString(key) + data);
}

void TTkEmuTasMain::SetTesStatus(const std::string& text) {
  TesStatus = text;
  C("lbStatusTes").SetCaption(text);
  Notify();
}

void TTkEmuTasMain::SetStatusImage(int index) {
  fStatusImage = index;
  Notify();
}

void TTkEmuTasMain::ShowTopMessage(const std::string& text) {
  platform::ForegroundWindow before = platform::Foreground().Current();
  platform::MessageBoxes().Show(text, kApplicationTitle, platform::MessageKind::Information);
  platform::Foreground().Restore(before);
}

void TTkEmuTasMain::LocalizeForm() {
  LocalizeFormControls(Controls);
  ApplyAutostartWording();
  TControl& form = C("TkEmuTasMain");
  std::string caption = Trim(form.Caption());
  size_t space = caption.rfind(' ');
  if (space != std::string::npos) caption = caption.substr(0, space + 1) + kVersionWord;
  form.SetCaption(caption);
}

// --- Badge-read handling --------------------------------------------------------

void TTkEmuTasMain::ApplyTrackSelection() {
  bool t1 = C("CheckBox1").Checked(), t2 = C("CheckBox2").Checked(), t3 = C("CheckBox3").Checked();
  std::int32_t code = t1 && t2 && t3 ? 7
                      : t1 && t2     ? 4
                      : t1 && t3     ? 6
                      : t2 && t3     ? 5
                      : t1           ? 1
                      : t2           ? 2
                      : t3           ? 3
                                     : 7;
  const std::int32_t used = TrackCodeOfModel(code);
  SetTrackCode(used);
  if (used == code) return;
  // The model reads fewer tracks than are ticked: the boxes show what it
  // reads, and keep showing it at the next start, so the user is told once.
  for (int t = 0; t < 3; ++t) {
    const TrackRow& r = kRows[t];
    SetCheckedQuietly(C(r.check), TrackIncluded(used, t));
    fSettings.WriteBool(r.keyCheck, TrackIncluded(used, t));
  }
  const std::string notice = LocalizeString("Le tracce selezionate non sono lette dal modello ") +
                             fBadgeReader->Model() + LocalizeString("; si legge la traccia ") +
                             std::to_string(used) + ".";
  if (fCreating)
    fStartNotice = notice;
  else
    ShowTopMessage(notice);
}

std::int32_t TTkEmuTasMain::TrackCodeOfModel(std::int32_t code) const {
  // Without a driver the facade only keeps the code (the boxes are being
  // loaded, the model is not chosen yet): nothing is refused.
  if (fBadgeReader->Reader() == nullptr || fBadgeReader->TrackSupported(code)) return code;
  // As the facade does with a track its driver refuses: the first track the
  // model reads.
  for (std::int32_t t = 1; t <= 3; ++t)
    if (fBadgeReader->TrackSupported(t)) return t;
  return code;  // an unknown model: its refusal is the message
}

void TTkEmuTasMain::SetTrackCode(std::int32_t code) {
  fBadgeReader->SetTrack(code);
  if (code < 1 || code > 7) return;
  // Programmatic changes: the handlers that write settings must not run here.
  for (int t = 0; t < 3; ++t) {
    const TrackRow& r = kRows[t];
    if (TrackIncluded(code, t)) {
      for (const char* n : {r.check, r.start, r.count, r.after, r.width}) C(n).SetEnabled(true);
    }
  }
  for (int t = 0; t < 3; ++t) {
    const TrackRow& r = kRows[t];
    if (TrackIncluded(code, t)) continue;
    SetCheckedQuietly(C(r.check), false);
    C(r.start).SetEnabled(false);
    C(r.count).SetEnabled(false);
    C(r.after).SetItemIndex(0);
    C(r.after).SetEnabled(false);
    C(r.width).SetEnabled(false);
  }
}

void TTkEmuTasMain::SplitTracks(const AnsiString& data, AnsiString& T1, AnsiString& T2,
                                AnsiString& T3) const {
  T1.clear(), T2.clear(), T3.clear();
  std::int32_t code = fBadgeReader->Track();
  switch (code) {
    case 1:
      T1 = data;
      return;
    case 2:
      T2 = data;
      return;
    case 3:
      T3 = data;
      return;
    case 4:
    case 5:
    case 6:
    case 7:
      break;
    default:
      return;
  }
  std::vector<std::string> fields;
  SplitText(data, fields, TrackSeparator);
  auto field = [&](size_t i) -> const std::string& {
    if (i >= fields.size()) throw Exception("List index out of bounds (" + std::to_string(i) + ")");
    return fields[i];
  };
  switch (code) {
    case 4:
      T1 = field(0);
      T2 = field(1);
      break;
    case 5:
      T2 = field(0);
      T3 = field(1);
      break;
    case 6:
      T1 = field(0);
      T3 = field(1);
      break;
    case 7:
      T1 = field(0);
      T2 = field(1);
      T3 = field(2);
      break;
  }
}

AnsiString TTkEmuTasMain::KeystrokeText(const AnsiString& data) const {
  AnsiString tracks[3];
  SplitTracks(data, tracks[0], tracks[1], tracks[2]);
  AnsiString text = KeyAfterText(C("cbPreChar").ItemIndex());
  for (int t = 0; t < 3; ++t) {
    const TrackRow& r = kRows[t];
    if (!C(r.check).Checked()) continue;
    int start = C(r.start).Value();
    int count = C(r.count).Value();
    size_t from = static_cast<size_t>(start < 1 ? 1 : start) - 1;
    AnsiString slice;
    if (count > 0 && from < tracks[t].size())
      slice = tracks[t].substr(from, static_cast<size_t>(count));
    int width = C(r.width).Value();
    if (static_cast<int>(slice.size()) < width) slice.insert(0, width - slice.size(), '0');
    text += EscapeSlice(slice);
    text += KeyAfterText(C(r.after).ItemIndex());
  }
  return text;
}

void TTkEmuTasMain::BadgeReaderReadedBadge(TObject*, const AnsiString& tessera) {
  ShowBadgeStatus("Tessera: ", AnsiToText(tessera));
  AnsiString keys = KeystrokeText(tessera);
  if (fServices.typeKeys) fServices.typeKeys(keys, true, false);
  if (C("ckSoundTes").Checked()) PlaySlotSound(TSoundSlot::GoodRead);
}

void TTkEmuTasMain::BadgeReaderChangedBadgeStatus(TObject*, std::int32_t newstato) {
  switch (newstato) {
    case 1:
      SignalBadgeExtraction();
      SetStatusImage(imgReaderOk);
      ShowBadgeStatus("Nessuna tessera inserita");
      break;
    case 2:
      SetStatusImage(imgBadgeIn);
      break;
    case 3:
      SetStatusImage(imgBadgeHalf);
      ShowBadgeStatus("Tessera inserita a metà");
      break;
    default:
      break;  // no picture of its own: the display stays as it is
  }
}

void TTkEmuTasMain::BadgeReaderBadCRCData(TObject*) {
  SignalReadError("CRC tessera errato");
}
void TTkEmuTasMain::BadgeReaderBadInsertBadge(TObject*) {
  SignalReadError("Tessera inserita in modo errato");
}
void TTkEmuTasMain::BadgeReaderFailReadBadge(TObject*) {
  SignalReadError("Errore in lettura tessera");
}
void TTkEmuTasMain::BadgeReaderTimeout(TObject*) {
  SignalReaderProblem(LocalizeString("lettore di tessere guasto o non collegato"));
}
void TTkEmuTasMain::BadgeReaderRestore(TObject*) {
  SetStatusImage(imgReaderOk);
  SetReaderStatus(LocalizeString("Lettore in funzione"));
}
void TTkEmuTasMain::BadgeReaderError(TObject*, std::uint8_t, std::uint8_t, const std::string& msg) {
  // A reader's notice may put a fixed text and a cause (a device's name, the
  // system's words) on lines of their own: each line known is translated.
  std::string text;
  for (std::size_t at = 0; at <= msg.size();) {
    std::size_t end = msg.find('\n', at);
    if (end == std::string::npos) end = msg.size();
    if (at > 0) text += '\n';
    text += LocalizeString(msg.substr(at, end - at));
    at = end + 1;
  }
  SignalReaderProblem(text);
}

void TTkEmuTasMain::SignalReadError(const std::string& key) {
  SetStatusImage(imgReadError);
  ShowBadgeStatus(key);
  const std::string& text = TesStatus;
  if (C("ckSoundErrTes").Checked()) PlaySlotSound(TSoundSlot::ReadError);
  if (C("ckMsgErrTes").Checked()) ShowTopMessage(text);
}

void TTkEmuTasMain::SignalReaderProblem(const std::string& text) {
  SetStatusImage(imgReaderProblem);
  SetReaderStatus(text);
  ShowBadgeStatus("");
  if (C("ckSoundErrReader").Checked()) PlaySlotSound(TSoundSlot::ReaderProblem);
  if (C("ckMsgErrReader").Checked()) ShowTopMessage(text);
}

void TTkEmuTasMain::SignalBadgeExtraction() {
  if (C("ckSoundExitTes").Checked()) PlaySlotSound(TSoundSlot::Extraction);
}

void TTkEmuTasMain::RefreshReaderStatus() {
  if (fBadgeReader->Status() == sdAttivo)
    BadgeReaderRestore(fBadgeReader);
  else
    BadgeReaderTimeout(fBadgeReader);
}

void TTkEmuTasMain::PlaySlotSound(TSoundSlot which) {
  const SoundSlot& slot = kSlots[static_cast<int>(which)];
  if (C(slot.beep).Checked()) {
    platform::Sound().Beep();
    return;
  }
  const std::string& name = C(slot.name).Text();
  std::error_code ec;
  if (!name.empty() && fs::is_regular_file(name, ec)) platform::Sound().PlayWaveFile(name);
}

void TTkEmuTasMain::BrowseSound(int s) {
  if (!fServices.browseFile) return;
  TControl& field = C(kSlots[s].name);
  std::string name = field.Text();
  if (fServices.browseFile(C("SoundDlg").Caption(), "File di souno|*.wav", name))
    field.SetText(name);
}

void TTkEmuTasMain::UpdateSoundEnabling(int s) {
  const SoundSlot& slot = kSlots[s];
  bool on = C(slot.check).Checked();
  for (const char* n : {slot.panel, slot.beep, slot.file, slot.test}) C(n).SetEnabled(on);
  bool file = on && C(slot.file).Checked();
  C(slot.name).SetEnabled(file);
  C(slot.browse).SetEnabled(file);
}

// --- Settings -------------------------------------------------------------------

std::string TTkEmuTasMain::ExecutablePath() const {
  return platform::Environment().ExecutablePath();
}

void TTkEmuTasMain::FillModelList() {
  std::vector<std::string> models;
  GetBadgeReaderModels(models);
  C("cbModel").SetItems(models);
}

void TTkEmuTasMain::FillPortList() {
  std::vector<std::string> ports;
  if (fServices.enumComPorts) ports = fServices.enumComPorts();
  std::sort(ports.begin(), ports.end());
  C("cbCom").SetItems(ports);
}

std::string TTkEmuTasMain::DetectedAdapterPort() const {
  std::string port = fServices.findUsbSerialPort ? fServices.findUsbSerialPort() : "";
  if (port.empty() && fServices.findProlificPort) port = fServices.findProlificPort();
  return port;
}

namespace {

// A name this system opens ports by: a device path, or on Windows a COM port.
bool IsPortName(const std::string& com) {
#ifdef _WIN32
  return com.size() > 3 && (com[0] == 'C' || com[0] == 'c') && (com[1] == 'O' || com[1] == 'o') &&
         (com[2] == 'M' || com[2] == 'm') &&
         std::all_of(com.begin() + 3, com.end(), [](char c) { return c >= '0' && c <= '9'; });
#else
  return !com.empty() && com[0] == '/';
#endif
}

}  // namespace

void TTkEmuTasMain::SelectStoredPort(const std::string& detected) {
  const TSettingsStorage& s = fSettings;
  // Pseudo-terminals, symlinks and adapters not plugged in yet are not in the
  // port table; a stored port name is kept as an entry of its own.
  std::string com = s.ReadString("Com", detected);
  TControl& cbCom = C("cbCom");
  if (s.Has("Com") && IsPortName(com) &&
      std::find(cbCom.Items().begin(), cbCom.Items().end(), com) == cbCom.Items().end()) {
    auto items = cbCom.Items();
    items.push_back(com);
    cbCom.SetItems(items);
  }
  cbCom.SelectText(com);
}

bool TTkEmuTasMain::ShowPortsOfModel() {
  const TBadgeReaderClass* cls = FindBadgeReader(C("cbModel").Text());
  const std::string fixed = cls != nullptr ? cls->FixedPort() : std::string();
  TControl& cbCom = C("cbCom");
  if (!fixed.empty()) {
    // Nothing to choose: shown as the only entry. The stored port stays for
    // the models that need one.
    if (fFixedPort && cbCom.Text() == fixed) return false;
    cbCom.SetItems({fixed});
    cbCom.SelectText(fixed);
    cbCom.SetEnabled(false);
    fFixedPort = true;
    return true;
  }
  if (!fFixedPort) return false;
  fFixedPort = false;
  cbCom.SetEnabled(true);
  cbCom.SetItems({});
  FillPortList();
  SelectStoredPort(DetectedAdapterPort());
  return true;
}

void TTkEmuTasMain::LoadSettings() {
  std::string detected = DetectedAdapterPort();
  const std::string configDir = platform::Environment().UserConfigDir();
  std::string file = SettingsFilePath(ExecutablePath(), configDir);
  if (fSettings.Load(file, FallbackSettingsPath(file, configDir)) ==
      TSettingsStorage::LoadResult::Damaged) {
    // The language is chosen further down; the message needs one now: the
    // one stored in the settings read from their new place, else the default.
    try {
      SelectLanguage(fSettings.ReadInteger("Lingua", 1));
    } catch (...) {
    }
    if (fSettings.Redirected())
      ShowTopMessage(LocalizeString("Il file delle impostazioni è danneggiato e resta com'è: ") +
                     file + LocalizeString(". Le impostazioni ora si leggono e si salvano in: ") +
                     fSettings.FileName());
    else
      ShowTopMessage(LocalizeString("Il file delle impostazioni era danneggiato: ") +
                     (fSettings.DamagedCopy().empty() ? file : fSettings.DamagedCopy()) +
                     LocalizeString("; si usano le impostazioni predefinite."));
  }
  const TSettingsStorage& s = fSettings;
  C("ckSoundTes").SetChecked(s.ReadBool("SoundTes", false));
  std::string legacyWave = s.ReadString("FSounfTes", "");
  C("ckSoundErrReader").SetChecked(s.ReadBool("SoundErrReader", true));
  C("ckSoundErrTes").SetChecked(s.ReadBool("SoundErrTes", true));
  C("ckSoundExitTes").SetChecked(s.ReadBool("SoundExitTes", false));
  C("cbModel").SelectText(s.ReadString("Model", "SLX-44"));
  SelectStoredPort(detected);
  ShowPortsOfModel();
  C("ckMsgErrTes").SetChecked(s.ReadBool("MsgErrTes", false));
  C("ckMsgErrReader").SetChecked(s.ReadBool("MsgErrReader", false));
  for (const SoundSlot& slot : kSlots)
    C(s.ReadBool(slot.keyFile, false) ? slot.file : slot.beep).SetChecked(true);
  C("eSoundTes").SetText(s.ReadString("FSoundTes", legacyWave));
  C("eSoundErrTes").SetText(s.ReadString("FSoundErrTes", ""));
  C("eSoundExitTes").SetText(s.ReadString("FSoundExitTes", ""));
  C("eSoundErrReader").SetText(s.ReadString("FSoundErrReader", ""));
  C("cbLingua").SetItemIndex(s.ReadInteger("Lingua", 1));
  try {
    SelectLanguage(C("cbLingua").ItemIndex());
  } catch (...) {
    // A refused index keeps the current language, and the list shows that one.
    if (LocalizeManager() != nullptr) C("cbLingua").SetItemIndex(CurrentLanguage());
  }
  C("cbPreChar").SetItemIndex(s.ReadInteger("PreChar", 0));
  for (const TrackRow& r : kRows) {
    C(r.check).SetChecked(s.ReadBool(r.keyCheck, true));
    C(r.start).SetValue(s.ReadInteger(r.keyStart, 1));
    C(r.count).SetValue(s.ReadInteger(r.keyCount, 255));
    C(r.after).SetItemIndex(s.ReadInteger(r.keyAfter, 0));
    C(r.width).SetValue(s.ReadInteger(r.keyWidth, 14));
  }
  // An unreadable stored password falls back to the default one.
  try {
    fAdminPassword = SimpleDecrypt(s.ReadString("Params", ""), kPasswordKey);
  } catch (const EConvertError&) {
    fAdminPassword.clear();
  }
  if (fAdminPassword.empty()) fAdminPassword = kDefaultPassword;

  std::string runValue;
  try {
    runValue = platform::Autostart().Read(kAutostartName);
  } catch (...) {
  }
  try {
    C("ckAvvioAutomatico").SetChecked(SameText(runValue, ExecutablePath()));
  } catch (...) {
    // A stale or absent entry could not be removed: the box stays cleared, silently.
  }
  for (int slot = 0; slot < 4; ++slot) UpdateSoundEnabling(slot);

  fBadgeReader->SetModel(C("cbModel").Text());
  ApplyTrackSelection();
  fBadgeReader->SetCOM(C("cbCom").Text());
}

void TTkEmuTasMain::SaveSettings() {
  fSettings.Save();
}

void TTkEmuTasMain::ModelChange() {
  std::exception_ptr failure;
  try {
    fBadgeReader->SetActive(false);
    fBadgeReader->SetModel(C("cbModel").Text());
    if (ShowPortsOfModel()) fBadgeReader->SetCOM(C("cbCom").Text());
    fBadgeReader->SetActive(true);
  } catch (...) {
    failure = std::current_exception();
  }
  fSettings.WriteString("Model", C("cbModel").Text());
  RefreshReaderStatus();
  ApplyTrackSelection();
  if (failure) std::rethrow_exception(failure);
}

void TTkEmuTasMain::ComChange() {
  std::exception_ptr failure;
  try {
    fBadgeReader->SetCOM(C("cbCom").Text());
  } catch (...) {
    failure = std::current_exception();
  }
  fSettings.WriteString("Com", C("cbCom").Text());
  RefreshReaderStatus();
  if (failure) std::rethrow_exception(failure);
}

void TTkEmuTasMain::LinguaChange() {
  try {
    SelectLanguage(C("cbLingua").ItemIndex());
  } catch (...) {
    // The language stays as it was, and so does the list.
    C("cbLingua").SetItemIndex(CurrentLanguage());
    throw;
  }
  // Without a manager the choice is kept for when the language files are back.
  fSettings.WriteInteger("Lingua",
                         LocalizeManager() ? CurrentLanguage() : C("cbLingua").ItemIndex());
  LocalizeForm();
  RefreshReaderStatus();
  // The badge status shown too is said again in the new language.
  ShowBadgeStatus(fTesStatusKey, fTesStatusData);
}

void TTkEmuTasMain::AutostartClick() {
  if (C("ckAvvioAutomatico").Checked())
    platform::Autostart().Write(kAutostartName, ExecutablePath());
  else
    platform::Autostart().Delete(kAutostartName);
}

}  // namespace lumbra::app
