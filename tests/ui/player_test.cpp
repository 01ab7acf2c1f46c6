// The player against a scripted renderer: the logic driven step by step, and
// the dialog on the offscreen platform with its worker.
#include <QBuffer>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QThreadPool>
#include <QtTest>

#include <condition_variable>
#include <deque>
#include <mutex>

#include "ui/cover_art.h"
#include "ui/player_dialog.h"
#include "ui/player_logic.h"

using namespace tovaly::ui;

namespace {

struct Reply { int rc; int64_t duration, relTime; };
const Reply kFail{-1, 0, 0};

// The renderer's GetPositionInfo answers (in order, then `fallback`) and the
// calls it got, shared with the fake on the dialog's worker.
struct Script {
  std::mutex m;
  std::condition_variable cv;
  std::deque<Reply> replies;
  Reply fallback;
  QStringList calls;
  bool hold = false;  // GetPositionInfo blocks while set

  Script(std::initializer_list<Reply> r, Reply f) : replies(r), fallback(f) {}
  int Log(const QString& call) {
    std::lock_guard<std::mutex> lk(m);
    calls << call;
    return 0;
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

struct FakeControl : PlayerControl {
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
  int Seek(int id, int seconds) override { return s_->Log(QString("Seek %1 %2").arg(id).arg(seconds)); }
  int ChangeVolume(int id, int delta) override { return s_->Log(QString("ChangeVolume %1 %2").arg(id).arg(delta)); }
  const std::shared_ptr<Script> s_;
};

std::shared_ptr<Script> NewScript(std::initializer_list<Reply> replies, Reply fallback = {0, 0, 0}) {
  return std::make_shared<Script>(replies, fallback);
}

std::unique_ptr<PlayerControl> Fake(const std::shared_ptr<Script>& s) { return std::make_unique<FakeControl>(s); }

bool Idle(CPlayerDlg& dlg) { return QTest::qWaitFor([&] { return dlg.PendingJobs() == 0; }); }

QByteArray Picture(int width, int height, const char* format) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(Qt::blue);
  QBuffer out;
  out.open(QIODevice::WriteOnly);
  image.save(&out, format);
  return out.data();
}

}  // namespace

class PlayerTest : public QObject {
  Q_OBJECT
  QThreadPool network;  // the renderer's calls; waited for before the test ends

 private slots:
  void logicPollsShowTimeLearnDurationAndCountFailuresInARow() {
    const struct {
      int64_t duration, relTime;
      const char* text;
    } cases[] = {{5400, 3725, "01:02:05/01:30:00"}, {0, 7, "00:00:07/"}, {360000, 363599, "100:59:59/100:00:00"}};
    for (const auto& c : cases) {
      PlayerLogic logic(Fake(NewScript({{0, c.duration, 0}, {0, c.duration, c.relTime}})));
      logic.Start();
      const PlayerView v = logic.Poll();
      QCOMPARE(v.timeText.c_str(), c.text);
      QCOMPARE(v.position, std::optional<int64_t>(c.relTime));
    }
    auto s = NewScript({{0, 0, 0}, {0, 600, 0}, {0, 600, 5}, {0, 600, 0}, kFail, kFail, kFail, {0, 600, 10}}, kFail);
    PlayerLogic logic(Fake(s)), next(Fake(s));
    QCOMPARE(logic.Start().rangeMax, 0);
    PlayerView v = logic.Poll();
    QVERIFY(v.redraw && !v.position && v.rangeMax == 600 && v.timeText == "00:10:00");
    QCOMPARE(logic.Poll().timeText.c_str(), "00:00:05/00:10:00");
    for (int i = 0; i < 4; ++i) {  // position 0, then three failures
      v = logic.Poll();
      QVERIFY(!v.redraw && !v.position && v.timeText == "00:00:05/00:10:00" && v.result == kPlayerRunning);
    }
    QCOMPARE(logic.Poll().position, std::optional<int64_t>(10));
    QCOMPARE(s->Calls("GetPositionInfo 7 D"), QStringList({"GetPositionInfo 7 D", "GetPositionInfo 7 DR"}));
    next.Start();  // the count belongs to one logic instance
    for (PlayerLogic* l : {&logic, &next}) {
      int polls = 1;
      while (l->Poll().result != kPlayerRendererLost && polls < 10) ++polls;
      QCOMPARE(polls, 4);
    }
  }

  void dialogFollowsPollsAndUserInputUntilTheRendererIsLost() {
    auto s = NewScript({{0, 5400, 0}, {0, 5400, 3725}, {0, 5400, 3730}}, kFail);
    CPlayerDlg dlg("Living room", "uuid:renderer-1", Fake(s), &network);
    dlg.setPollInterval(0);
    auto* play = dlg.findChild<QPushButton*>("playPause");
    auto* time = dlg.findChild<QLabel*>("time");
    auto* slider = dlg.findChild<QSlider*>("position");
    QVERIFY(play->text() == "Play" && !play->isEnabled());  // until the renderer answers
    QTRY_VERIFY(play->isEnabled());
    QVERIFY(play->text() == "Pause" && time->text() == "01:30:00" && slider->maximum() == 5400);
    dlg.show();
    QSignalSpy finished(&dlg, &QDialog::finished);
    for (const char* text : {"01:02:05/01:30:00", "01:02:10/01:30:00"}) {  // the second while the user holds it
      QVERIFY(Idle(dlg));
      dlg.PollNow();
      QTRY_COMPARE(time->text(), text);
      QCOMPARE(slider->value(), 3725);
      slider->setSliderDown(true);
    }
    slider->setSliderPosition(120);  // a drag seeks on the release only
    slider->setSliderPosition(130);
    slider->setSliderDown(false);
    QTest::keyClick(slider, Qt::Key_Right);
    QTest::keyClick(&dlg, Qt::Key_Escape);  // stops, stays open
    QTRY_COMPARE(play->text(), "Play");
    QVERIFY(dlg.isVisible());
    QTest::keyClick(&dlg, Qt::Key_Return);
    QTRY_COMPARE(play->text(), "Pause");
    QTest::keyClick(dlg.findChild<QPushButton*>("stop"), Qt::Key_Enter, Qt::KeypadModifier);  // still Play/Pause
    QTRY_COMPARE(play->text(), "Play");
    QTest::mouseClick(dlg.findChild<QPushButton*>("volumeUp"), Qt::LeftButton);
    QTest::mouseClick(dlg.findChild<QPushButton*>("volumeDown"), Qt::LeftButton);
    QVERIFY(Idle(dlg));
    // Start plays from the beginning on the instance the renderer named.
    QCOMPARE(s->Calls().filter(QRegularExpression("^[^G]")),
             QStringList({"Seek 7 0", "Play 7", "Seek 7 130", "Seek 7 131", "Stop 7", "Play 7", "Pause 7",
                          "ChangeVolume 7 10", "ChangeVolume 7 -10"}));

    s->Hold(true);  // polls asked for while one is pending are skipped
    for (int i = 0; i < 3; ++i) dlg.PollNow();
    s->Hold(false);
    QVERIFY(Idle(dlg));
    QCOMPARE(s->Calls("GetPositionInfo").size(), 4);
    dlg.setPollInterval(5);  // every poll fails from the held one on
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished[0][0].toInt(), kPlayerRendererLost);
    QVERIFY(!dlg.isVisible() && Idle(dlg));
    QCOMPARE(s->Calls("GetPositionInfo").size(), 7);
  }

  // A cover only from the host that serves the item, over http, whatever
  // tricks the URL plays.
  void coversComeOnlyFromTheItemsHost() {
    const std::string item = "http://192.0.2.7:8200/MediaItems/1.mp3";
    const struct { const char* cover; bool allowed; } cases[] = {
        {"http://192.0.2.7:8200/AlbumArt/1.jpg", true},
        {"http://192.0.2.7/art?id=1", true},  // another port of the same host
        {"HTTP://192.0.2.7:9000/a.jpg", true},
        {"http://192.0.2.8:8200/AlbumArt/1.jpg", false},
        {"http://127.0.0.1:8200/AlbumArt/1.jpg", false},
        {"http://192.0.2.7@127.0.0.1/a.jpg", false},
        {"http://192.0.2.7.evil.example/a.jpg", false},
        {"https://192.0.2.7/a.jpg", false},
        {"file:///etc/passwd", false},
        {"http://", false},
    };
    for (const auto& c : cases) QVERIFY2(CoverUrlAllowed(c.cover, item) == c.allowed, c.cover);
    QVERIFY(CoverUrlAllowed("http://[fe80::1]:8200/a.jpg", "http://[FE80::1]:8200/b.mp3"));
    QVERIFY(!CoverUrlAllowed("http://[fe80::1]:8200/a.jpg", "http://[fe80::2]:8200/b.mp3"));
    QVERIFY(!CoverUrlAllowed("http://x/a.jpg", "ftp://x/b.mp3"));
  }

  // Any picture Qt reads, scaled into the square; nothing for what is not
  // one, is too large a file, or claims more pixels than a cover can need.
  void coversAreDecodedSmallAndBounded() {
    const struct { QByteArray bytes; QSize size; } cases[] = {
        {Picture(160, 160, "JPEG"), {96, 96}},
        {Picture(1000, 500, "PNG"), {96, 48}},
        {Picture(40, 60, "PNG"), {40, 60}},  // never enlarged
        {QByteArray("<html>not a picture</html>"), {0, 0}},
        {Picture(160, 160, "JPEG").left(200), {0, 0}},  // cut short
        {QByteArray(), {0, 0}},
    };
    for (const auto& c : cases) QCOMPARE(DecodeCover(c.bytes, 96).size(), c.size);
    // A JPEG whose frame header claims 60000 x 60000: refused unread.
    QByteArray huge = Picture(16, 16, "JPEG");
    const int sof = huge.indexOf(QByteArray("\xFF\xC0", 2));
    QVERIFY(sof > 0);
    huge[sof + 5] = huge[sof + 7] = static_cast<char>(0xEA);
    huge[sof + 6] = huge[sof + 8] = static_cast<char>(0x60);
    QVERIFY(DecodeCover(huge, 96).isNull());
    QByteArray large = Picture(160, 160, "BMP");
    large.append(QByteArray(static_cast<int>(kCoverMaxBytes) - large.size() + 1, '\0'));
    QVERIFY(DecodeCover(large, 96).isNull());
  }

  void dialogCoverKeepsItsAspect() {
    CPlayerDlg dlg("Living room", "uuid:renderer-1", Fake(NewScript({{0, 60, 0}})), &network);
    dlg.setPollInterval(0);
    auto* cover = dlg.findChild<QLabel*>("cover");
    const qint64 placeholder = cover->pixmap().cacheKey();
    dlg.SetCover(QImage());  // nothing came: the placeholder stays
    QCOMPARE(cover->pixmap().cacheKey(), placeholder);
    QImage wide(400, 200, QImage::Format_RGB32);
    wide.fill(Qt::green);
    dlg.SetCover(wide);
    QCOMPARE(cover->pixmap().deviceIndependentSize().toSize(), QSize(96, 48));
    QVERIFY(Idle(dlg));
  }

  void dialogCloseStopsEvenIfDeletedAtOnce() {
    for (bool byHost : {false, true}) {
      auto s = NewScript({{0, 5400, 0}});
      auto dlg = std::make_unique<CPlayerDlg>("Living room", "uuid:renderer-1", Fake(s), &network);
      dlg->setPollInterval(0);
      dlg->show();
      QTRY_VERIFY(dlg->findChild<QPushButton*>("playPause")->isEnabled());
      QVERIFY(Idle(*dlg));
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
  }
};

QTEST_MAIN(PlayerTest)
#include "player_test.moc"