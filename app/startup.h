#pragma once
// Start-up of the desktop program: its one option, the firewall step, and the
// rule that one copy runs per user.

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <string>

#include "core/app_config.h"

namespace tovaly::app {

// True when the arguments hold the option show: "-show", "/show" or
// "--show", in any letter case.
bool HasShowOption(const QStringList& arguments);

// The firewall step, once per settings file: for an administrator (root) the
// key enable_firewall is written before anything else. Linux has no firewall
// rule the program could add for itself, so no command follows; a normal user
// leaves the key empty and the step runs again at the next start. True when
// the key was written now.
bool FirewallStep(const util::AppConfig& config, bool administrator);

// One copy per user: a lock file held for the life of the process, and a
// local socket on which a newer copy asks the running one to quit.
class SingleInstance : public QObject {
  Q_OBJECT

 public:
  enum Outcome {
    kAlone,     // no other copy
    kReplaced,  // a running copy was told to quit and has let go
    kGiveUp,    // a copy holds the lock without listening (starting or ending)
  };
  // Files in $XDG_RUNTIME_DIR, else in the temporary folder with the uid.
  SingleInstance();
  SingleInstance(QString lockPath, QString socketPath);
  ~SingleInstance() override;

  // waitMs: how long a copy told to quit may take to let go.
  Outcome Claim(int waitMs = 15000);

 signals:
  // A newer copy asks this one to quit.
  void quitRequested();

 private:
  bool TryLock();
  const QString lockPath_, socketPath_;
  int lockFd_ = -1;
  QLocalServer server_;
};

}  // namespace tovaly::app
