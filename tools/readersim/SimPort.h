#pragma once
// A simulated device on a pseudo-terminal. The program under test opens the
// slave side (by its path, or by a stable symlink); the device's side of the
// protocol runs on the master side, on a thread of its own.
//
// Unplugging closes the master, so the program sees a hang-up, and removes the
// symlink; plugging back makes a new pair and points the symlink at the new
// slave, as a USB adapter that comes back under the same name.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace readersim {

class SimPort;

// The device's side of a protocol. Both calls run on the port's thread or on
// the caller of SimPort::Command, never at the same time.
class SimDevice {
 public:
  virtual ~SimDevice() = default;
  virtual std::string Model() const = 0;
  // Bytes the host sent.
  virtual void OnHostBytes(const std::string& bytes, SimPort& port) = 0;
  // A device command (for example a card swipe); false when unknown.
  virtual bool Command(const std::string& verb, const std::string& arg, SimPort& port) = 0;
  // One line per command, for the front end's help.
  virtual std::string Help() const = 0;
  // The device restarts (switched off and on, its adapter staying): it forgets
  // what the host asked of it (a read outstanding, its settings).
  virtual void PowerCycle() {}

  // Set by the port's "silent" command, cleared by "answer": a device gone
  // quiet answers nothing.
  std::atomic<bool> fSilent{false};
};

// "\r", "\n", "\xHH" and "\\" in a command argument.
std::string Unescape(const std::string& s);

class SimPort {
 public:
  // linkPath: where to keep a symlink to the slave; empty for none.
  SimPort(std::unique_ptr<SimDevice> device, std::string linkPath = {});
  ~SimPort();
  SimPort(const SimPort&) = delete;
  SimPort& operator=(const SimPort&) = delete;

  // Path of the current slave (changes on PlugBack) and of the symlink.
  std::string SlavePath() const;
  const std::string& LinkPath() const { return fLink; }
  // The path a program should open: the symlink when there is one.
  std::string PortPath() const { return fLink.empty() ? SlavePath() : fLink; }
  bool Plugged() const;

  // Sends bytes to the host; false when unplugged or failing.
  bool Write(const std::string& bytes);
  void Unplug();
  void PlugBack();
  // Runs a command line: "unplug", "plug", "send BYTES" (raw bytes on the
  // line, as noise or a hand-made frame), "pause MS", "off" and "on" (the
  // device switched off, silent, and on again, fresh, its adapter staying),
  // "reset" (off and on at once), "lose BYTE" (the device's next answer loses
  // the first such byte on the line), or one of the device's. Returns false
  // for an unknown command.
  bool Command(const std::string& line);

  // Called with every chunk the host sent (after the device saw it), on the
  // port's thread; set it through SetOnHostBytes once the port runs.
  std::function<void(const std::string&)> OnHostBytes;
  void SetOnHostBytes(std::function<void(const std::string&)> hook) {
    std::lock_guard lock(fDeviceMutex);
    OnHostBytes = std::move(hook);
  }

 private:
  void Plug();
  void Run(int master, int stopFd);
  void StopThread();

  std::unique_ptr<SimDevice> fDevice;
  std::string fLink;
  mutable std::mutex fMutex;  // fMaster, fSlave, fSlavePath; serialises the device
  std::recursive_mutex fDeviceMutex;
  int fMaster = -1;
  int fSlave = -1;  // held open so the master never sees "no slave"
  int fStop = -1;
  std::string fLose;  // a byte the device's next write loses; empty for none
  std::string fSlavePath;
  std::thread fThread;
};

}  // namespace readersim
