#pragma once
// One copy of the program per user and desktop session. The first copy listens
// on a local socket named after the user's runtime folder and the display; a
// later start in the same session asks it to bring its window forward and
// ends. Copies in other sessions (another display) use another name and stay
// independent: they share USB readers through the claim table.
#include <QLocalServer>
#include <QString>
#include <functional>
#include <memory>

namespace lumbra::ui {

class SingleInstance final {
 public:
  enum class Result {
    First,    // this copy goes on; onActivate runs for every later start
    Forward,  // another copy runs in this session and came forward: end this one
    Failed,   // no socket could be made: go on without the check
  };
  SingleInstance() = default;
  ~SingleInstance();

  // display: the session's display name ($DISPLAY).
  Result Start(const QString& display, std::function<void()> onActivate);
  const QString& SocketPath() const { return fPath; }

 private:
  bool AskRunningCopy();
  QString fPath;
  std::function<void()> fOnActivate;
  std::unique_ptr<QLocalServer> fServer;
};

}  // namespace lumbra::ui
