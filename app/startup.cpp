#include "app/startup.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QThread>

namespace tovaly::app {
namespace {
const char kQuit[] = "quit\n";

QString RuntimeDir() {
  const QByteArray dir = qgetenv("XDG_RUNTIME_DIR");
  if (!dir.isEmpty() && dir.startsWith('/')) return QString::fromLocal8Bit(dir);
  return QDir::tempPath();
}
}  // namespace

bool HasShowOption(const QStringList& arguments) {
  for (const QString& a : arguments) {
    QString name = a;
    if (name.startsWith(QLatin1String("--"))) {
      name = name.mid(2);
    } else if (name.startsWith(QLatin1Char('-')) || name.startsWith(QLatin1Char('/'))) {
      name = name.mid(1);
    } else {
      continue;
    }
    if (name.compare(QLatin1String("show"), Qt::CaseInsensitive) == 0) return true;
  }
  return false;
}

bool FirewallStep(const util::AppConfig& config, bool administrator) {
  if (!config.Get("enable_firewall").empty()) return false;
  if (!administrator) return false;  // asked again at the next start
  return config.Set("enable_firewall", "true");
}

SingleInstance::SingleInstance()
    : SingleInstance(RuntimeDir() + QStringLiteral("/tovaly-%1.lock").arg(getuid()),
                     RuntimeDir() + QStringLiteral("/tovaly-%1.socket").arg(getuid())) {}

SingleInstance::SingleInstance(QString lockPath, QString socketPath)
    : lockPath_(std::move(lockPath)), socketPath_(std::move(socketPath)) {
  connect(&server_, &QLocalServer::newConnection, this, [this] {
    while (QLocalSocket* peer = server_.nextPendingConnection()) {
      connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
      connect(peer, &QLocalSocket::readyRead, this, [this, peer] {
        if (peer->canReadLine() && peer->readLine(64) == kQuit) emit quitRequested();
      });
    }
  });
}

SingleInstance::~SingleInstance() {
  server_.close();
  if (lockFd_ >= 0) close(lockFd_);
}

bool SingleInstance::TryLock() {
  if (lockFd_ < 0) lockFd_ = open(lockPath_.toLocal8Bit().constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  return lockFd_ >= 0 && flock(lockFd_, LOCK_EX | LOCK_NB) == 0;
}

SingleInstance::Outcome SingleInstance::Claim(int waitMs) {
  // A copy that listens is told to quit; the newest copy takes over.
  bool told = false;
  {
    QLocalSocket running;
    running.connectToServer(socketPath_);
    if (running.waitForConnected(1000)) {
      running.write(kQuit);
      told = running.waitForBytesWritten(1000);
      running.disconnectFromServer();
    }
  }
  bool locked = TryLock();
  if (!locked && told) {
    // It says goodbye to the network first; both on it at once would have
    // the same identity announced and withdrawn.
    QElapsedTimer waited;
    waited.start();
    while (!(locked = TryLock()) && waited.elapsed() < waitMs) QThread::msleep(50);
  }
  if (!locked) return kGiveUp;
  QLocalServer::removeServer(socketPath_);  // a crashed copy's socket file
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  server_.listen(socketPath_);
  return told ? kReplaced : kAlone;
}

}  // namespace tovaly::app
