// lumbra-soak MODEL LINK TYPED_LOG: the simulated reader of a soak run. It
// publishes the reader's port at LINK, then waits for "go PID SWIPES SEED" on
// standard input (PID: the program, already reading the port and typing into
// the target whose key log is TYPED_LOG). It then swipes SWIPES cards, each
// with contents of its own, the next as soon as the previous has been typed,
// with line noise between them, and prints what was typed exactly, lost,
// duplicated or altered, and the program's resident memory.
//
// The noise is what a reader's line carries between swipes: before every swipe
// up to 8 random bytes that cannot start a frame; before one swipe in 40 a lone
// frame start (a loose cable, the port opened mid-burst) and a quiet line of
// kQuietMs. On the SLU-4x family one frame in 8 reaches the line in two pieces
// cut at a random byte, as a USB adapter's latency timer hands it over.
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
  if (argc != 4) {
    std::fprintf(stderr, "usage: lumbra-soak MODEL LINK TYPED_LOG\n");
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
  const bool slu4x = model != "SL-10" && !smw46 && !sw30 && swu41 == nullptr;
  try {
    readersim::SimPort port(std::move(device), argv[2]);
    std::string go;
    int pid = 0;
    unsigned swipes = 0, seed = 0;
    if (!(std::cin >> go >> pid >> swipes >> seed) || go != "go") return 2;
    std::mt19937 rng(seed);
    KeyLog log(argv[3]);

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
    unsigned noiseBytes = 0, loneStarts = 0, cuts = 0, timeouts = 0;
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
      if (slu4x && rng() % 8 == 0) {
        ++cuts;
        port.Command("cut " + std::to_string(1 + rng() % 40) + " " + card.tracks);
      } else {
        port.Command("swipe " + card.tracks);
      }
      const auto deadline = Clock::now() + std::chrono::milliseconds(kTypedTimeoutMs);
      while (log.Poll() <= returns && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(500));
      if (log.Poll() > returns)
        returns = log.Poll();
      else
        ++timeouts;
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
    unsigned typedExactly = 0, lost = 0, duplicated = 0, altered = unattributed;
    std::string lostIds, duplicatedIds;  // the first few, to look them up in the key log
    auto note = [](std::string& list, unsigned i) {
      if (list.size() < 60) list += " " + std::to_string(i);
    };
    for (unsigned i = 0; i < swipes; ++i) {
      const unsigned all = exact[i] + other[i];
      if (all == 0) ++lost, note(lostIds, i);
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
