#pragma once
// The one object through which the application uses the reader layer. It keeps
// the whole reader configuration, so the driver can be released and made again
// (switching off, changing model) without the application repeating anything,
// relays the driver's events with itself as Sender, and shows the reader's
// state as a colour.
#include <cstdint>
#include <functional>
#include <string>

#include "reader/CustomBadgeReader.h"

namespace lumbra {

// Colour values: blue in the high byte, red in the low byte.
inline constexpr std::uint32_t clReaderOff = 0x808080;      // grey
inline constexpr std::uint32_t clReaderRunning = 0x00FF00;  // green
inline constexpr std::uint32_t clReaderFault = 0x0000FF;    // red

class TBadgeReader2 : public TComponent {
 public:
  explicit TBadgeReader2(TComponent* AOwner);
  ~TBadgeReader2() override;
  void BeforeDestruction() override;

  // Configuration.
  const std::string& Model() const { return fModel; }
  void SetModel(const std::string& value);
  const std::string& COM() const { return fCom; }
  void SetCOM(const std::string& value);
  std::int32_t Track() const { return fTrack; }
  void SetTrack(std::int32_t value);
  std::int32_t Bpi() const { return fBpi; }
  void SetBpi(std::int32_t value);
  long double Startmm() const { return fStartmm; }
  void SetStartmm(long double value);
  TCoercitivity Coercitivity() const;
  void SetCoercitivity(TCoercitivity value);
  bool CheckCRCTes() const { return fCheckCrcTes; }
  void SetCheckCRCTes(bool value);
  bool TkCrypt() const { return fCrypt; }
  void SetTkCrypt(bool value);

  // Switching.
  bool Active() const;
  void SetActive(bool value);

  // State.
  TStatiDispo Status() const;
  TStatiDispo StatoLettore() const;
  std::int32_t StatoTessera() const;
  std::int32_t CurrentOperation() const;
  std::uint32_t Color() const { return fColor; }
  // Called after every colour change, so a view can repaint its indicator.
  std::function<void(std::uint32_t)> OnColorChanged;
  TCustomBadgeReader* Reader() const { return fProtB; }

  // Class queries of the configured model, with or without a driver.
  bool isWriter() const;
  bool isStripe() const;
  bool TrackSupported(std::int32_t trackcode) const;
  bool CoercitivitySupported(TCoercitivity coer) const;

  // Forwarded to the driver when there is one.
  void EjectBack();
  void SetLed(bool statoLed1, bool statoLed2, bool statoLed3, bool statoled4);
  void SetBuzzer(std::uint8_t numBeeps);
  void SetReadWriteRetry(std::uint8_t num);
  void Inizializza();
  void ReadTessera(std::uint8_t Track);
  void WriteTessera(const AnsiString& CodTessera, std::uint8_t Track);
  void EjectTessera();
  void CaptureTessera();
  void ResetOperation();

  void Initialize() { Inizializza(); }
  void ReadCard();
  void WriteCard(const AnsiString& CardCode);
  void EjectCard() { EjectTessera(); }
  void CaptureCard() { CaptureTessera(); }

  TReadedTesEvent OnReadedBadge;
  TChangedSBEvent OnChangedBadgeStatus;
  TNotifyEvent OnBadCRCData;
  TNotifyEvent OnFailReadBadge;
  TNotifyEvent OnBadInsertBadge;
  TNotifyEvent OnTimeout;
  TNotifyEvent OnRestore;
  TWBErrorEvent OnError;
  TNotifyEvent OnWritedBadge;

 private:
  void CreateReader();
  void FreeReader();
  void DropReader();
  void ConfigureReader();
  void InstallHandlers();
  void SetColor(std::uint32_t color);
  const TBadgeReaderClass* ModelClass() const;

  bool fCrypt = true;
  bool fCheckCrcTes = true;
  TCustomBadgeReader* fProtB = nullptr;
  std::string fCom = "USB ANY";
  std::string fModel = "SLU-20";
  std::int32_t fTrack = 2;
  std::int32_t fBpi = 0;
  TCoercitivity fCoercitivity = loco;
  long double fStartmm = 7.5L;
  std::uint32_t fColor = clReaderOff;
};

}  // namespace lumbra
