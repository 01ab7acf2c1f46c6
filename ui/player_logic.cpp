#include "ui/player_logic.h"

#include <cstdio>
#include <utility>

#include "controlpoint/control_point.h"
#include "controlpoint/entry_functions.h"

namespace tovaly::ui {

namespace {

// Renderers report seconds that may be nonsense (negative); they are shown as
// the unsigned value rather than rejected.
std::string HoursMinutesSeconds(int64_t seconds) {
  const unsigned t = static_cast<unsigned>(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u", t / 3600, (t % 3600) / 60, t % 60);
  return text;
}

}  // namespace

ControlPointPlayer::ControlPointPlayer(RefPtr<control_point_t> cp, std::string rendererUdn)
    : cp_(std::move(cp)), udn_(std::move(rendererUdn)) {}

ControlPointPlayer::~ControlPointPlayer() = default;

int ControlPointPlayer::GetCurrentConnectionID() { return p_GetCurrentConnectionID(cp_.get(), udn_.c_str()); }

int ControlPointPlayer::GetPositionInfo(int instanceId, int64_t* duration, int64_t* relTime) {
  return p_GetPositionInfo(cp_.get(), udn_.c_str(), instanceId, duration, relTime);
}

void ControlPointPlayer::Play(int instanceId) { p_Play(cp_.get(), udn_.c_str(), instanceId); }
void ControlPointPlayer::Pause(int instanceId) { p_Pause(cp_.get(), udn_.c_str(), instanceId); }
void ControlPointPlayer::Stop(int instanceId) { p_Stop(cp_.get(), udn_.c_str(), instanceId); }

int ControlPointPlayer::Seek(int instanceId, int seconds) {
  return p_Seek(cp_.get(), udn_.c_str(), instanceId, seconds);
}

int ControlPointPlayer::ChangeVolume(int instanceId, int delta) {
  return p_ChangeVolume(cp_.get(), udn_.c_str(), instanceId, delta);
}

PlayerLogic::PlayerLogic(std::unique_ptr<PlayerControl> control) : control_(std::move(control)) {}

PlayerView PlayerLogic::View(bool redraw) const {
  PlayerView v;
  v.playText = playText_;
  v.timeText = timeText_;
  v.rangeMax = rangeMax_;
  v.redraw = redraw;
  return v;
}

void PlayerLogic::SetDuration(int64_t duration) {
  rangeMax_ = duration;
  durationText_ = HoursMinutesSeconds(duration);
  timeText_ = durationText_;
}

PlayerView PlayerLogic::Start() {
  playText_ = "Pause";
  playing_ = true;
  instanceId_ = control_->GetCurrentConnectionID();
  int64_t duration = 0;
  control_->GetPositionInfo(instanceId_, &duration, nullptr);
  if (duration != 0) SetDuration(duration);
  // Some renderers resume where the item was left; the player starts it over.
  control_->Seek(instanceId_, 0);
  control_->Play(instanceId_);
  return View(true);
}

PlayerView PlayerLogic::Poll() {
  int64_t duration = 0, relTime = 0;
  bool learned = false;
  int rc;
  if (!durationText_.empty()) {
    rc = control_->GetPositionInfo(instanceId_, nullptr, &relTime);
  } else {
    // A renderer may know the duration only once the stream has begun.
    rc = control_->GetPositionInfo(instanceId_, &duration, &relTime);
    if (duration != 0) {
      SetDuration(duration);
      learned = true;
    }
  }
  // A single lost answer is common on Wi-Fi; only a run of them means the
  // renderer is gone.
  failures_ = rc != 0 ? failures_ + 1 : 0;
  if (rc != 0 || relTime == 0) {
    PlayerView v = View(learned);
    if (failures_ > 3) v.result = kPlayerRendererLost;
    return v;
  }
  timeText_ = HoursMinutesSeconds(relTime) + "/" + durationText_;
  PlayerView v = View(true);
  v.position = relTime;
  return v;
}

PlayerView PlayerLogic::TogglePlay() {
  if (playing_) {
    control_->Pause(instanceId_);
    playText_ = "Play";
  } else {
    control_->Play(instanceId_);
    playText_ = "Pause";
  }
  playing_ = !playing_;
  return View(true);
}

PlayerView PlayerLogic::Stop() {
  control_->Stop(instanceId_);
  playText_ = "Play";
  playing_ = false;
  return View(true);
}

PlayerView PlayerLogic::Close() {
  PlayerView v = Stop();
  v.result = kPlayerClosed;
  return v;
}

int PlayerLogic::SeekTo(int seconds) { return control_->Seek(instanceId_, seconds); }

int PlayerLogic::VolumeStep(int steps) { return control_->ChangeVolume(instanceId_, 10 * steps); }

}  // namespace tovaly::ui
