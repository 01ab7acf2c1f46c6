#pragma once
// The remote control of one playback on a renderer: Play/Pause, Stop, volume
// and a position slider, with the position polled once a second. Every
// renderer call runs in order on a worker of the dialog's own; the GUI thread
// only posts jobs and shows the views they send back.

#include <QDialog>

#include <memory>
#include <optional>
#include <string>

#include "ui/gui_thread.h"
#include "ui/player_logic.h"

class QImage;
class QLabel;
class QPixmap;
class QPushButton;
class QSlider;
class QTimer;

namespace tovaly::ui {

class CPlayerDlg : public QDialog {
  Q_OBJECT

 public:
  // The renderer's calls run on `network`, which must outlive them.
  CPlayerDlg(const QString& title, const std::string& rendererUdn, std::unique_ptr<PlayerControl> control,
             QThreadPool* network, QWidget* parent = nullptr);
  ~CPlayerDlg() override;

  const std::string& rendererUdn() const { return rendererUdn_; }
  // The renderer reported the end of playback: closes as the title bar does.
  void CloseForPlaybackEnd();
  // The poll period in milliseconds; 0 or less stops polling by the timer.
  void setPollInterval(int ms);
  // Renderer calls queued or running.
  int PendingJobs() const { return worker_->Pending(); }

  // What plays, as the server named it: shown above the controls, with the
  // placeholder in the cover's place until SetCover.
  void ShowItem(const QString& title, const QString& artist, const QString& album);
  // The cover, fetched and decoded by the window (any size: it is scaled).
  void SetCover(const QImage& image);
  // Whether a cover came (false while the placeholder shows).
  bool HasCover() const { return hasCover_; }
  // The side of the cover in device-independent pixels.
  static constexpr int kCoverSide = 96;

 public slots:
  // One poll, skipped while an earlier call is still pending, so a slow
  // renderer never piles polls up.
  void PollNow();
  // Esc: stops playback and keeps the dialog open.
  void reject() override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void Submit(PlayerView (PlayerLogic::*step)());
  void Apply(const PlayerView& view);
  void End(int result);
  void TogglePlay();
  void Seek(int seconds);
  void SetSliderQuietly(int max, std::optional<int64_t> position);
  QPixmap Placeholder() const;

  std::string rendererUdn_;
  std::shared_ptr<PlayerLogic> logic_;
  std::shared_ptr<SerialWorker> worker_;
  QPushButton* volumeDown_;
  QPushButton* volumeUp_;
  QPushButton* playPause_;
  QPushButton* stop_;
  QLabel* cover_;
  QLabel* title_;
  QLabel* artist_;
  QLabel* album_;
  QLabel* time_;
  QSlider* position_;
  QTimer* timer_;
  bool hasCover_ = false;
  bool started_ = false;   // Start's view has arrived
  bool ended_ = false;     // done() was called
  bool dragging_ = false;  // the user holds the slider
  bool polling_ = false;   // the slider is being moved by a poll, not the user
  std::optional<int> lastSeek_;  // the last seek sent since a poll moved the slider
};

}  // namespace tovaly::ui
