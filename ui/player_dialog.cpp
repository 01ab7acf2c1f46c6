#include "ui/player_dialog.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <climits>
#include <utility>

namespace tovaly::ui {

namespace {

QPushButton* MakeButton(const QString& text, const char* name, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(QString::fromLatin1(name));
  // Enter belongs to Play/Pause whichever button has the focus.
  b->setAutoDefault(false);
  return b;
}

}  // namespace

CPlayerDlg::CPlayerDlg(const QString& title, const std::string& rendererUdn, std::unique_ptr<PlayerControl> control,
                       QThreadPool* network, QWidget* parent)
    : QDialog(parent),
      rendererUdn_(rendererUdn),
      logic_(std::make_shared<PlayerLogic>(std::move(control))),
      worker_(std::make_shared<SerialWorker>(network)) {
  setWindowTitle(title);

  volumeDown_ = MakeButton(QStringLiteral("-"), "volumeDown", this);
  volumeUp_ = MakeButton(QStringLiteral("+"), "volumeUp", this);
  for (QPushButton* b : {volumeDown_, volumeUp_}) b->setFixedWidth(b->sizeHint().height());
  playPause_ = MakeButton(QStringLiteral("Play"), "playPause", this);
  playPause_->setDefault(true);
  stop_ = MakeButton(QStringLiteral("Stop"), "stop", this);
  time_ = new QLabel(QStringLiteral("…"), this);  // until the renderer has answered
  time_->setObjectName(QStringLiteral("time"));
  time_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  // Room for the longest usual text, so that no digit is ever cut off.
  time_->setMinimumWidth(time_->fontMetrics().horizontalAdvance(QStringLiteral("000:00:00/000:00:00")));
  position_ = new QSlider(Qt::Horizontal, this);
  position_->setObjectName(QStringLiteral("position"));
  position_->setRange(0, 0);

  // What plays: the cover (a placeholder until one comes), the title, the
  // artist and the album, the last three hidden while empty.
  cover_ = new QLabel(this);
  cover_->setObjectName(QStringLiteral("cover"));
  cover_->setFixedSize(kCoverSide, kCoverSide);
  cover_->setAlignment(Qt::AlignCenter);
  cover_->setPixmap(Placeholder());
  title_ = new QLabel(this);
  title_->setObjectName(QStringLiteral("itemTitle"));
  QFont big = title_->font();
  big.setPointSizeF(big.pointSizeF() * 1.25);
  big.setBold(true);
  title_->setFont(big);
  artist_ = new QLabel(this);
  artist_->setObjectName(QStringLiteral("artist"));
  album_ = new QLabel(this);
  album_->setObjectName(QStringLiteral("album"));
  album_->setForegroundRole(QPalette::PlaceholderText);
  for (QLabel* l : {title_, artist_, album_}) {
    // A name from the network is text, never markup, and wraps rather
    // than widening the dialog.
    l->setTextFormat(Qt::PlainText);
    l->setWordWrap(true);
    l->setTextInteractionFlags(Qt::TextSelectableByMouse);
    l->hide();
  }
  auto* names = new QVBoxLayout;
  names->addStretch();
  names->addWidget(title_);
  names->addWidget(artist_);
  names->addWidget(album_);
  names->addStretch();
  auto* nowPlaying = new QHBoxLayout;
  nowPlaying->addWidget(cover_, 0, Qt::AlignTop);
  nowPlaying->addSpacing(8);
  nowPlaying->addLayout(names, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(volumeDown_);
  buttons->addWidget(volumeUp_);
  buttons->addSpacing(8);
  buttons->addWidget(playPause_);
  buttons->addWidget(stop_);
  buttons->addWidget(time_, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(nowPlaying);
  layout->addSpacing(4);
  layout->addLayout(buttons);
  layout->addWidget(position_);
  setMinimumWidth(480);

  for (QWidget* w : {static_cast<QWidget*>(volumeDown_), static_cast<QWidget*>(volumeUp_),
                     static_cast<QWidget*>(playPause_), static_cast<QWidget*>(stop_),
                     static_cast<QWidget*>(position_)})
    w->setEnabled(false);

  connect(playPause_, &QPushButton::clicked, this, &CPlayerDlg::TogglePlay);
  connect(stop_, &QPushButton::clicked, this, [this] { Submit(&PlayerLogic::Stop); });
  for (auto [button, steps] : {std::pair{volumeDown_, -1}, std::pair{volumeUp_, 1}}) {
    connect(button, &QPushButton::clicked, this, [this, steps = steps] {
      worker_->Post([logic = logic_, steps] { logic->VolumeStep(steps); });
    });
  }
  connect(position_, &QSlider::sliderPressed, this, [this] { dragging_ = true; });
  connect(position_, &QSlider::sliderReleased, this, [this] {
    dragging_ = false;
    Seek(position_->value());
  });
  // Clicks on the channel, keys and the wheel move the value without a drag.
  connect(position_, &QSlider::valueChanged, this, [this](int value) {
    if (!dragging_ && !polling_) Seek(value);
  });

  timer_ = new QTimer(this);
  timer_->setInterval(1000);
  connect(timer_, &QTimer::timeout, this, &CPlayerDlg::PollNow);
  Submit(&PlayerLogic::Start);
  timer_->start();
}

CPlayerDlg::~CPlayerDlg() = default;

void CPlayerDlg::Submit(PlayerView (PlayerLogic::*step)()) {
  QPointer<CPlayerDlg> self(this);
  worker_->Post([logic = logic_, step, self] {
    PlayerView view = ((*logic).*step)();
    PostToGui(self, [view = std::move(view)](CPlayerDlg* dlg) { dlg->Apply(view); });
  });
}

void CPlayerDlg::Apply(const PlayerView& view) {
  if (ended_) return;
  if (!started_) {
    started_ = true;
    for (QWidget* w : {static_cast<QWidget*>(volumeDown_), static_cast<QWidget*>(volumeUp_),
                       static_cast<QWidget*>(playPause_), static_cast<QWidget*>(stop_),
                       static_cast<QWidget*>(position_)})
      w->setEnabled(true);
  }
  if (view.redraw) {
    playPause_->setText(QString::fromStdString(view.playText));
    time_->setText(QString::fromStdString(view.timeText));
    SetSliderQuietly(static_cast<int>(std::min<int64_t>(std::max<int64_t>(view.rangeMax, 0), INT_MAX)),
                     dragging_ ? std::nullopt : view.position);
  }
  if (view.result == kPlayerRendererLost) End(kPlayerRendererLost);
}

void CPlayerDlg::ShowItem(const QString& title, const QString& artist, const QString& album) {
  const std::pair<QLabel*, QString> texts[] = {{title_, title}, {artist_, artist}, {album_, album}};
  for (const auto& [label, text] : texts) {
    label->setText(text);
    label->setVisible(!text.isEmpty());
  }
}

void CPlayerDlg::SetCover(const QImage& image) {
  if (image.isNull()) return;
  const qreal ratio = devicePixelRatioF();
  const int side = qRound(kCoverSide * ratio);
  QPixmap pixmap = QPixmap::fromImage(image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  pixmap.setDevicePixelRatio(ratio);
  cover_->setPixmap(pixmap);
  hasCover_ = true;
}

// A quiet square with a note, in the colours of the theme.
QPixmap CPlayerDlg::Placeholder() const {
  const qreal ratio = devicePixelRatioF();
  QPixmap pixmap(qRound(kCoverSide * ratio), qRound(kCoverSide * ratio));
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(palette().color(QPalette::Midlight));
  const QRectF square(0, 0, kCoverSide, kCoverSide);
  p.drawRoundedRect(square, 8, 8);
  QFont font = p.font();
  font.setPixelSize(kCoverSide / 2);
  p.setFont(font);
  p.setPen(palette().color(QPalette::Mid));
  p.drawText(square, Qt::AlignCenter, QStringLiteral("\u266A"));
  return pixmap;
}

void CPlayerDlg::SetSliderQuietly(int max, std::optional<int64_t> position) {
  // A poll's move must never read as the user's: valueChanged would seek.
  polling_ = true;
  if (position_->maximum() != max) position_->setRange(0, max);
  if (position) {
    position_->setValue(static_cast<int>(std::min<int64_t>(*position, INT_MAX)));
    lastSeek_.reset();
  }
  polling_ = false;
}

void CPlayerDlg::Seek(int seconds) {
  // A click that sets the handle and then drags from it reports the same
  // value twice (valueChanged, then the release); one seek is enough.
  if (lastSeek_ == seconds) return;
  lastSeek_ = seconds;
  worker_->Post([logic = logic_, seconds] { logic->SeekTo(seconds); });
}

void CPlayerDlg::TogglePlay() {
  if (started_ && !ended_) Submit(&PlayerLogic::TogglePlay);
}

void CPlayerDlg::PollNow() {
  if (ended_ || worker_->Pending() > 0) return;
  Submit(&PlayerLogic::Poll);
}

void CPlayerDlg::setPollInterval(int ms) {
  if (ms <= 0) {
    timer_->stop();
    return;
  }
  timer_->setInterval(ms);
  if (!ended_) timer_->start();
}

void CPlayerDlg::End(int result) {
  ended_ = true;
  timer_->stop();
  done(result);
}

void CPlayerDlg::CloseForPlaybackEnd() {
  if (ended_) return;
  // The dialog is usually deleted right after it ends, which would drop the
  // queued Stop; the job keeps the worker alive until it has run.
  worker_->Post([logic = logic_, keep = worker_] { logic->Close(); });
  End(kPlayerClosed);
}

void CPlayerDlg::reject() {
  if (!ended_) Submit(&PlayerLogic::Stop);
}

void CPlayerDlg::keyPressEvent(QKeyEvent* event) {
  const bool plain = event->modifiers() == Qt::NoModifier ||
                     (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
  if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
    TogglePlay();
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);  // Esc ends in reject()
}

void CPlayerDlg::closeEvent(QCloseEvent* event) {
  CloseForPlaybackEnd();
  event->accept();
}

}  // namespace tovaly::ui
