// The player against a scripted renderer: the logic driven step by step, and
// the dialog on the offscreen platform with its worker.
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QtTest>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "ui/player_dialog.h"
#include "ui/player_logic.h"

using namespace tovaly::ui;

namespace {

struct Reply {
  int rc;
  int64_t duration, relTime;
};
const Reply kFail{-1, 0, 0};

// The renderer's answers and the calls it got, shared with the fake that runs on the dialog's worker.
struct Script {
  std::mutex m;
  std::condition_variable cv;
  std::deque<Reply> replies;  // GetPositionInfo answers in order, then `fallback`
  Reply fallback{0, 0, 0};
  QStringList calls;
  bool hold = false;  // GetPositionInfo blocks while set

  void Log(const QString& call) {
    std::lock_guard<std::mutex> lk(m);
    calls << call;
  }
  QStringList Calls(const QString& prefix = {}) {
    std::lock_guard<std::mutex> lk(m);
    return calls.filter(QRegularExpression("^" + prefix));
  }
  void Hold(bool on) {
    std::lock_guard<std::mutex> lk(m);
    hold = on;
    cv.notify_all();
  }
};

class FakeControl : public PlayerControl {
 public:
  explicit FakeControl(std::shared_ptr<Script> s) : s_(std::move(s)) {}
  int GetCurrentConnectionID() override { return s_->Log("GetCurrentConnectionID"), 7; }
  int GetPositionInfo(int id, int64_t* duration, int64_t* relTime) override {
    std::unique_lock<std::mutex> lk(s_->m);
    s_->calls << QString("GetPositionInfo %1 %2%3").arg(id).arg(duration ? "D" : "", relTime ? "R" : "");
    s_->cv.wait(lk, [&] { return !s_->hold; });
    const Reply r = s_->replies.empty() ? s_->fallback : s_->replies.front();
    if (!s_->replies.empty()) s_->replies.pop_front();
    if (r.rc == 0 && duration) *duration = r.duration;
    if (r.rc == 0 && relTime) *relTime = r.relTime;
    return r.rc;
  }
  void Play(int id) override { s_->Log(QString("Play %1").arg(id)); }
  void Pause(int id) override { s_->Log(QString("Pause %1").arg(id)); }
  void Stop(int id) override { s_->Log(QString("Stop %1").arg(id)); }
  int Seek(int id, int seconds) override { return s_->Log(QString("Seek %1 %2").arg(id).arg(seconds)), 0; }
  int ChangeVolume(int id, int delta) override {
    return s_->Log(QString("ChangeVolume %1 %2").arg(id).arg(delta)), 50;
  }

 private:
  std::shared_ptr<Script> s_;
};

std::shared_ptr<Script> NewScript(std::initializer_list<Reply> replies, Reply fallback = {0, 0, 0}) {
  auto s = std::make_shared<Script>();
  s->replies.assign(replies);
  s->fallback = fallback;
  return s;
}

std::unique_ptr<PlayerControl> Fake(const std::shared_ptr<Script>& s) { return std::make_unique<FakeControl>(s); }

// The number of polls until the renderer counts as lost.
int PollsUntilLost(PlayerLogic& logic) {
  for (int n = 1; n <= 10; ++n)
    if (logic.Poll().result == kPlayerRendererLost) return n;
  return -1;
}

bool Idle(CPlayerDlg& dlg) { return QTest::qWaitFor([&] { return dlg.PendingJobs() == 0; }); }

// A shown dialog whose Start has been answered, polled only by the test.
std::unique_ptr<CPlayerDlg> OpenStarted(const std::shared_ptr<Script>& s) {
  auto dlg = std::make_unique<CPlayerDlg>("Living room", "uuid:renderer-1", Fake(s));
  dlg->setPollInterval(0);
  dlg->show();
  auto* play = dlg->findChild<QPushButton*>("playPause");
  return QTest::qWaitFor([&] { return play->isEnabled(); }) && Idle(*dlg) ? std::move(dlg) : nullptr;
}

}  // namespace

class PlayerTest : public QObject {
  Q_OBJECT

 private slots:
  void logicStartThenCommandsOnTheInstance() {
    auto s = NewScript({{0, 5400, 0}});
    PlayerLogic logic(Fake(s));
    PlayerView v = logic.Start();
    QCOMPARE(s->Calls(), QStringList({"GetCurrentConnectionID", "GetPositionInfo 7 D", "Seek 7 0", "Play 7"}));
    QCOMPARE(v.playText.c_str(), "Pause");
    QCOMPARE(v.timeText.c_str(), "01:30:00");
    QCOMPARE(v.rangeMax, 5400);
    QCOMPARE(logic.TogglePlay().playText.c_str(), "Play");
    QCOMPARE(logic.TogglePlay().playText.c_str(), "Pause");
    QCOMPARE(logic.Stop().playText.c_str(), "Play");
    QCOMPARE(logic.TogglePlay().playText.c_str(), "Pause");
    v = logic.Close();
    QVERIFY(v.playText == "Play" && v.result == kPlayerClosed);
    logic.SeekTo(95);
    logic.VolumeStep(1);
    logic.VolumeStep(-1);
    QCOMPARE(s->Calls().mid(4), QStringList({"Pause 7", "Play 7", "Stop 7", "Play 7", "Stop 7", "Seek 7 95",
                                             "ChangeVolume 7 10", "ChangeVolume 7 -10"}));
  }

  void logicTimeText_data() {
    QTest::addColumn<qint64>("duration");
    QTest::addColumn<qint64>("relTime");
    QTest::addColumn<QString>("text");
    QTest::newRow("known duration") << qint64(5400) << qint64(3725) << "01:02:05/01:30:00";
    QTest::newRow("unknown duration") << qint64(0) << qint64(7) << "00:00:07/";
    QTest::newRow("100 hours and more") << qint64(360000) << qint64(363599) << "100:59:59/100:00:00";
  }
  void logicTimeText() {
    QFETCH(qint64, duration);
    QFETCH(qint64, relTime);
    QFETCH(QString, text);
    PlayerLogic logic(Fake(NewScript({{0, duration, 0}, {0, duration, relTime}})));
    logic.Start();
    PlayerView v = logic.Poll();
    QCOMPARE(QString::fromStdString(v.timeText), text);
    QCOMPARE(v.position, std::optional<int64_t>(relTime));
  }

  void logicDurationLearnedLaterAndEmptyPolls() {
    auto s = NewScript({{0, 0, 0}, {0, 600, 0}, {0, 600, 5}, {0, 600, 0}, kFail});
    PlayerLogic logic(Fake(s));
    QCOMPARE(logic.Start().rangeMax, 0);
    PlayerView v = logic.Poll();
    QVERIFY(v.redraw && !v.position);
    QCOMPARE(v.rangeMax, 600);
    QCOMPARE(v.timeText.c_str(), "00:10:00");
    QCOMPARE(logic.Poll().timeText.c_str(), "00:00:05/00:10:00");
    for (const char* poll : {"position 0", "failed"}) {
      v = logic.Poll();
      QVERIFY2(!v.redraw && !v.position, poll);
      QCOMPARE(v.timeText.c_str(), "00:00:05/00:10:00");
    }
    QCOMPARE(s->Calls("GetPositionInfo"), QStringList({"GetPositionInfo 7 D", "GetPositionInfo 7 DR",
                                                       "GetPositionInfo 7 R", "GetPositionInfo 7 R",
                                                       "GetPositionInfo 7 R"}));
  }

  void logicFailuresInARowLoseTheRenderer() {
    auto s = NewScript({{0, 5400, 0}, kFail, kFail, kFail, {0, 5400, 10}}, kFail);
    PlayerLogic logic(Fake(s));
    logic.Start();
    for (int i = 0; i < 3; ++i) QCOMPARE(logic.Poll().result, kPlayerRunning);
    QCOMPARE(logic.Poll().position, std::optional<int64_t>(10));
    QCOMPARE(PollsUntilLost(logic), 4);
    // The count belongs to one dialog: the next one starts from zero.
    PlayerLogic next(Fake(s));
    next.Start();
    QCOMPARE(PollsUntilLost(next), 4);
  }

  void dialogStartThenPollsMoveTheSliderWithoutSeeking() {
    auto s = NewScript({{0, 5400, 0}, {0, 5400, 3725}, {0, 5400, 3730}});
    CPlayerDlg dlg("Living room", "uuid:renderer-1", Fake(s));
    dlg.setPollInterval(0);
    auto* play = dlg.findChild<QPushButton*>("playPause");
    auto* time = dlg.findChild<QLabel*>("time");
    auto* slider = dlg.findChild<QSlider*>("position");
    QVERIFY(play->text() == "Play" && !play->isEnabled());  // until the renderer answers
    QTRY_COMPARE(play->text(), "Pause");
    QVERIFY(play->isEnabled());
    QCOMPARE(time->text(), "01:30:00");
    QCOMPARE(slider->maximum(), 5400);
    QCOMPARE(dlg.windowTitle(), "Living room");
    QVERIFY(Idle(dlg));
    dlg.PollNow();
    QTRY_COMPARE(time->text(), "01:02:05/01:30:00");
    QCOMPARE(slider->value(), 3725);
    // While the user holds the slider a poll updates the text only.
    slider->setSliderDown(true);
    QVERIFY(Idle(dlg));
    dlg.PollNow();
    QTRY_COMPARE(time->text(), "01:02:10/01:30:00");
    QCOMPARE(slider->value(), 3725);
    QVERIFY(Idle(dlg));
    QCOMPARE(s->Calls("Seek"), QStringList({"Seek 7 0"}));
  }

  void dialogUserInput() {
    auto s = NewScript({{0, 5400, 0}});
    auto dlg = OpenStarted(s);
    QVERIFY(dlg);
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    auto* play = dlg->findChild<QPushButton*>("playPause");
    auto* slider = dlg->findChild<QSlider*>("position");
    slider->setSliderDown(true);
    slider->setSliderPosition(120);  // a drag sends nothing until the release
    slider->setSliderPosition(130);
    slider->setSliderDown(false);
    QTest::keyClick(slider, Qt::Key_Right);
    QTest::keyClick(dlg.get(), Qt::Key_Escape);  // stops, stays open
    QTRY_COMPARE(play->text(), "Play");
    QVERIFY(dlg->isVisible());
    QTest::keyClick(dlg.get(), Qt::Key_Return);
    QTRY_COMPARE(play->text(), "Pause");
    // Enter on the Stop button still means Play/Pause.
    QTest::keyClick(dlg->findChild<QPushButton*>("stop"), Qt::Key_Enter, Qt::KeypadModifier);
    QTRY_COMPARE(play->text(), "Play");
    QTest::mouseClick(dlg->findChild<QPushButton*>("volumeUp"), Qt::LeftButton);
    QVERIFY(Idle(*dlg));
    QCOMPARE(s->Calls().mid(4), QStringList({"Seek 7 130", "Seek 7 131", "Stop 7", "Play 7", "Pause 7",
                                             "ChangeVolume 7 10"}));
    QCOMPARE(finished.count(), 0);
  }

  void dialogPollsSkippedWhileBusyAndFourthFailureLosesRenderer() {
    auto s = NewScript({{0, 5400, 0}}, kFail);
    auto dlg = OpenStarted(s);
    QVERIFY(dlg);
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    s->Hold(true);
    for (int i = 0; i < 3; ++i) dlg->PollNow();
    s->Hold(false);
    QVERIFY(Idle(*dlg));
    QCOMPARE(s->Calls("GetPositionInfo").size(), 2);
    dlg->setPollInterval(5);  // the timer polls on to the fourth failure
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished[0][0].toInt(), kPlayerRendererLost);
    QVERIFY(!dlg->isVisible());
    QVERIFY(Idle(*dlg));
    QCOMPARE(s->Calls("GetPositionInfo").size(), 5);
  }

  void dialogCloseStopsEvenIfDeletedAtOnce_data() {
    QTest::addColumn<bool>("byHost");
    QTest::newRow("title bar") << false;
    QTest::newRow("end of playback") << true;
  }
  void dialogCloseStopsEvenIfDeletedAtOnce() {
    QFETCH(bool, byHost);
    auto s = NewScript({{0, 5400, 0}});
    auto dlg = OpenStarted(s);
    QVERIFY(dlg);
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    s->Hold(true);
    dlg->PollNow();  // the worker is busy when the dialog goes
    byHost ? dlg->CloseForPlaybackEnd() : void(dlg->close());
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished[0][0].toInt(), kPlayerClosed);
    dlg.reset();
    s->Hold(false);
    QTRY_COMPARE(s->Calls().last(), "Stop 7");
  }
};

QTEST_MAIN(PlayerTest)
#include "player_test.moc"
