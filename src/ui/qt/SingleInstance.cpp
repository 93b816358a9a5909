#include "ui/qt/SingleInstance.h"

#include <unistd.h>

#include <QDir>
#include <QLocalSocket>
#include <QLockFile>

namespace lumbra::ui {
namespace {

constexpr char kShow[] = "show\n";
constexpr char kShown[] = "shown\n";
constexpr int kConnectMs = 1000;
constexpr int kAnswerMs = 5000;

// Private to the user where the session provides a runtime folder; the
// shared temporary folder otherwise, with the user's number in the name.
// A login session has its number where the system keeps sessions apart; one
// user's sessions on other seats or over remote desktops are other sessions.
QString SocketPathFor(const QString& display) {
  QString session = display;
  const QByteArray id = qgetenv("XDG_SESSION_ID");
  if (!id.isEmpty()) session += "-" + QString::fromLocal8Bit(id);
  for (QChar& c : session)
    if (!c.isLetterOrNumber()) c = '_';
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (runtime.startsWith('/')) return QString::fromLocal8Bit(runtime) + "/lumbra-" + session;
  return QDir::tempPath() + QString("/lumbra-%1-%2").arg(::getuid()).arg(session);
}

}  // namespace

SingleInstance::~SingleInstance() {
  if (fServer) fServer->close();
}

bool SingleInstance::AskRunningCopy() {
  QLocalSocket socket;
  socket.connectToServer(fPath);
  if (!socket.waitForConnected(kConnectMs)) return false;
  socket.write(kShow);
  if (!socket.waitForBytesWritten(kAnswerMs)) return false;
  while (socket.bytesAvailable() < static_cast<qint64>(sizeof kShown - 1))
    if (!socket.waitForReadyRead(kAnswerMs)) return false;
  return socket.readLine() == kShown;
}

SingleInstance::Result SingleInstance::Start(const QString& display,
                                             std::function<void()> onActivate) {
  fPath = SocketPathFor(display);
  fOnActivate = std::move(onActivate);
  // Two copies started at once must not both find no one and both listen,
  // the second removing the first one's socket.
  QLockFile lock(fPath + ".lock");
  if (!lock.tryLock(kAnswerMs + kConnectMs)) return Result::Failed;
  if (AskRunningCopy()) return Result::Forward;
  // Nobody answers: what is left is the socket of a copy that did not end cleanly.
  QLocalServer::removeServer(fPath);
  fServer = std::make_unique<QLocalServer>();
  fServer->setSocketOptions(QLocalServer::UserAccessOption);
  if (!fServer->listen(fPath)) {
    fServer.reset();
    return Result::Failed;
  }
  QObject::connect(fServer.get(), &QLocalServer::newConnection, fServer.get(), [this] {
    while (QLocalSocket* client = fServer->nextPendingConnection()) {
      QObject::connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
      QObject::connect(client, &QLocalSocket::readyRead, client, [this, client] {
        if (!client->canReadLine()) return;
        if (client->readLine() == kShow) {
          if (fOnActivate) fOnActivate();
          client->write(kShown);
          client->flush();
        }
        client->disconnectFromServer();
      });
    }
  });
  return Result::First;
}

}  // namespace lumbra::ui
