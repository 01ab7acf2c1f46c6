// The QR code and content folder dialogs, driven through their widgets on the
// offscreen platform.

#include <unistd.h>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <string>

#include "ui/qr_dialog.h"
#include "ui/qr_encoder.h"
#include "ui/setting_dialog.h"

using tovaly::ContentFolderProblem;
using tovaly::ui::CQRImage;
using tovaly::ui::CSetting;
using tovaly::ui::QREncoder;
using tovaly::ui::QRSettings;

namespace {

const char kUrl[] = "http://192.168.1.20:8200/description.xml";

QRSettings Options(const std::string& text, int level, int version = 0) {
  QRSettings s;
  s.text = text;
  s.level = level;
  s.version = version;
  return s;
}

// A folder path of exactly len bytes under base, made on disk.
QString MakeFolderOfLength(const QString& base, int len) {
  QString p = base;
  while (len - p.size() > 201) p += "/" + QString(200, 'd');
  p += "/" + QString(len - p.size() - 1, 'e');
  return QDir().mkpath(p) ? p : QString();
}

class TestSetting : public CSetting {
 public:
  using CSetting::CSetting;
  QString chosen;
  QStringList problems;

 protected:
  QString ChooseFolder() override { return chosen; }
  void ShowProblem(const QString& message) override { problems << message; }
};

QLineEdit* Edit(QWidget* dialog, const char* name) { return dialog->findChild<QLineEdit*>(name); }
void Click(QWidget* dialog, const char* name) { dialog->findChild<QPushButton*>(name)->click(); }

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void encoderSizesFollowLevelAndVersion() {
    QREncoder enc;
    QVERIFY(enc.Encode(Options("hello", 0)));
    QCOMPARE(enc.Version(), 1);
    QCOMPARE(enc.Width(), 21);
    // Top-left finder: dark outer ring, light inner ring, dark core, light separator.
    QVERIFY(enc.Dark(0, 0) && !enc.Dark(1, 1) && enc.Dark(3, 3) && !enc.Dark(7, 7));

    QVERIFY(enc.Encode(Options("hello", 0, 10)));
    QCOMPARE(enc.Width(), 57);
    int previous = 0;
    for (int level = 0; level <= 3; ++level) {
      QVERIFY(enc.Encode(Options(kUrl, level)));
      QCOMPARE(enc.Width(), 17 + 4 * enc.Version());
      QVERIFY(enc.Width() >= previous);
      previous = enc.Width();
    }
    QVERIFY(enc.Encode(Options(kUrl, 0)));
    QVERIFY(enc.Width() < previous);
  }

  void noSymbolForEmptyOrOverlongText() {
    QREncoder enc;
    QVERIFY(enc.Encode(Options(kUrl, 0)));
    QVERIFY(!enc.Encode(Options("", 0)));
    QCOMPARE(enc.Width(), 0);
    const std::string overlong(3000, 'x');  // more than version 40 holds at L
    QVERIFY(!enc.Encode(Options(overlong, 0)));
    QCOMPARE(enc.Width(), 0);

    CQRImage dlg(QString::fromStdString(overlong));
    QVERIFY(!dlg.HasSymbol());
    Edit(&dlg, "text")->setText(kUrl);
    QVERIFY(dlg.HasSymbol());
    Edit(&dlg, "text")->clear();
    QVERIFY(!dlg.HasSymbol() && dlg.SymbolWidth() == 0);
  }

  void levelAppliesWithTheNextEdit() {
    CQRImage dlg(kUrl);
    const int widthAtL = dlg.SymbolWidth();
    QVERIFY(widthAtL > 0);
    dlg.findChild<QComboBox*>("errorLevel")->setCurrentIndex(3);
    QCOMPARE(dlg.SymbolLevel(), 0);
    QCOMPARE(dlg.SymbolWidth(), widthAtL);

    Edit(&dlg, "margin")->setText("abc");
    QCOMPARE(dlg.SymbolLevel(), 3);
    QVERIFY(dlg.SymbolWidth() > widthAtL);
    QCOMPARE(QRSettings::Instance().margin, 0);
    Edit(&dlg, "pixelSize")->setText(" 12px");
    QCOMPARE(QRSettings::Instance().pixelSize, 12);
  }

  void eachOpeningStartsFromDefaults() {
    {
      CQRImage first(kUrl);
      first.findChild<QComboBox*>("errorLevel")->setCurrentIndex(2);
      Edit(&first, "margin")->setText("9");
      QCOMPARE(first.SymbolLevel(), 2);
    }
    CQRImage second("next");
    QCOMPARE(second.Text(), QString("next"));
    QCOMPARE(second.findChild<QComboBox*>("errorLevel")->currentIndex(), 0);
    QCOMPARE(second.SymbolLevel(), 0);
    QCOMPARE(QRSettings::Instance().margin, 3);
    QCOMPARE(QRSettings::Instance().pixelSize, 20);
  }

  void pictureHasSharpModulesAndQuietZone() {
    CQRImage dlg(kUrl);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QWidget* picture = dlg.findChild<QWidget*>("picture");
    const QImage img = picture->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const int square = std::min(img.width(), img.height());
    QVERIFY(img.width() > img.height());

    // The finder's top-left corner is the first dark pixel on the diagonal,
    // and its first row is 7 modules wide.
    int origin = 0;
    while (origin < square && img.pixel(origin, origin) != qRgb(0, 0, 0)) ++origin;
    QVERIFY(origin < square);
    int run = 0;
    while (img.pixel(origin + run, origin) == qRgb(0, 0, 0)) ++run;
    QVERIFY(run % 7 == 0);
    const int module = run / 7;
    QVERIFY(origin >= 3 * module);

    QREncoder enc;
    QVERIFY(enc.Encode(Options(kUrl, 0)));
    QCOMPARE(dlg.SymbolWidth(), enc.Width());
    QVERIFY(origin + enc.Width() * module <= square);
    for (int y = 0; y < square; ++y) {
      for (int x = 0; x < square; ++x) {
        const int mx = (x - origin) / module, my = (y - origin) / module;
        const bool inSymbol = x >= origin && y >= origin && mx < enc.Width() && my < enc.Width();
        const QRgb want = inSymbol && enc.Dark(mx, my) ? qRgb(0, 0, 0) : qRgb(255, 255, 255);
        if (img.pixel(x, y) != want) QFAIL(qPrintable(QString("pixel %1,%2 is off").arg(x).arg(y)));
      }
    }
  }

  void folderProblemsNameTheFault() {
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const std::string dir = tmp.path().toStdString();
    QFile file(tmp.filePath("song.mp3"));
    QVERIFY(file.open(QIODevice::WriteOnly));

    QCOMPARE(ContentFolderProblem(dir), std::string());
    QVERIFY(!ContentFolderProblem("").empty());
    const struct {
      std::string path, fault;
    } bad[] = {{dir + "/missing", "does not exist"},
               {dir + "/song.mp3", "not a folder"},
               {"music/albums", "not absolute"},
               {dir + "\n/etc", "control character"},
               {dir + " ", "blank"}};
    for (const auto& c : bad) {
      const std::string problem = ContentFolderProblem(c.path);
      QVERIFY2(problem.find(c.path) != std::string::npos, problem.c_str());
      QVERIFY2(problem.find(c.fault) != std::string::npos, problem.c_str());
    }
  }

  void folderPathLengthFitsTheSettingsFile() {
    QTemporaryDir tmp;
    if (tmp.path().size() > 250) QSKIP("temporary folder path too long");
    const QString fits = MakeFolderOfLength(tmp.path(), 259);
    const QString over = MakeFolderOfLength(tmp.path(), 260);
    QCOMPARE(fits.toUtf8().size(), 259);
    QCOMPARE(over.toUtf8().size(), 260);
    QCOMPARE(ContentFolderProblem(fits.toStdString()), std::string());
    const std::string problem = ContentFolderProblem(over.toStdString());
    QVERIFY2(problem.find("260 bytes") != std::string::npos, problem.c_str());
  }

  void unreadableFolderIsRefused() {
    if (geteuid() == 0) QSKIP("root reads every folder");
    QTemporaryDir tmp;
    const QString locked = tmp.filePath("locked");
    QVERIFY(QDir().mkdir(locked));
    QFile::setPermissions(locked, QFileDevice::Permissions());
    const std::string problem = ContentFolderProblem(locked.toStdString());
    QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QVERIFY2(problem.find("cannot be opened") != std::string::npos, problem.c_str());
  }

  void okWithBadPathStaysOpen() {
    QTemporaryDir tmp;
    TestSetting dlg(tmp.path());
    dlg.show();
    Edit(&dlg, "path")->setText(tmp.filePath("missing"));
    Click(&dlg, "ok");
    QCOMPARE(dlg.problems.size(), 1);
    QVERIFY(dlg.problems[0].contains(tmp.filePath("missing")));
    QVERIFY(dlg.isVisible() && dlg.result() != QDialog::Accepted);
    QCOMPARE(dlg.path(), tmp.path());
  }

  void browseThenCancelOrTypeAndAccept() {
    QTemporaryDir browsed, typed;
    TestSetting cancelled("/srv/media"), accepted("/srv/media");
    for (TestSetting* dlg : {&cancelled, &accepted}) {
      dlg->show();
      dlg->chosen = browsed.path();
      Click(dlg, "browse");
      dlg->chosen.clear();  // a cancelled browse leaves the edit alone
      Click(dlg, "browse");
      QCOMPARE(Edit(dlg, "path")->text(), browsed.path());
    }
    Click(&cancelled, "cancel");
    QCOMPARE(cancelled.result(), int(QDialog::Rejected));
    QCOMPARE(cancelled.path(), QString("/srv/media"));

    Edit(&accepted, "path")->clear();
    QTest::keyClicks(Edit(&accepted, "path"), "  " + typed.path() + " ");
    Click(&accepted, "ok");
    QVERIFY(accepted.problems.isEmpty());
    QCOMPARE(accepted.result(), int(QDialog::Accepted));
    QCOMPARE(accepted.path(), typed.path());
  }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
