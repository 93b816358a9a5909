#include "WlClients.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace lumbra::wltest {

std::string Utf8(unsigned long cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

Child::Child(const std::vector<std::string>& argv, const std::string& outFile, bool pipes) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  if (pipes && (::pipe(in) < 0 || ::pipe(out) < 0)) return;
  if (pipes) {
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    posix_spawn_file_actions_addclose(&fa, out[0]);
  } else if (!outFile.empty()) {
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  if (posix_spawnp(&fPid, args[0], &fa, nullptr, args.data(), environ) != 0) fPid = -1;
  posix_spawn_file_actions_destroy(&fa);
  if (pipes) {
    ::close(in[0]);
    ::close(out[1]);
    fIn = in[1];
    fOut = out[0];
  }
}

Child::~Child() {
  if (fIn >= 0) ::close(fIn);
  if (fOut >= 0) ::close(fOut);
  if (fPid > 0) {
    ::kill(fPid, SIGTERM);
    ::waitpid(fPid, nullptr, 0);
  }
}

int Child::Wait() {
  int status = 0;
  if (fPid <= 0 || ::waitpid(fPid, &status, 0) != fPid) return -1;
  fPid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Child::Ask(const std::string& line) {
  std::string msg = line + "\n";
  if (::write(fIn, msg.data(), msg.size()) != static_cast<ssize_t>(msg.size())) return "";
  std::string answer;
  pollfd p{fOut, POLLIN, 0};
  char c = 0;
  while (::poll(&p, 1, 5000) > 0 && ::read(fOut, &c, 1) == 1 && c != '\n') answer += c;
  return answer;
}

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

template <typename Pred>
bool WaitForLog(const std::string& path, Pred pred) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    if (pred(ReadAll(path))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

}  // namespace

Target::Target(const std::string& program, bool x)
    : fLog(std::string(std::getenv("XDG_RUNTIME_DIR")) + (x ? "/x.log" : "/wl.log")),
      fChild(x ? std::vector<std::string>{program, "badge-target"}
               : std::vector<std::string>{program, "target"},
             fLog, false) {}

bool Target::Ready() {
  return WaitForLog(fLog, [](const std::string& log) { return log.find("R\n") != std::string::npos; });
}

bool Target::ReadUntilEscape(std::string& text, long long* nsFirst, long long* nsLast) {
  std::string log;
  bool ok = WaitForLog(fLog, [&](const std::string& l) {
    log = l;
    return l.find("N Escape", fConsumed) != std::string::npos;
  });
  std::istringstream in(log.substr(fConsumed));
  text.clear();
  std::string line, kind, value;
  long long ns = 0;
  bool first = true;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    if (!(fields >> kind) || (kind != "C" && kind != "N") || !(fields >> value >> ns)) continue;
    if (first && nsFirst != nullptr) *nsFirst = ns;
    first = false;
    if (kind == "C") text += Utf8(std::stoul(value));
    if (kind == "N" && value == "Escape") {
      if (nsLast != nullptr) *nsLast = ns;
      break;
    }
    if (kind == "N") text += "<" + value + ">";
  }
  size_t end = log.find("N Escape", fConsumed);
  if (end != std::string::npos) fConsumed = log.find('\n', end) + 1;
  return ok;
}

}  // namespace lumbra::wltest
