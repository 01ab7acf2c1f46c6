// The desktop window with the real engines, on a real display with a
// notification area, against real peers. Run by the desktop interop test
// inside its private network; not a test on its own.
//
// Environment: E2E_SHOTS (a folder), E2E_RENDERER and E2E_PEER_SERVER (UDNs),
// TOVALY_META_HELPER (the program that reads the files' tags).
// Plays the first item of our own server's "Music" folder on the renderer
// (a tagged song with a cover: the player shows its title, artist and cover),
// then shows the QR code dialog, grabs it from the screen and reads it back
// with zbarimg. Screenshots of the three windows go to SHOTS_DIR.

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QProcess>
#include <QScreen>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QtTest>

#include "core/event_callback.h"
#include "library/catalog.h"
#include "library/host_answers.h"
#include "ui/main_window.h"
#include "ui/qr_dialog.h"

using namespace tovaly;
using namespace tovaly::ui;

namespace {

constexpr int kWaitMs = 40000;

QString Env(const char* name) { return qEnvironmentVariable(name); }

// What is on the screen there, as a person would see it.
QImage Grab(const QRect& r) {
  return QGuiApplication::primaryScreen()->grabWindow(0, r.x(), r.y(), r.width(), r.height()).toImage();
}

QTreeWidgetItem* Child(QTreeWidgetItem* parent, const QString& text) {
  for (int i = 0; parent && i < parent->childCount(); ++i)
    if (parent->child(i)->text(0) == text) return parent->child(i);
  return nullptr;
}

void DoubleClick(QTreeWidget* tree, QTreeWidgetItem* item) {
  tree->scrollToItem(item);
  const QPoint at = tree->visualItemRect(item).center();
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(tree->viewport(), Qt::LeftButton, {}, at);
}

}  // namespace

class DesktopEndToEnd : public QObject {
  Q_OBJECT

 private slots:
  void listsPlaysAndShowsTheCode() {
    const QString shots = Env("E2E_SHOTS");
    const std::string rendererUdn = Env("E2E_RENDERER").toStdString();
    const std::string peerUdn = Env("E2E_PEER_SERVER").toStdString();
    QTRY_VERIFY2_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), "no notification area on this display", kWaitMs);

    char udn[64] = "";
    TextRequest ownUdn{udn, sizeof udn};
    QVERIFY(AnswerDeviceUdn(&ownUdn));

    // What the listings say about the files, as the program has it.
    MediaCatalog catalog;
    SetMediaCatalog(&catalog);
    struct Unset {
      ~Unset() { SetMediaCatalog(nullptr); }
    } unset;
    COrlinDlg window(std::make_shared<StackEngines>(), true);
    window.Initialise();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    DeviceTrees& trees = window.trees();

    // Our own server, the peer server and the renderer.
    QTRY_VERIFY_WITH_TIMEOUT(trees.ServerId(udn) && trees.ServerId(peerUdn) && trees.RendererId(rendererUdn),
                             kWaitMs);
    QTreeWidgetItem* own = trees.Item(trees.ServerId(udn));
    QTRY_VERIFY_WITH_TIMEOUT(Child(own, "Music"), kWaitMs);
    window.serverTree()->expandItem(own);
    QTreeWidgetItem* music = Child(own, "Music");
    QTRY_VERIFY_WITH_TIMEOUT(music->childCount() > 0, kWaitMs);
    window.serverTree()->expandItem(music);
    window.serverTree()->expandItem(trees.Item(trees.ServerId(peerUdn)));
    window.rendererTree()->setCurrentItem(trees.Item(trees.RendererId(rendererUdn)));

    QSignalSpy opened(&window, &COrlinDlg::playerOpened);
    QSignalSpy states(&window, &COrlinDlg::transportStateChanged);
    DoubleClick(window.serverTree(), music->child(0));
    QTRY_COMPARE_WITH_TIMEOUT(opened.count(), 1, kWaitMs);
    QCOMPARE(opened.at(0).at(0).toString().toStdString(), rendererUdn);
    auto playing = [&] {
      for (const auto& s : states)
        if (s.at(0).toString().toStdString() == rendererUdn && s.at(1).toInt() == 1) return true;
      return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(playing(), kWaitMs);

    // The player follows the position.
    CPlayerDlg* player = window.player();
    QVERIFY(player);
    QVERIFY(QTest::qWaitForWindowExposed(player));
    auto* time = player->findChild<QLabel*>(QStringLiteral("time"));
    QVERIFY(time);
    const QRegularExpression moving(QStringLiteral("^00:00:0[2-9]/00:00:\\d\\d$"));
    QTRY_VERIFY_WITH_TIMEOUT(moving.match(time->text()).hasMatch(), kWaitMs);
    // What plays, as its tags name it, with the cover the server made of it.
    QCOMPARE(player->findChild<QLabel*>(QStringLiteral("itemTitle"))->text(), QStringLiteral("Morning Light"));
    QCOMPARE(player->findChild<QLabel*>(QStringLiteral("artist"))->text(), QStringLiteral("The Tovaly Ensemble"));
    QTRY_VERIFY_WITH_TIMEOUT(player->HasCover(), kWaitMs);
    player->raise();
    QTest::qWait(300);  // one frame after the raise, for the picture
    QVERIFY(Grab(player->frameGeometry()).save(shots + "/desktop-player.png"));
    player->close();
    QTRY_VERIFY_WITH_TIMEOUT(!window.player(), kWaitMs);
    QTest::qWait(300);
    QVERIFY(Grab(window.frameGeometry()).save(shots + "/desktop-main.png"));

    // The code of the phone page, read back from the screen, from the
    // dialog the QRCode button opens.
    QString shown, decoded, problem;
    QTimer::singleShot(0, this, [&] {
      auto* qr = qobject_cast<CQRImage*>(QApplication::activeModalWidget());
      if (!qr) return void(problem = "no QR code dialog");
      QWidget* picture = qr->findChild<QWidget*>(QStringLiteral("picture"));
      if (!QTest::qWaitForWindowExposed(qr) || !picture || !qr->HasSymbol()) return void(problem = "nothing shown");
      QTest::qWait(300);  // the first paint after exposure
      const QString grabbed = shots + "/qr-grabbed.png";
      Grab(qr->frameGeometry()).save(shots + "/desktop-qrcode.png");
      const QRect where(picture->mapToGlobal(QPoint(0, 0)), picture->size());
      if (!Grab(where).save(grabbed)) return void(problem = "cannot save the grab");
      QProcess zbar;
      zbar.start(QStringLiteral("zbarimg"), {QStringLiteral("--raw"), QStringLiteral("-q"), grabbed});
      zbar.waitForFinished(20000);
      decoded = QString::fromUtf8(zbar.readAllStandardOutput()).trimmed();
      shown = qr->Text();
      qr->accept();
    });
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("qrcode")), Qt::LeftButton);
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    QVERIFY2(shown.startsWith(QStringLiteral("http://192.0.2.1:")) && shown.endsWith('/'), qPrintable(shown));
    QCOMPARE(decoded, shown);
  }
};

QTEST_MAIN(DesktopEndToEnd)
#include "desktop_e2e.moc"
