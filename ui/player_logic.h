#pragma once
// The state of the remote control of one playback, without widgets: what the
// player dialog shows is computed here from the renderer's answers. Every
// method blocks on the network, so the dialog calls them on its worker only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/refcount.h"

namespace tovaly {
class control_point_t;
}

namespace tovaly::ui {

// Results of the player dialog; kPlayerRunning means it has not ended.
constexpr int kPlayerRunning = -1;
constexpr int kPlayerClosed = 0;
constexpr int kPlayerRendererLost = 11;

// The renderer calls the player makes, so tests can script a renderer.
class PlayerControl {
 public:
  virtual ~PlayerControl() = default;
  virtual int GetCurrentConnectionID() = 0;
  // 0 on success; either pointer may be null. Whole seconds.
  virtual int GetPositionInfo(int instanceId, int64_t* duration, int64_t* relTime) = 0;
  virtual void Play(int instanceId) = 0;
  virtual void Pause(int instanceId) = 0;
  virtual void Stop(int instanceId) = 0;
  virtual int Seek(int instanceId, int seconds) = 0;
  virtual int ChangeVolume(int instanceId, int delta) = 0;
};

// The calls made through the control point, by the renderer's UDN. It holds a
// reference, so the control point outlives a call that is still running.
class ControlPointPlayer : public PlayerControl {
 public:
  ControlPointPlayer(RefPtr<control_point_t> cp, std::string rendererUdn);
  ~ControlPointPlayer() override;
  ControlPointPlayer(const ControlPointPlayer&) = delete;
  ControlPointPlayer& operator=(const ControlPointPlayer&) = delete;

  int GetCurrentConnectionID() override;
  int GetPositionInfo(int instanceId, int64_t* duration, int64_t* relTime) override;
  void Play(int instanceId) override;
  void Pause(int instanceId) override;
  void Stop(int instanceId) override;
  int Seek(int instanceId, int seconds) override;
  int ChangeVolume(int instanceId, int delta) override;

 private:
  RefPtr<control_point_t> cp_;
  std::string udn_;
};

// What the dialog shows after one step. The texts and the range are always
// the whole current state; redraw false means none of them changed.
struct PlayerView {
  std::string playText;             // the Play/Pause button: "Play" or "Pause"
  std::string timeText;             // "hh:mm:ss/hh:mm:ss", or the duration alone
  int64_t rangeMax = 0;             // the slider's maximum in seconds, 0 unknown
  std::optional<int64_t> position;  // a new slider position, if any
  bool redraw = true;
  int result = kPlayerRunning;      // kPlayerRunning, or how the dialog ends
};

class PlayerLogic {
 public:
  explicit PlayerLogic(std::unique_ptr<PlayerControl> control);

  // Learns the instance and the duration, then plays from the beginning.
  PlayerView Start();
  // One position poll; the fourth failure in a row ends with kPlayerRendererLost.
  PlayerView Poll();
  PlayerView TogglePlay();
  PlayerView Stop();
  // Stops the renderer; the dialog ends with kPlayerClosed.
  PlayerView Close();
  int SeekTo(int seconds);
  // One step is 10 volume points; the renderer keeps the volume in 0..100.
  int VolumeStep(int steps);

 private:
  PlayerView View(bool redraw) const;
  void SetDuration(int64_t duration);

  std::unique_ptr<PlayerControl> control_;
  bool playing_ = true;
  int instanceId_ = 0;
  int failures_ = 0;  // consecutive failed polls
  std::string durationText_;
  std::string playText_ = "Play";
  std::string timeText_;
  int64_t rangeMax_ = 0;
};

}  // namespace tovaly::ui
