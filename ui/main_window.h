#pragma once
// The main window: the host of the media server and the control point. It
// answers their requests through the machine's answers, turns their
// notifications into the server and renderer trees, plays a server's item on
// the chosen renderer, and lives behind a notification-area icon.

#include <QDialog>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QThreadPool>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/device_trees.h"
#include "ui/engines.h"
#include "ui/player_dialog.h"

class QMenu;
class QTimer;

namespace tovaly::ui {

class COrlinDlg : public QDialog {
  Q_OBJECT

 public:
  // Starts the media server at once; the control point starts in Initialise.
  // showOption: the program was started with the option show, so the window
  // is shown and the notification icon can bring it back.
  COrlinDlg(std::shared_ptr<HostEngines> engines, bool showOption, QWidget* parent = nullptr);
  ~COrlinDlg() override;

  // The engines' callback; context is what the window gave them.
  static int32_t Callback(void* context, int32_t code, void* args);

  // The notification icon, the first search, and the window shown or not.
  void Initialise();

  DeviceTrees& trees() { return *trees_; }
  QTreeWidget* serverTree() const { return serverTree_; }
  QTreeWidget* rendererTree() const { return rendererTree_; }
  CPlayerDlg* player() const { return player_; }
  QProgressBar* progress() const { return progress_; }
  // The icon's menu as it would open now.
  QMenu* TrayMenu();
  // True while a search, a browse or a restart is under way.
  bool Busy() const { return busy_ > 0; }
  // Where the window's network jobs run.
  QThreadPool* network() { return &network_; }

 signals:
  // A renderer's transport state (0 STOPPED, 1 PLAYING, 7 PLAYBACK_END ...).
  void transportStateChanged(const QString& udn, int state);
  // A player dialog was opened for a renderer.
  void playerOpened(const QString& udn);

 public slots:
  void Setting();
  void Reset();
  void RefreshServers();
  void RefreshRenderers();
  void ShowQRCode();
  void ToggleWindow();
  void Quit();
  // Plays the server item of `item` on the selected renderer.
  void PlayItem(QTreeWidgetItem* item);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  struct Link;  // what the engines get as context: the window and a generation
  struct Content {
    uint64_t parent;
    QString title;
    NodeRecord record;
  };

  // A context for the engines of a new generation. Links live as long as the
  // process: a callback that began before a Stop may still read one after
  // the window is gone (it then finds the window null).
  const Link* NewLink();
  // Runs a job that may wait on the network on the window's own pool.
  void OnWorker(std::function<void()> job);
  void OnServerAdded(const QString& name, const std::string& udn);
  void OnRendererAdded(const QString& name, const std::string& udn);
  void OnRendererRemoved(const std::string& udn);
  void OnTransportState(const std::string& udn, int state);
  void BrowseLater(uint64_t node);
  void PollStorage(const std::string& udn);
  // No more storage queries for that renderer (every renderer for "").
  void StopStorage(const std::string& udn);
  void ClosePlayer();
  // The cover at url for that player, fetched and decoded on a worker.
  void FetchCover(CPlayerDlg* player, const std::string& url);
  void BeginBusy();
  void EndBusy();
  void SearchStarted();
  void ShowFromIcon(QSystemTrayIcon::ActivationReason reason);

  std::shared_ptr<HostEngines> engines_;
  QThreadPool network_;  // its jobs are waited for before the window goes
  const bool showOption_;
  int generation_ = 0;  // notifications of an earlier generation are dropped
  const Link* link_ = nullptr;  // the one the running engines were given
  QTreeWidget* serverTree_;
  QTreeWidget* rendererTree_;
  std::unique_ptr<DeviceTrees> trees_;
  QProgressBar* progress_;
  QPushButton* resetButton_;
  QSystemTrayIcon* tray_ = nullptr;
  QMenu* trayMenu_ = nullptr;
  QPointer<CPlayerDlg> player_;
  std::map<std::string, QTimer*> storageTimers_;  // by renderer UDN
  int busy_ = 0;
  bool quitting_ = false;
  // Set as the window goes: network jobs that can stop early (covers) do.
  std::shared_ptr<std::atomic<bool>> closing_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace tovaly::ui
