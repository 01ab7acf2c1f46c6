#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QThreadPool>
#include <QTimer>
#include <QVBoxLayout>

#include <deque>
#include <mutex>

#include "core/app_config.h"
#include "library/host_answers.h"
#include "ui/cover_art.h"
#include "ui/gui_thread.h"
#include "ui/player_dialog.h"
#include "ui/qr_dialog.h"
#include "ui/setting_dialog.h"
#include "upnp/didl.h"

namespace tovaly::ui {

struct COrlinDlg::Link {
  QPointer<COrlinDlg> window;
  int generation;
};

namespace {

constexpr int kSearchSeconds = 5;
constexpr int kStoragePeriodMs = 30000;
constexpr int kPlaybackEnd = 7;

QString Text(const char* utf8) { return QString::fromUtf8(utf8 ? utf8 : ""); }
std::string Str(const char* s) { return s ? s : ""; }

}  // namespace

COrlinDlg::COrlinDlg(std::shared_ptr<HostEngines> engines, bool showOption, QWidget* parent)
    : QDialog(parent), engines_(std::move(engines)), showOption_(showOption) {
  network_.setMaxThreadCount(kNetworkThreads);
  setWindowTitle(QStringLiteral("Tovaly"));
  setWindowIcon(QIcon(QStringLiteral(":/icons/tovaly.png")));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::WindowMinimizeButtonHint);

  auto* serverLabel = new QLabel(this);
  auto* rendererLabel = new QLabel(this);
  auto* refreshServers = new QPushButton(tr("Refresh"), this);
  auto* refreshRenderers = new QPushButton(tr("Refresh"), this);
  serverTree_ = new QTreeWidget(this);
  serverTree_->setObjectName(QStringLiteral("servers"));
  rendererTree_ = new QTreeWidget(this);
  rendererTree_->setObjectName(QStringLiteral("renderers"));
  auto* arrow = new QPushButton(QStringLiteral("->"), this);
  arrow->setFixedWidth(32);
  auto* setting = new QPushButton(tr("Setting"), this);
  setting->setDefault(true);
  resetButton_ = new QPushButton(tr("Reset"), this);
  auto* qrcode = new QPushButton(QStringLiteral("QRCode"), this);
  qrcode->setObjectName(QStringLiteral("qrcode"));
  progress_ = new QProgressBar(this);
  progress_->setTextVisible(false);
  progress_->setMaximumHeight(12);
  progress_->setRange(0, 1);
  progress_->setValue(0);

  auto* grid = new QGridLayout;
  auto* serverHead = new QHBoxLayout;
  serverHead->addWidget(serverLabel);
  serverHead->addWidget(refreshServers);
  serverHead->addStretch();
  auto* rendererHead = new QHBoxLayout;
  rendererHead->addWidget(rendererLabel);
  rendererHead->addWidget(refreshRenderers);
  rendererHead->addStretch();
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(setting);
  buttons->addWidget(resetButton_);
  buttons->addWidget(qrcode);
  buttons->addStretch();
  grid->addLayout(serverHead, 0, 0);
  grid->addLayout(rendererHead, 0, 2);
  grid->addWidget(serverTree_, 1, 0);
  grid->addWidget(arrow, 1, 1, Qt::AlignVCenter);
  grid->addWidget(rendererTree_, 1, 2);
  grid->addLayout(buttons, 0, 3, 2, 1);
  grid->addWidget(progress_, 2, 0, 1, 4);
  grid->setColumnStretch(0, 5);
  grid->setColumnStretch(2, 4);
  setLayout(grid);
  resize(780, 360);

  trees_ = std::make_unique<DeviceTrees>(serverTree_, serverLabel, rendererTree_, rendererLabel);
  trees_->ClearServers();  // writes both labels

  connect(setting, &QPushButton::clicked, this, &COrlinDlg::Setting);
  connect(resetButton_, &QPushButton::clicked, this, &COrlinDlg::Reset);
  connect(refreshServers, &QPushButton::clicked, this, &COrlinDlg::RefreshServers);
  connect(refreshRenderers, &QPushButton::clicked, this, &COrlinDlg::RefreshRenderers);
  connect(qrcode, &QPushButton::clicked, this, &COrlinDlg::ShowQRCode);
  connect(serverTree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) { PlayItem(item); });
  connect(serverTree_, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
    for (uint64_t child : trees_->UnbrowsedChildren(item)) BrowseLater(child);
  });

  // The media server comes up with the window, before it is shown.
  link_ = NewLink();
  const std::string failure = engines_->StartServer(&COrlinDlg::Callback, const_cast<Link*>(link_));
  if (!failure.empty()) qWarning("tovaly: %s; going on without it", failure.c_str());
}

COrlinDlg::~COrlinDlg() {
  ++generation_;
  *closing_ = true;
  delete player_.data();  // gives back its hold on the control point
  engines_->Stop();
  network_.waitForDone();  // what is still running finds the engines stopped
}

void COrlinDlg::OnWorker(std::function<void()> job) { network_.start(std::move(job)); }

const COrlinDlg::Link* COrlinDlg::NewLink() {
  static std::mutex lock;
  static std::deque<Link> links;  // never shrinks: one per engine start
  std::lock_guard<std::mutex> lk(lock);
  links.push_back(Link{this, generation_});
  return &links.back();
}

void COrlinDlg::Initialise() {
  trayMenu_ = new QMenu(this);
  connect(trayMenu_, &QMenu::aboutToShow, this, [this] { TrayMenu(); });
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = new QSystemTrayIcon(windowIcon(), this);
    tray_->setToolTip(QStringLiteral("tovaly"));
    tray_->setContextMenu(trayMenu_);
    connect(tray_, &QSystemTrayIcon::activated, this, &COrlinDlg::ShowFromIcon);
    tray_->show();
  }
  // Without a notification area the window is the only way in.
  if (showOption_ || !tray_) show();

  const std::string failure = engines_->StartControlPoint(&COrlinDlg::Callback, const_cast<Link*>(link_));
  if (failure.empty()) {
    SearchStarted();
  } else {
    qWarning("tovaly: %s", failure.c_str());
  }
}

QMenu* COrlinDlg::TrayMenu() {
  trayMenu_->clear();
  if (showOption_) {
    trayMenu_->addAction(isVisible() ? tr("HideMainWindow") : tr("ShowMainWindow"), this, &COrlinDlg::ToggleWindow);
  }
  trayMenu_->addAction(tr("Reset"), this, &COrlinDlg::Reset);
  trayMenu_->addAction(tr("Setting"), this, &COrlinDlg::Setting);
  trayMenu_->addAction(tr("Quit"), this, &COrlinDlg::Quit);
  return trayMenu_;
}

int32_t COrlinDlg::Callback(void* context, int32_t code, void* args) {
  return HostDispatch(code, [&]() -> int32_t {
    if (!args) return 0;
    int32_t answer = 0;
    if (AnswerMachineRequest(code, args, &answer)) return answer;
    const auto* link = static_cast<const Link*>(context);
    if (!link) return 0;
    const int generation = link->generation;
    // Notifications: copied here, shown on the GUI thread; nothing waits.
    auto post = [&](auto fn) {
      PostToGui(link->window, [generation, fn = std::move(fn)](COrlinDlg* w) mutable {
        if (w->generation_ == generation) fn(w);
      });
    };
    switch (code) {
      case kEventServerAdded:
      case kEventRendererAdded: {
        auto* a = static_cast<DeviceAppeared*>(args);
        post([server = code == kEventServerAdded, name = Text(a->friendlyName), udn = Str(a->udn)](COrlinDlg* w) {
          server ? w->OnServerAdded(name, udn) : w->OnRendererAdded(name, udn);
        });
        return 0;
      }
      case kEventServerRemoved:
      case kEventRendererRemoved: {
        auto* l = static_cast<DeviceLeft*>(args);
        post([server = code == kEventServerRemoved, udn = Str(l->udn)](COrlinDlg* w) {
          server ? static_cast<void>(w->trees_->RemoveServer(udn)) : w->OnRendererRemoved(udn);
        });
        return 0;
      }
      case kEventBrowseContainer:
      case kEventBrowseItem: {
        Content c;
        c.parent = reinterpret_cast<uintptr_t>(static_cast<BrowseContainerFound*>(args)->token);
        if (code == kEventBrowseContainer) {
          auto* f = static_cast<BrowseContainerFound*>(args);
          c.title = Text(f->title);
          c.record.objectId = Str(f->objectId);
          c.record.objectClass = kClassContainer;
        } else {
          auto* f = static_cast<BrowseItemFound*>(args);
          c.title = Text(f->title);
          c.record.objectId = Str(f->objectId);
          c.record.res = Str(f->url);
          c.record.protocolInfo = Str(f->protocolInfo);
          c.record.date = Str(f->date);
          c.record.objectClass = f->objectClass;
          if (const DidlEntry* d = f->details) {
            c.record.artist = d->artist;
            c.record.album = d->album;
            c.record.albumArtURI = d->albumArtURI;
          }
        }
        post([c = std::move(c)](COrlinDlg* w) { w->trees_->AddContent(c.parent, c.title, c.record); });
        return 0;
      }
      case kEventTransportState: {
        auto* t = static_cast<TransportStateChanged*>(args);
        post([udn = Str(t->udn), state = t->state](COrlinDlg* w) { w->OnTransportState(udn, state); });
        return 0;
      }
      default: return 0;
    }
  });
}

void COrlinDlg::OnServerAdded(const QString& name, const std::string& udn) {
  const uint64_t id = trees_->AddServer(name, udn);
  BrowseLater(id);
}

void COrlinDlg::OnRendererAdded(const QString& name, const std::string& udn) {
  trees_->AddRenderer(name, udn);
  StopStorage(udn);
  // The storage of a renderer that offers MediaDownload shows below it.
  OnWorker([engines = engines_, udn, self = QPointer<COrlinDlg>(this), generation = generation_] {
    if (!engines->OffersStorage(udn)) return;
    PostToGui(self, [udn, generation](COrlinDlg* w) {
      if (w->generation_ != generation || !w->trees_->RendererId(udn)) return;
      auto* timer = new QTimer(w);
      timer->setInterval(kStoragePeriodMs);
      connect(timer, &QTimer::timeout, w, [w, udn] { w->PollStorage(udn); });
      w->storageTimers_[udn] = timer;
      timer->start();
      w->PollStorage(udn);
    });
  });
}

void COrlinDlg::PollStorage(const std::string& udn) {
  OnWorker([engines = engines_, udn, self = QPointer<COrlinDlg>(this), generation = generation_] {
    uint64_t total = 0, free = 0;
    engines->StorageInfo(udn, &total, &free);
    PostToGui(self, [udn, generation, total, free](COrlinDlg* w) {
      if (w->generation_ != generation) return;
      const QString text = QStringLiteral("total=%1MB, free=%2MB").arg(total >> 20).arg(free >> 20);
      if (!w->trees_->SetStorageLabel(udn, text)) return;
      // Sizes once known are kept; an unknown total is asked for again.
      if (total != 0) w->StopStorage(udn);
    });
  });
}

void COrlinDlg::StopStorage(const std::string& udn) {
  for (auto it = storageTimers_.begin(); it != storageTimers_.end();) {
    if (udn.empty() || it->first == udn) {
      it->second->deleteLater();
      it = storageTimers_.erase(it);
    } else {
      ++it;
    }
  }
}

void COrlinDlg::OnRendererRemoved(const std::string& udn) {
  trees_->RemoveRenderer(udn);
  StopStorage(udn);
  // Only the player of that very renderer closes.
  if (player_ && player_->rendererUdn() == udn) ClosePlayer();
}

void COrlinDlg::OnTransportState(const std::string& udn, int state) {
  emit transportStateChanged(QString::fromStdString(udn), state);
  if (state == kPlaybackEnd && player_ && player_->rendererUdn() == udn) player_->CloseForPlaybackEnd();
}

void COrlinDlg::ClosePlayer() {
  if (player_) player_->CloseForPlaybackEnd();
}

void COrlinDlg::BrowseLater(uint64_t node) {
  NodeRecord* record = trees_->Record(node);
  if (!record || record->browsed) return;
  record->browsed = true;
  const std::string objectId = record->kind == NodeRecord::kServer ? "0" : record->objectId;
  BeginBusy();
  OnWorker([engines = engines_, udn = record->udn, objectId, node, self = QPointer<COrlinDlg>(this),
            generation = generation_] {
    const int read = engines->Browse(udn, objectId, reinterpret_cast<void*>(static_cast<uintptr_t>(node)));
    PostToGui(self, [node, read, generation](COrlinDlg* w) {
      if (w->generation_ == generation) {
        w->EndBusy();
        // An empty container stops offering to open.
        if (QTreeWidgetItem* item = w->trees_->Item(node); item && read == 0 && item->childCount() == 0)
          item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
      }
    });
  });
}

void COrlinDlg::PlayItem(QTreeWidgetItem* item) {
  const NodeRecord* record = trees_->Record(trees_->IdOf(item));
  // Only a playable item, and only with a renderer to play it on.
  if (!record || record->kind != NodeRecord::kContent || record->res.empty() || item->childCount() > 0) return;
  if (trees_->RendererCount() == 0) return;
  const std::string renderer = trees_->SelectedRendererUdn();
  if (renderer.empty()) return;
  const uint64_t rendererId = trees_->RendererId(renderer);
  const QString rendererName = trees_->Item(rendererId)->text(0);
  struct Request {
    std::string renderer, server, res, title, protocolInfo, date;
    int objectClass;
    std::string artist, album, cover;
  } r{renderer, record->udn, record->res, item->text(0).toStdString(), record->protocolInfo, record->date,
      record->objectClass, record->artist, record->album,
      CoverUrlAllowed(record->albumArtURI, record->res) ? record->albumArtURI : std::string()};
  BeginBusy();
  OnWorker([engines = engines_, r, rendererName, self = QPointer<COrlinDlg>(this), generation = generation_] {
    StartRenderingRequest request{r.renderer.c_str(), r.server.c_str(), r.res.c_str(), r.title.c_str()};
    request.protocolInfo = r.protocolInfo.c_str();
    request.date = r.date.c_str();
    request.objectClass = static_cast<ObjectClass>(r.objectClass);
    request.caching = 1;
    const bool started = engines->StartRendering(request);
    PostToGui(self, [started, r, rendererName, generation](COrlinDlg* w) {
      if (w->generation_ != generation) return;
      w->EndBusy();
      if (!started) return;
      delete w->player_.data();  // one player at a time: the newest playback
      auto* player = new CPlayerDlg(rendererName, r.renderer, w->engines_->Player(r.renderer), &w->network_, w);
      w->player_ = player;
      player->ShowItem(QString::fromStdString(r.title), QString::fromStdString(r.artist),
                       QString::fromStdString(r.album));
      if (!r.cover.empty()) w->FetchCover(player, r.cover);
      connect(player, &QDialog::finished, w, [w, player, udn = r.renderer](int result) {
        player->deleteLater();
        auto engines = w->engines_;
        // A lost renderer is forgotten; otherwise its playback is ended.
        w->OnWorker([engines, udn, lost = result == kPlayerRendererLost] {
          lost ? engines->RemoveDevice(udn) : engines->StopRendering(udn);
        });
      });
      player->open();
      emit w->playerOpened(QString::fromStdString(r.renderer));
    });
  });
}

void COrlinDlg::FetchCover(CPlayerDlg* player, const std::string& url) {
  const int side = qRound(CPlayerDlg::kCoverSide * player->devicePixelRatioF());
  OnWorker([engines = engines_, url, side, closing = closing_, target = QPointer<CPlayerDlg>(player)] {
    // Bounded in bytes and time by the engines; a window that closes meanwhile
    // ends the wait at once.
    const std::string bytes = engines->FetchCover(url, [closing] { return closing->load(); });
    QImage image = DecodeCover(QByteArray::fromStdString(bytes), side);
    if (image.isNull()) return;  // the placeholder stays
    PostToGui(target, [image = std::move(image)](CPlayerDlg* p) { p->SetCover(image); });
  });
}

void COrlinDlg::Setting() {
  CSetting dialog(QString::fromStdString(ContentFolder()), this);
  if (dialog.exec() != QDialog::Accepted) return;
  const std::string folder = dialog.path().toStdString();
  if (!util::AppConfig::Instance().Set("content_path", folder)) {
    QMessageBox::warning(this, tr("Setting"),
                         tr("The shared folder could not be saved in %1.")
                             .arg(QString::fromStdString(util::AppConfig::Instance().path())));
  }
}

void COrlinDlg::Reset() {
  if (!resetButton_->isEnabled()) return;  // a restart is already under way
  ++generation_;
  ClosePlayer();
  trees_->ClearServers();
  trees_->ClearRenderers();
  StopStorage(std::string());
  busy_ = 0;
  BeginBusy();
  resetButton_->setEnabled(false);
  link_ = NewLink();
  // Stopping waits for the engines' threads: off the GUI thread.
  OnWorker([engines = engines_, link = const_cast<Link*>(link_), self = QPointer<COrlinDlg>(this)] {
    engines->Stop();
    const std::string serverFailure = engines->StartServer(&COrlinDlg::Callback, link);
    const std::string cpFailure = engines->StartControlPoint(&COrlinDlg::Callback, link);
    PostToGui(self, [serverFailure, cpFailure](COrlinDlg* w) {
      for (const std::string& f : {serverFailure, cpFailure})
        if (!f.empty()) qWarning("tovaly: %s", f.c_str());
      w->resetButton_->setEnabled(true);
      w->EndBusy();
      if (cpFailure.empty()) w->SearchStarted();
    });
  });
}

void COrlinDlg::RefreshServers() {
  trees_->ClearServers();
  OnWorker([engines = engines_] { engines->Refresh(kSearchServers); });
  SearchStarted();
}

void COrlinDlg::RefreshRenderers() {
  trees_->ClearRenderers();
  StopStorage(std::string());
  OnWorker([engines = engines_] { engines->Refresh(kSearchRenderers); });
  SearchStarted();
}

void COrlinDlg::ShowQRCode() {
  CQRImage dialog(QString::fromStdString(engines_->PhonePageUrl()), this);
  dialog.exec();
}

void COrlinDlg::ToggleWindow() {
  if (isVisible()) {
    hide();
  } else {
    showNormal();
    raise();
    activateWindow();
  }
}

void COrlinDlg::ShowFromIcon(QSystemTrayIcon::ActivationReason reason) {
  if (reason != QSystemTrayIcon::Trigger || !showOption_) return;
  showNormal();
  raise();
  activateWindow();
}

void COrlinDlg::Quit() {
  if (quitting_) return;
  quitting_ = true;
  if (tray_) tray_->hide();
  hide();
  QCoreApplication::quit();
}

void COrlinDlg::closeEvent(QCloseEvent* event) {
  event->accept();
  Quit();
}

void COrlinDlg::reject() { Quit(); }

void COrlinDlg::BeginBusy() {
  if (busy_++ == 0) progress_->setRange(0, 0);  // moving: something is under way
}

void COrlinDlg::EndBusy() {
  if (busy_ > 0 && --busy_ == 0) {
    progress_->setRange(0, 1);
    progress_->setValue(0);
  }
}

void COrlinDlg::SearchStarted() {
  BeginBusy();
  // Devices answer a search within its MX seconds.
  QTimer::singleShot(kSearchSeconds * 1000 + 500, this, [this, generation = generation_] {
    if (generation == generation_) EndBusy();
  });
}

}  // namespace tovaly::ui
