#pragma once
// The main window as a model without widgets: its controls, its handlers, the
// status display, the settings and the reaction to every reader event. The Qt
// view mirrors the controls and forwards the user's actions through Perform.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/Controls.h"
#include "app/SettingsStorage.h"
#include "app/UPWD.h"
#include "app/uLocalize.h"
#include "base/Component.h"
#include "reader/BadgeReader2.h"

namespace lumbra::app {

inline constexpr char kApplicationTitle[] = "Lettore di tessere Tavik";
inline constexpr char kAutostartName[] = "TavikEmuTast";
inline constexpr char kHelpFile[] = "BadgeReader.chm";
inline constexpr char kVersionWord[] = "1.6";
inline constexpr int kStatusPanelHeight = 57;
inline constexpr int kSettingsPanelHeight = 257;
inline constexpr int kClientWidth = 366;

// Pictures of the status image list.
enum TStatusImage : int {
  imgReaderOk = 0,
  imgBadgeIn = 1,
  imgBadgeHalf = 2,
  imgReaderProblem = 3,
  imgInitial = 4,
  imgReadError = 5,
};

// What the model needs from outside the core, supplied by the program (or a test).
struct TAppServices {
  // Types a keystroke text of 8-bit (code page 1252) characters.
  std::function<bool(const AnsiString& keys, bool wait, bool slow)> typeKeys;
  std::function<std::vector<std::string>()> enumComPorts;
  std::function<std::string()> findUsbSerialPort;
  std::function<std::string()> findProlificPort;
  TRunPasswordDialog runPasswordDialog;
  std::function<void(const std::string& path)> openDocument;
  std::function<void()> showAbout;
  // Makes the language manager; raises when the language files cannot be read.
  // Without it the program runs in its design language.
  std::function<std::unique_ptr<TCustomLocalizeManager>()> createLanguageManager;
  // Asks for an existing file ("description|pattern" filters); fileName is the
  // initial name and, when confirmed, the chosen full path.
  std::function<bool(const std::string& title, const std::string& filter, std::string& fileName)>
      browseFile;
  // The autostart entry starts the program when the user logs in to a desktop
  // session; the autostart check box and its hint say so instead of naming Windows.
  bool autostartAtLogIn = false;
};

class TTkEmuTasMain : public TComponent {
 public:
  enum class TView { Compact, Settings };

  explicit TTkEmuTasMain(TAppServices services);
  ~TTkEmuTasMain() override;
  void BeforeDestruction() override;

  TControlSet Controls;
  TControl& C(const std::string& name) const { return Controls[name]; }
  TBadgeReader2& BadgeReader() const { return *fBadgeReader; }
  TSettingsStorage& Settings() { return fSettings; }

  // Runs a user action; an exception goes to the application's error handler.
  void Perform(const std::function<void()>& action);

  // Window events and commands.
  void FormCreate();
  void FormShow();
  void XiButton1Click();  // "&Chiudi"
  void XiButton3Click();  // "&Impostazioni"
  void XiButton2Click();  // "Cambia &Password"
  void XiButton4Click();  // "Info"
  void Apri1Click();
  void Aiuto1Click();
  void erminagestionelettore1Click();
  // Any request to close the window; true when the program may end.
  bool FormCloseQuery();
  // The desktop session ends (or the program is told to stop): save the
  // settings at once, then end without a password.
  void QueryEndSession();
  void FormDestroy();

  // Reader events.
  void BadgeReaderReadedBadge(TObject* Sender, const AnsiString& tessera);
  void BadgeReaderChangedBadgeStatus(TObject* Sender, std::int32_t newstato);
  void BadgeReaderBadCRCData(TObject* Sender);
  void BadgeReaderBadInsertBadge(TObject* Sender);
  void BadgeReaderFailReadBadge(TObject* Sender);
  void BadgeReaderTimeout(TObject* Sender);
  void BadgeReaderRestore(TObject* Sender);
  void BadgeReaderError(TObject* Sender, std::uint8_t command, std::uint8_t errorcode,
                        const std::string& msg);

  // Badge-read handling.
  void ApplyTrackSelection();
  void SetTrackCode(std::int32_t code);
  // The code itself when the model reads it, else the first single track it
  // reads.
  std::int32_t TrackCodeOfModel(std::int32_t code) const;
  void SplitTracks(const AnsiString& data, AnsiString& T1, AnsiString& T2, AnsiString& T3) const;
  // The keystroke text of one read (as 8-bit characters), escaped for TypeKeys.
  AnsiString KeystrokeText(const AnsiString& data) const;
  void SignalReadError(const std::string& key);  // the key of the badge status text
  void SignalReaderProblem(const std::string& text);
  void SignalBadgeExtraction();
  void RefreshReaderStatus();

  // Status display.
  void SetReaderStatus(const std::string& text);
  void SetTesStatus(const std::string& text);
  // The badge status as a message key and data that follows it untranslated.
  void ShowBadgeStatus(const std::string& key, const std::string& data = "");
  void SetStatusImage(int index);
  const std::string& ReaderStatusText() const { return ReaderStatus; }
  const std::string& TesStatusText() const { return TesStatus; }
  std::string TrayHint() const { return ReaderStatus + "\r\n" + TesStatus; }
  int StatusImage() const { return fStatusImage; }
  void ShowTopMessage(const std::string& text);
  void LocalizeForm();

  // Views and visibility.
  TView View() const { return fView; }
  int ClientHeight() const;
  bool Visible() const { return fVisible; }
  bool Terminated() const { return fTerminated; }
  const std::string& AdminPassword() const { return fAdminPassword; }

  // Settings.
  void LoadSettings();
  void SaveSettings();
  void FillModelList();
  void FillPortList();
  std::string DetectedAdapterPort() const;
  void SelectStoredPort(const std::string& detected);
  bool ShowPortsOfModel();
  std::string ExecutablePath() const;

  // Sounds of the four event slots.
  enum class TSoundSlot { GoodRead, ReadError, ReaderProblem, Extraction };
  void PlaySlotSound(TSoundSlot slot);

  // Called after the view, the visibility, the status or the end of the program changed.
  std::function<void()> OnStateChanged;

 private:
  struct SoundSlot {
    const char *check, *panel, *beep, *file, *name, *browse, *test, *message;
    const char *keySound, *keyFile, *keyName, *keyMessage;
  };
  struct TrackRow {
    const char *check, *start, *count, *after, *width;
    const char *keyCheck, *keyStart, *keyCount, *keyAfter, *keyWidth;
  };
  static const SoundSlot kSlots[4];
  static const TrackRow kRows[3];

  void CreateControls();
  void WireHandlers();
  void ApplyAutostartWording();
  void InstallReaderEvents();
  void SetView(TView view);
  void SetVisible(bool v);
  void Notify();
  void UpdateSoundEnabling(int slot);
  void BrowseSound(int slot);
  bool AskPassword();
  void ModelChange();
  void ComChange();
  void LinguaChange();
  void AutostartClick();

  TAppServices fServices;
  std::unique_ptr<TCustomLocalizeManager> fLanguageManager;
  TBadgeReader2* fBadgeReader = nullptr;  // owned as a component
  TSettingsStorage fSettings;
  std::string ReaderStatus;
  std::string TesStatus;
  std::string fTesStatusKey, fTesStatusData;
  std::string fAdminPassword;
  bool isendsession = false;
  bool fDestroyed = false;
  int fStatusImage = imgInitial;
  TView fView = TView::Compact;
  bool fVisible = false;
  bool fTerminated = false;
  bool fFixedPort = false;  // the port list shows the chosen model's own port
  // While the window is being created, a notice waits until the reader is
  // switched on: a box waiting for the user must not keep the reader off.
  bool fCreating = false;
  std::string fStartNotice;
};

}  // namespace lumbra::app
