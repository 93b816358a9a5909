#pragma once
// In-memory doubles of the desktop services: environment, autostart store,
// message boxes, foreground window and sounds. Each records what it was asked.
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/Autostart.h"
#include "platform/Environment.h"
#include "platform/Foreground.h"
#include "platform/MessageBox.h"
#include "platform/Sound.h"

namespace lumbra::platform {

class FakeEnvironment final : public IEnvironment {
 public:
  std::string exePath = "/opt/lumbra/lumbra";
  std::string configDir = "/tmp/lumbra-config";
  std::string ExecutablePath() override { return exePath; }
  std::string UserConfigDir() override { return configDir; }
};

class FakeAutostart final : public IAutostart {
 public:
  std::map<std::string, std::string> entries;
  bool broken = false;  // the store cannot be opened
  std::string Read(const std::string& name) override;
  void Write(const std::string& name, const std::string& programPath) override;
  void Delete(const std::string& name) override;
};

class FakeMessageBox final : public IMessageBox {
 public:
  struct Shown {
    std::string text, caption;
    MessageKind kind;
  };
  std::vector<Shown> shown;
  std::function<void(const Shown&)> onShow;  // runs while the box is "open"
  void Show(const std::string& text, const std::string& caption, MessageKind kind) override;
  std::vector<std::string> Texts() const;
};

class FakeForeground final : public IForeground {
 public:
  ForegroundWindow current = 0;
  std::vector<ForegroundWindow> restored;
  ForegroundWindow Current() override { return current; }
  void Restore(ForegroundWindow w) override {
    restored.push_back(w);
    current = w;
  }
};

class FakeSound final : public ISound {
 public:
  std::vector<std::string> played;  // "beep" or the file name
  void Beep() override { played.push_back("beep"); }
  void PlayWaveFile(const std::string& fileName) override { played.push_back(fileName); }
};

// Installs all five and removes them again.
class FakeDesktop {
 public:
  FakeDesktop();
  ~FakeDesktop();
  FakeEnvironment environment;
  FakeAutostart autostart;
  FakeMessageBox messages;
  FakeForeground foreground;
  FakeSound sound;
};

}  // namespace lumbra::platform
