#include "drivers/sl10/ProtoTBadge.h"

#include <random>

#include "comm/ReadTexts.h"
#include "platform/Clock.h"
#include "reader/CustomBadgeReader.h"
#include "reader/TrackData.h"

namespace lumbra {
namespace {

constexpr std::array<std::uint8_t, 56> MakePollTable() {
  std::array<std::uint8_t, 56> t{};
  size_t n = 0;
  for (int v = 0; v < 256; ++v) {
    int bits = 0;
    for (int b = 0; b < 8; ++b) bits += (v >> b) & 1;
    if (bits == 3) t[n++] = static_cast<std::uint8_t>(v);
  }
  return t;
}

TComm32* NewComm(platform::HWND hwnd) {
  auto* comm = new TComm32(hwnd);
  comm->SetBaudRate(cbr38400);
  comm->SetParity(paNone);
  comm->SetDatabits(da8);
  comm->SetStopbits(sb1_0);
  // No flow control, and the port leaves DTR and RTS to the protocol.
  comm->SetDCBFlags(0);
  return comm;
}

}  // namespace

const std::array<std::uint8_t, 56> kPollTable = MakePollTable();

std::uint8_t CountBits(std::uint8_t field) {
  std::uint8_t n = 0;
  for (int b = 0; b < 3; ++b) n += (field >> b) & 1;
  return n == 0 ? 3 : n;
}

TProtTB::TProtTB(std::int32_t aID, platform::HWND aHwnd)
    : TProtocol(aID, aHwnd, NewComm(aHwnd)), fComm(static_cast<TComm32*>(Vettore)) {
  BuildTesseraTable();
  fDescri = "Comunicazione LETTORE TAVIK";
  Fautosave = false;
  FOwnVettore = true;
}

TProtTB::~TProtTB() = default;

void TProtTB::Post(std::uint32_t msg, LPARAM value) {
  platform::MessageLoop().PostMessage(Ownerhandle, msg, static_cast<WPARAM>(fID), value);
}

void TProtTB::InitProtocol() {
  fStatotessera = 0;
  StatoCom = scNoData;
  CountRx = 0;
  fTessera.clear();
  DispoStato = sdStart;
  TesseraInserOk = true;
  fFreezed = false;
  Ticks.store(0);
  Retrys.store(0);
  isInited = false;
  fStray = 0;
  fAckOwed = false;
  fReadLost = false;
}

void TProtTB::SetEnabled(bool value) {
  if (value == FEnabled) return;
  if (Vettore == nullptr) {
    FEnabled = false;
    return;
  }
  if (value)
    InitProtocol();
  else
    SetRTS(true);
  struct Reopen {
    TProtTB& p;
    bool value;
    // A port that cannot be opened yet (an adapter plugged in after log-on)
    // is a reader problem, not the end: the timer step keeps trying it, also
    // when opening raised.
    ~Reopen() {
      if (value && !p.FEnabled) {
        p.FEnabled = true;
        p.DispoStato = sdTimeout;
        p.Post(WM_DISP_TIMEOUT, 0);
      }
    }
  } reopen{*this, value};
  try {
    Vettore->SetEnabled(value);
  } catch (...) {
    DispoStato = sdTimeout;
    throw;
  }
  FEnabled = Vettore->Enabled();
  if (FEnabled) SetRTS(false);
}

void TProtTB::SetFreezed(bool value) {
  fFreezed = value;
  SetRTS(value);
}

void TProtTB::SetRTS(bool State) {
  fRTS = State;
  fComm->DoRTS(State);
}

void TProtTB::SendPoll(bool complemented) {
  // Reseeded on every poll so that two readers started together do not keep
  // drawing the same sequence.
  std::minstd_rand rng(static_cast<std::uint32_t>(platform::Clock().GetTickCount64()) ^
                       (++fSeedSalt * 2654435761u));
  std::uint8_t poll = kPollTable[rng() % kPollTable.size()];
  if (complemented || fAckOwed) poll = static_cast<std::uint8_t>(~poll);
  fAckOwed = false;
  fReadLost = false;
  Ticks.store(0);
  StatoCom = scAttesa;
  SendFrame(std::string(1, static_cast<char>(poll)));
}

namespace {

// The characters of a data frame's payload: k encoded characters and the
// character checksum; false when the checksum does not match.
bool DecodeChars(const std::uint8_t* payload, std::int32_t len, AnsiString& text) {
  if (len < 1) return false;
  const std::int32_t k = len - 1;
  text.clear();
  text.reserve(static_cast<size_t>(k));
  std::uint8_t sum = 1;
  for (std::int32_t i = 0; i < k; ++i) {
    std::uint8_t b = (i & 1) ? payload[i] : static_cast<std::uint8_t>(~payload[i]);
    std::uint8_t nibble = static_cast<std::uint8_t>((b >> ((i / 2) % 4)) & 0x0F);
    sum = static_cast<std::uint8_t>(sum + nibble);
    text.push_back(static_cast<char>(0x30 + nibble));
  }
  return (sum & 0x7F) == payload[k];
}

}  // namespace

bool TProtTB::LostStartOfData(std::int32_t n) const {
  // BufferRx[1..n]: the payload and the frame checksum of a frame whose start
  // byte was lost. The checksum names the start byte it was made with; a
  // data frame's start byte, and payload characters that match their own
  // checksum, tell a lost badge from line noise.
  if (n < 3) return false;
  std::uint8_t sum = 1;
  for (std::int32_t j = 1; j < n; ++j) sum = static_cast<std::uint8_t>(sum + BufferRx[j]);
  const std::uint8_t start =
      static_cast<std::uint8_t>((BufferRx[static_cast<size_t>(n)] - sum) & 0x7F);
  AnsiString chars;
  return (start & 0x40) == 0 && CountBits(start & 0x07) == 2 &&
         DecodeChars(BufferRx.data() + 1, n - 1, chars);
}

bool TProtTB::DecodePayload(const std::uint8_t* payload, std::int32_t len) {
  AnsiString text;
  if (!DecodeChars(payload, len, text)) return false;
  const auto k = static_cast<std::int32_t>(text.size());
  // The reader closes the text with two characters of its own.
  if (k < 2) return false;
  text.resize(static_cast<size_t>(k - 2));
  if (fCrypt) text = DecodeTessera(text);
  if (fCheckSum) {
    if (!CheckTesseraChecksum(text)) return false;
    text.resize(text.size() - 2);
  }
  fTessera = text;
  return true;
}

void TProtTB::HandleFrame() {
  const std::uint8_t start = BufferRx[0];
  const std::uint8_t status = CountBits((start >> 3) & 0x07);
  const std::uint8_t kind = CountBits(start & 0x07);
  Ticks.store(0);
  Retrys.store(0);
  isInited = true;
  if (DispoStato != sdAttivo) {
    DispoStato = sdAttivo;
    Post(WM_DISP_RESTORE, 0);
  }
  if (status != fStatotessera) {
    fStatotessera = status;
    Post(WM_TESSERA_STATUS, status);
    if (status == csNoBadge) TesseraInserOk = false;
  } else if (status == csInserted && !TesseraInserOk && kind == 1) {
    // A card that went in without producing data, reported once.
    TesseraInserOk = true;
    Post(WM_BAD_INSERT, 0);
  }
  switch (kind) {
    case 2: {
      TesseraInserOk = true;
      // Payload: BufferRx[1 .. CountRx-2]; the last byte collected is the
      // frame checksum.
      const bool ok = DecodePayload(BufferRx.data() + 1, CountRx - 2);
      if (ok)
        PostTesseraRead(Ownerhandle, static_cast<WPARAM>(fID), fTessera);
      else
        Post(WM_TESSERA_READ, trCheckFailed);
      SendPoll(true);
      break;
    }
    case 3:
      TesseraInserOk = true;
      Post(WM_TESSERA_READ, trReadFailed);
      SendPoll(true);
      break;
    default:
      StatoCom = scNoData;
      break;
  }
}

bool TProtTB::CarriesRead() const {
  // A data or failure frame that got past its start byte: a lone start byte
  // is as likely line noise as a frame.
  const std::uint8_t kind = CountBits(BufferRx[0] & 0x07);
  return CountRx >= 2 && kind != 1;
}

void TProtTB::LoseRead() {
  // The card was read but its frame never arrived whole: the user must swipe
  // again. Acknowledged, so that a reader which repeats an unacknowledged
  // frame forgets it rather than having it typed after the error was shown.
  // The rest of the damaged frame belongs to no frame.
  CountRx = 0;
  fStray = -1;
  TesseraInserOk = true;
  fAckOwed = true;
  if (fReadLost) return;
  fReadLost = true;
  Post(WM_TESSERA_READ, trReadFailed);
}

void TProtTB::ProcessBuffer(const std::uint8_t* Buffer, std::int32_t Len) {
  std::lock_guard lock(FLock);
  for (std::int32_t i = 0; i < Len; ++i) {
    const std::uint8_t b = Buffer[i];
    if (b >= 0x80 && b <= 0xBF) {
      if (CarriesRead()) LoseRead();
      BufferRx[0] = b;
      CountRx = 1;
      fStray = 0;
    } else if (b < 0x80) {
      if (CountRx >= 1 && CountRx <= kMaxFrameBytes) {
        BufferRx[static_cast<size_t>(CountRx++)] = b;
      } else if (CountRx > kMaxFrameBytes) {
        if (CarriesRead()) LoseRead();
        CountRx = 0;
        fStray = -1;
      } else if (fStray >= 0 && fStray < kMaxFrameBytes) {
        // Kept where a frame's bytes go, in case it is one that lost its start.
        BufferRx[static_cast<size_t>(1 + fStray++)] = b;
      } else {
        fStray = -1;
      }
    } else {
      if (CountRx < 2) {
        // Bytes ended like a frame while our poll waits for its answer: a
        // badge whose start byte was lost, if they make one.
        if (CountRx == 0 && StatoCom == scAttesa && fStray > 0 && LostStartOfData(fStray)) {
          LoseRead();
          SendPoll(true);
        }
        CountRx = 0;
        fStray = 0;
        continue;
      }
      std::uint8_t sum = 1;
      for (std::int32_t j = 0; j < CountRx - 1; ++j)
        sum = static_cast<std::uint8_t>(sum + BufferRx[j]);
      fStray = 0;
      if ((sum & 0x7F) != BufferRx[static_cast<size_t>(CountRx - 1)]) {
        if (CarriesRead() || fReadLost) {
          LoseRead();
          SendPoll(true);
        } else {
          Post(WM_COMM_ERROR, 0);
        }
      } else {
        HandleFrame();
      }
      CountRx = 0;
    }
  }
}

void TProtTB::TimerProc() {
  TProtocol::TimerProc();
  if (!FEnabled || Vettore == nullptr) {
    DispoStato = sdTimeout;
    return;
  }
  const TVectorStep step = KeepVectorOpen();
  std::lock_guard lock(FLock);
  if (step == TVectorStep::Down) {
    // A port that is gone is a reader that is gone: shown once, as a silent
    // reader is, until a frame restores it.
    if (DispoStato != sdTimeout) {
      DispoStato = sdTimeout;
      Post(WM_DISP_TIMEOUT, 0);
    }
    return;
  }
  if (step == TVectorStep::Reopened) {
    // A new line: start over, but a problem already shown stays shown until
    // the reader answers.
    const TStatiDispo before = DispoStato;
    InitProtocol();
    if (before == sdTimeout) DispoStato = sdTimeout;
  }
  if (fFreezed) {
    DispoStato = sdTimeout;
    return;
  }
  if (fRTS) SetRTS(false);
  if (StatoCom == scNoData) {
    if (Ticks.load() >= 1) SendPoll(!isInited);
  } else if (Ticks.load() > 1) {
    // An answer still under way now has lost its end byte.
    if (CarriesRead()) LoseRead();
    CountRx = 0;
    const std::int32_t previous = Retrys.fetch_add(1);
    if (previous > 5) {
      if (DispoStato == sdTimeout) {
        Retrys.store(0);
      } else {
        InitProtocol();
        DispoStato = sdTimeout;
        Post(WM_DISP_TIMEOUT, 0);
      }
    } else if (previous == 2) {
      SetRTS(true);
    }
    Ticks.store(0);
    StatoCom = scNoData;
  }
}

}  // namespace lumbra
