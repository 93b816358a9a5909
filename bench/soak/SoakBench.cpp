// lumbra-soak MODEL LINK TYPED_LOG STATE_HISTORY: the simulated reader of a
// soak run. It publishes the reader's port at LINK, then waits for "go PID
// SWIPES SEED" on standard input (PID: the program, already reading the port
// and typing into the target whose key log is TYPED_LOG, and appending what
// the user sees to STATE_HISTORY). It then swipes SWIPES cards, each with
// contents of its own, the next as soon as the previous has been typed or its
// read error shown (then the card is swiped again, as its user would), with
// line noise between them, and prints what was typed exactly, lost,
// duplicated or altered, the read errors shown, and the program's resident
// memory.
//
// The noise is what a reader's line carries between swipes: before every swipe
// up to 8 random bytes that cannot start a frame; before one swipe in 40 a lone
// frame start (a loose cable, the port opened mid-burst) and a quiet line of
// kQuietMs. On the SLU-4x family one frame in 8 reaches the line in two pieces
// cut at a random byte, as a USB adapter's latency timer hands it over.
//
// One swipe in 8 on SL-10, SW-30 and the SLU-4x family is damaged on the
// line: SL-10 frames lose their end or their start, or get a stray byte; SW-30 read answers get a DLE; SLU-4x frames get a stray STX before
// them or an ETX inside, lose their terminator or (framed by STX) their first
// sentinel, or reach the line together with the next card's frame. Damage a
// line without checks cannot show (a lost or stray character that leaves a
// well-formed track) is not made.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "readersim/SimDevices.h"
#include "readersim/SimReaders.h"
#include "readersim/SimSWU41.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kQuietMs = 300;            // far beyond any gap inside one burst
constexpr int kTypedTimeoutMs = 3000;    // a swipe not typed by then is lost
constexpr int kStragglersMs = 2000;      // what may still come after the last
constexpr unsigned kFirstId = 20000000;  // eight digits, so a number reads as one id

// One key from the target's log: a character, or a named key as "<Name>".
struct Key {
  std::string text;
  long long ns = 0;
};

// Follows the target's key log as it grows.
class KeyLog {
 public:
  explicit KeyLog(const std::string& path) : fIn(path) {}
  // Reads what was appended; returns the number of Returns seen so far.
  size_t Poll() {
    fIn.clear();
    std::string line;
    while (std::getline(fIn, line)) {
      if (fIn.eof()) {  // a line still being written: read it again later
        fPartial += line;
        break;
      }
      line = fPartial + line;
      fPartial.clear();
      std::istringstream ls(line);
      std::string kind, what;
      long long ns = 0;
      ls >> kind >> what >> ns;
      if (kind == "C") {
        fKeys.push_back({std::string(1, static_cast<char>(std::stol(what))), ns});
      } else if (kind == "N") {
        fKeys.push_back({"<" + what + ">", ns});
        if (what == "Return") ++fReturns;
      }
    }
    return fReturns;
  }
  const std::vector<Key>& Keys() const { return fKeys; }

 private:
  std::ifstream fIn;
  std::string fPartial;
  std::vector<Key> fKeys;
  size_t fReturns = 0;
};

// Follows the program's state history, one line per change of what the user
// sees, and counts the read errors shown.
class ReadErrors {
 public:
  explicit ReadErrors(std::string path) : fPath(std::move(path)) {}
  unsigned Poll() {
    if (!fIn.is_open()) fIn.open(fPath);  // written from the first change on
    fIn.clear();
    std::string line;
    while (std::getline(fIn, line)) {
      if (fIn.eof()) {
        fPartial += line;
        break;
      }
      line = fPartial + line;
      fPartial.clear();
      // The badge status follows the reader status in the hint; the texts are
      // those of the Italian default the bench runs with.
      const std::string status = line.substr(line.rfind('|') + 1);
      if (status == "Errore in lettura tessera" || status == "CRC tessera errato" ||
          status == "Tessera inserita in modo errato")
        ++fCount;
    }
    return fCount;
  }

 private:
  std::string fPath;
  std::ifstream fIn;
  std::string fPartial;
  unsigned fCount = 0;
};

long VmRssKb(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

std::string Pad14(const std::string& s) {
  return s.size() >= 14 ? s : std::string(14 - s.size(), '0') + s;
}

// A card of its own for swipe i, the command that swipes it and what the
// program must type for it (the bench's settings: every track padded to 14,
// Tab between tracks, Return at the end).
struct Card {
  std::string tracks;  // the simulator's argument
  std::string typed;
};

Card MakeCard(const std::string& model, unsigned i) {
  const std::string id = std::to_string(kFirstId + i);
  if (model == "SL-10" || model == "SLU-42" || model == "SW-30")
    return {id, Pad14(id) + "<Return>"};
  // Track 1 alphanumeric, track 3 the id backwards: a shift of tracks shows.
  const std::string t1 = "SOAK " + std::to_string(i % 100000);
  std::string t3(id.rbegin(), id.rend());
  return {t1 + "|" + id + "|" + t3,
          Pad14(t1) + "<Tab>" + Pad14(id) + "<Tab>" + Pad14(t3) + "<Return>"};
}

// The swipe a typed record belongs to: the first eight-digit number in the
// id range, or -1.
long RecordId(const std::string& rec, unsigned swipes) {
  for (size_t i = 0; i + 8 <= rec.size(); ++i) {
    if (!std::all_of(rec.begin() + static_cast<long>(i), rec.begin() + static_cast<long>(i) + 8,
                     ::isdigit))
      continue;
    const unsigned long v = std::stoul(rec.substr(i, 8));
    if (v >= kFirstId && v < kFirstId + swipes) return static_cast<long>(v - kFirstId);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: lumbra-soak MODEL LINK TYPED_LOG STATE_HISTORY\n");
    return 2;
  }
  const std::string model = argv[1];
  auto device = readersim::MakeSimDevice(model);
  if (!device || model == "echo") {
    std::fprintf(stderr, "lumbra-soak: no serial reader model %s\n", argv[1]);
    return 2;
  }
  // SMW-46 replies start with ESC; its reads are asked for, so no burst is cut.
  const bool smw46 = model == "SMW-46";
  const bool sw30 = model == "SW-30";
  // SWU-41 reads only while the host has a read outstanding, and has no cut.
  auto* swu41 = dynamic_cast<readersim::SWU41Device*>(device.get());
  auto* slu4x = dynamic_cast<readersim::SLU4xDevice*>(device.get());
  const bool sl10 = model == "SL-10";
  try {
    readersim::SimPort port(std::move(device), argv[2]);
    std::string go;
    int pid = 0;
    unsigned swipes = 0, seed = 0;
    if (!(std::cin >> go >> pid >> swipes >> seed) || go != "go") return 2;
    std::mt19937 rng(seed);
    KeyLog log(argv[3]);
    ReadErrors readErrors(argv[4]);

    // Noise: bytes that cannot start a frame, and the lone frame starts.
    std::vector<unsigned char> quiet, starts;
    for (int b = 0; b < 256; ++b) {
      const bool start = smw46   ? b == 0x1B
                         : sw30 || swu41 ? b == 0x02
                         : slu4x ? (b == 0x02 || b == '%' || b == ';' || b == '+')
                                 : (b >= 0x80 && b <= 0xBF);
      // The SW-30's one-byte handshakes (ACK, DLE, NAK) carry no check of
      // their own: no protocol can tell one from noise, so the line carries
      // none as noise.
      if (sw30 && (b == 0x06 || b == 0x10 || b == 0x15)) continue;
      (start ? starts : quiet).push_back(static_cast<unsigned char>(b));
    }
    auto hex = [](unsigned char b) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", b);
      return std::string(buf);
    };

    const unsigned warmup = std::max(1u, std::min(200u, swipes / 10));
    long rssWarm = -1;
    std::string rssTrail;  // every tenth of the run, to tell a leak from a step
    size_t returns = log.Poll();
    unsigned errorsSeen = readErrors.Poll();
    unsigned noiseBytes = 0, loneStarts = 0, cuts = 0, timeouts = 0;
    unsigned damaged = 0, errorsShown = 0, swipedAgain = 0;
    std::map<std::string, unsigned> damageKinds;
    std::vector<bool> errorShownFor(swipes, false);
    // Waits until n more records are typed or a read error is shown; true
    // for a read error.
    auto await = [&](size_t n, unsigned i) {
      const auto deadline = Clock::now() + std::chrono::milliseconds(kTypedTimeoutMs);
      for (;;) {
        if (log.Poll() >= returns + n) {
          returns = log.Poll();
          return false;
        }
        if (readErrors.Poll() > errorsSeen) {
          // Let what else comes with it arrive, then take it all.
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          errorsShown += readErrors.Poll() - errorsSeen;
          errorsSeen = readErrors.Poll();
          returns = log.Poll();
          for (size_t k = 0; k < n && i + k < swipes; ++k) errorShownFor[i + k] = true;
          return true;
        }
        if (Clock::now() >= deadline) {
          ++timeouts;
          returns = log.Poll();
          return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      }
    };
    auto pick = [&](size_t from, size_t to) { return from + rng() % (to - from + 1); };
    Clock::time_point runStart{};
    for (unsigned i = 0; i < swipes; ++i) {
      if (i == warmup) {
        rssWarm = VmRssKb(pid);
        runStart = Clock::now();
      }
      if (i > warmup && i % std::max(1u, swipes / 10) == 0)
        rssTrail += " " + std::to_string(VmRssKb(pid));
      std::string noise;
      for (unsigned n = rng() % 9; n > 0; --n, ++noiseBytes)
        noise += hex(quiet[rng() % quiet.size()]);
      const bool lone = rng() % 40 == 0;
      if (lone) noise += hex(starts[rng() % starts.size()]);
      if (!noise.empty()) port.Command("send " + noise);
      if (lone) {
        ++loneStarts;
        std::this_thread::sleep_for(std::chrono::milliseconds(kQuietMs));
      }
      const Card card = MakeCard(model, i);
      for (auto until = Clock::now() + std::chrono::milliseconds(kTypedTimeoutMs);
           swu41 != nullptr && swu41->PendingRead() == 0 && Clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const bool damage = (slu4x != nullptr || sl10 || sw30) && rng() % 8 == 0;
      size_t records = 1;
      if (damage) {
        ++damaged;
        std::string kind;
        if (sl10) {
          // The data frame: start byte, 10 characters, character check,
          // frame check, end byte; damage its first sending. A stray byte
          // before the frame check always shows in it; a lost one does not
          // when it was a zero, which both sums of the frame miss.
          static const char* const kinds[] = {"noend", "nostart", "stray"};
          kind = kinds[rng() % 3];
          port.Command("damage " + kind + (kind == "stray" ? " " + std::to_string(pick(1, 12)) : ""));
          port.Command("swipe " + card.tracks);
        } else if (sw30) {
          // STX, "P600" and the status, 8 digits, ETX and the check.
          kind = "dle";
          port.Command("cut " + std::to_string(pick(1, 16)));
          port.Command("swipe " + card.tracks);
        } else {
          const bool stx = rng() % 2 == 0;
          port.Command(stx ? "framing stx" : "framing cr");
          static const char* const kinds[] = {"stx", "etx", "noend", "nostart", "together"};
          kind = kinds[rng() % (stx ? 5 : 3)];  // sentinel framing: no lost start
          if (kind == "together" && i + 1 < swipes) {
            // This card's frame and the next one's, in one write.
            port.Command("framing cr");
            std::string both = slu4x->MakeFrame(card.tracks);
            both += slu4x->MakeFrame(MakeCard(model, i + 1).tracks);
            port.Write(both);
            records = 2;
          } else {
            if (kind == "together") kind = "stx";
            const std::string frame = slu4x->MakeFrame(card.tracks);
            // An ETX anywhere inside the frame; the lost start of an STX
            // frame is its first sentinel.
            const std::string bytes =
                kind == "etx"       ? readersim::SLU4xDevice::Damage(frame, kind, pick(1, frame.size() - 3))
                : kind == "nostart" ? readersim::SLU4xDevice::Damage(frame, "drop", 1)
                                    : readersim::SLU4xDevice::Damage(frame, kind, 0);
            port.Write(bytes);
          }
          port.Command("framing cr");
        }
        ++damageKinds[kind];
      } else if (slu4x != nullptr && rng() % 8 == 0) {
        ++cuts;
        port.Command("cut " + std::to_string(1 + rng() % 40) + " " + card.tracks);
      } else {
        port.Command("swipe " + card.tracks);
      }
      // A read error: the user swipes the card again (twice at most).
      for (int again = 0; await(records, i) && again < 2; ++again) {
        ++swipedAgain;
        for (size_t k = 0; k < records && i + k < swipes; ++k)
          port.Command("swipe " + MakeCard(model, i + static_cast<unsigned>(k)).tracks);
      }
      i += static_cast<unsigned>(records - 1);
    }
    const Clock::time_point runEnd = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(kStragglersMs));
    log.Poll();
    const long rssEnd = VmRssKb(pid);

    // Split the keys into records at each Return and give each to its swipe.
    std::vector<unsigned> exact(swipes, 0), other(swipes, 0);
    unsigned unattributed = 0, records = 0;
    std::string firstAltered;
    long long typingNs = 0;
    std::string rec;
    long long recStart = 0;
    for (const Key& k : log.Keys()) {
      if (rec.empty()) recStart = k.ns;
      rec += k.text;
      if (k.text != "<Return>") continue;
      ++records;
      if (records > warmup) typingNs += k.ns - recStart;
      const long id = RecordId(rec, swipes);
      const std::string want = id < 0 ? "?" : MakeCard(model, static_cast<unsigned>(id)).typed;
      if (rec == want) {
        ++exact[static_cast<size_t>(id)];
      } else {
        if (firstAltered.empty()) firstAltered = "'" + rec + "' for '" + want + "'";
        ++(id < 0 ? unattributed : other[static_cast<size_t>(id)]);
      }
      rec.clear();
    }
    unsigned typedExactly = 0, lost = 0, lostSilently = 0, duplicated = 0, altered = unattributed;
    std::string lostIds, duplicatedIds;  // the first few, to look them up in the key log
    auto note = [](std::string& list, unsigned i) {
      if (list.size() < 60) list += " " + std::to_string(i);
    };
    for (unsigned i = 0; i < swipes; ++i) {
      const unsigned all = exact[i] + other[i];
      if (all == 0) ++lost, note(lostIds, i), lostSilently += errorShownFor[i] ? 0 : 1;
      if (all > 1) duplicated += all - 1, note(duplicatedIds, i);
      if (exact[i] == 1 && other[i] == 0) ++typedExactly;
      if (other[i] > 0 && exact[i] == 0) ++altered;
    }
    if (!rec.empty()) ++altered;  // keys left without their Return

    std::printf(
        "%-7s swipes sent %u, typed exactly %u, lost %u, duplicated %u, altered %u "
        "(%u swipes unanswered for %d ms)\n",
        model.c_str(), swipes, typedExactly, lost, duplicated, altered, timeouts, kTypedTimeoutMs);
    std::printf(
        "        noise: %u random bytes, %u lone frame starts each with %d ms quiet, %u cut "
        "bursts\n",
        noiseBytes, loneStarts, kQuietMs, cuts);
    std::string kinds;
    for (const auto& [kind, n] : damageKinds) kinds += " " + kind + " " + std::to_string(n);
    std::printf(
        "        damaged on the line: %u swipes (%s ); failed read signalled %u, swiped again "
        "%u; lost without a read error %u\n",
        damaged, kinds.empty() ? " none" : kinds.c_str(), errorsShown, swipedAgain, lostSilently);
    if (swipes > warmup) {
      // Key times are CLOCK_MONOTONIC, as the steady clock here.
      auto ns = [](Clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
      };
      const long long from = ns(runStart), to = ns(runEnd);
      const double seconds = static_cast<double>(to - from) / 1e9;
      const auto keysInRun = std::count_if(log.Keys().begin(), log.Keys().end(), [&](const Key& k) {
        return k.ns >= from && k.ns <= to;
      });
      std::printf(
          "        after warm-up: %.1f swipes/s, %.0f keys/s; keys were arriving (first key to "
          "Return of each swipe) %.0f %% of the time\n",
          (swipes - warmup) / seconds, static_cast<double>(keysInRun) / seconds,
          100.0 * static_cast<double>(typingNs) / 1e9 / seconds);
    }
    if (!firstAltered.empty()) std::printf("        first altered: %s\n", firstAltered.c_str());
    if (!lostIds.empty()) std::printf("        lost swipes:%s\n", lostIds.c_str());
    if (!duplicatedIds.empty())
      std::printf("        duplicated swipes:%s\n", duplicatedIds.c_str());
    std::printf(
        "        resident memory: %ld kB after %u warm-up swipes, %ld kB at the end (%+ld kB); "
        "on the way:%s\n",
        rssWarm, warmup, rssEnd, rssEnd - rssWarm, rssTrail.c_str());
    std::fflush(stdout);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lumbra-soak: %s\n", e.what());
    return 1;
  }
  return 0;
}
