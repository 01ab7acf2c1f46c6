// The QR code and setting dialogs, driven through their widgets on the
// offscreen platform.
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>
#include <algorithm>
#include <string>

#include "ui/qr_dialog.h"
#include "ui/qr_encoder.h"
#include "library/host_answers.h"
#include "ui/setting_dialog.h"

using tovaly::ContentFolderProblem;
using namespace tovaly::ui;

namespace {

const char kUrl[] = "http://192.168.1.20:8200/description.xml";

QRSettings Options(const std::string& text, int level, int version = 0) {
  QRSettings s;
  s.text = text, s.level = level, s.version = version;
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
QCheckBox* Box(const QWidget& dialog, const char* name) { return dialog.findChild<QCheckBox*>(name); }
QCheckBox* Box(QWidget* dialog, const char* name) { return Box(*dialog, name); }

// Sets an environment variable (unset when value is null) until the end of
// the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const QByteArray& value) : name_(name), had_(qEnvironmentVariableIsSet(name)) {
    old_ = qgetenv(name);
    value.isNull() ? qunsetenv(name) : qputenv(name, value);
  }
  ~ScopedEnv() { had_ ? qputenv(name_, old_) : qunsetenv(name_); }

 private:
  const char* name_;
  bool had_;
  QByteArray old_;
};

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
void Click(QWidget* dialog, const char* name) { dialog->findChild<QPushButton*>(name)->click(); }

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void encoderSizeFollowsVersion() {
    QREncoder enc;
    QVERIFY(enc.Encode(Options("hello", 0)));
    QCOMPARE(enc.Width(), 21);
    // Top-left finder: dark outer ring, light inner ring, dark core, light separator.
    QVERIFY(enc.Dark(0, 0) && !enc.Dark(1, 1) && enc.Dark(3, 3) && !enc.Dark(7, 7));
    QVERIFY(enc.Encode(Options("hello", 0, 10)));
    QCOMPARE(enc.Width(), 57);
    for (const std::string& text : {std::string(), std::string(3000, 'x')}) {  // 3000 is beyond version 40 at L
      QVERIFY(!enc.Encode(Options(text, 0)));
      QCOMPARE(enc.Width(), 0);
    }
  }

  void qrDialogRegeneratesOnEditsStartsFromDefaultsAndDrawsCrisply() {
    {
      CQRImage dlg(QString(3000, 'x'));
      QVERIFY(!dlg.HasSymbol());
      Edit(&dlg, "text")->setText(kUrl);
      const int widthAtL = dlg.SymbolWidth();
      QVERIFY(dlg.HasSymbol() && widthAtL > 0);
      dlg.findChild<QComboBox*>("errorLevel")->setCurrentIndex(3);
      QVERIFY(dlg.SymbolLevel() == 0 && dlg.SymbolWidth() == widthAtL);
      Edit(&dlg, "margin")->setText("abc");
      QVERIFY(dlg.SymbolLevel() == 3 && dlg.SymbolWidth() > widthAtL);
      QCOMPARE(QRSettings::Instance().margin, 0);
      Edit(&dlg, "pixelSize")->setText(" 12px");
      QCOMPARE(QRSettings::Instance().pixelSize, 12);
      Edit(&dlg, "text")->clear();
      QVERIFY(!dlg.HasSymbol() && dlg.SymbolWidth() == 0);
    }
    CQRImage dlg(kUrl);
    QCOMPARE(dlg.SymbolLevel(), 0);
    QVERIFY(QRSettings::Instance().margin == 3 && QRSettings::Instance().pixelSize == 20);

    // The picture: crisp modules in a quiet zone of at least 3 modules.
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    const QImage img = dlg.findChild<QWidget*>("picture")->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const int square = std::min(img.width(), img.height());
    // The finder's corner is the first dark pixel on the diagonal; its first row is 7 modules wide.
    int origin = 0, run = 0;
    while (origin < square && img.pixel(origin, origin) != qRgb(0, 0, 0)) ++origin;
    QVERIFY(origin < square);
    while (img.pixel(origin + run, origin) == qRgb(0, 0, 0)) ++run;
    const int module = run / 7;
    QVERIFY(run % 7 == 0 && origin >= 3 * module);

    QREncoder enc;
    QVERIFY(enc.Encode(Options(kUrl, 0)));
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
    QVERIFY(tmp.isValid() && tmp.path().size() <= 250);
    const std::string dir = tmp.path().toStdString();
    const std::string fits = MakeFolderOfLength(tmp.path(), 259).toStdString();
    const std::string over = MakeFolderOfLength(tmp.path(), 260).toStdString();
    QVERIFY(fits.size() == 259 && over.size() == 260);
    const std::string file = QCoreApplication::applicationFilePath().toStdString();
    std::vector<std::pair<std::string, std::string>> cases = {
        {dir, ""}, {fits, ""}, {"", "No content folder"}, {over, "260 bytes"}, {dir + "/missing", "does not exist"},
        {file, "not a folder"}, {"music/albums", "not absolute"}, {dir + "\n/etc", "control character"},
        {dir + " ", "blank"}};
    const QString locked = tmp.filePath("locked");
    QVERIFY(QDir().mkdir(locked) && QFile::setPermissions(locked, QFileDevice::Permissions()));
    const auto unlock =
        qScopeGuard([&] { QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner); });
    if (geteuid() != 0) cases.push_back({locked.toStdString(), "cannot be opened"});  // root reads every folder
    for (const auto& [path, fault] : cases) {
      const std::string problem = ContentFolderProblem(path);
      QVERIFY2(fault.empty() ? problem.empty() : problem.find(path) != std::string::npos, problem.c_str());
      QVERIFY2(problem.find(fault) != std::string::npos, problem.c_str());
    }
  }

  void settingTakesOnlyAGoodPath() {
    QTemporaryDir browsed, typed;
    TestSetting dlg("/srv/media");
    dlg.show();
    Edit(&dlg, "path")->setText(browsed.filePath("missing"));
    Click(&dlg, "ok");  // shows the problem and stays open
    QCOMPARE(dlg.problems.size(), 1);
    QVERIFY(dlg.problems[0].contains(browsed.filePath("missing")));
    QVERIFY(dlg.isVisible() && dlg.result() != QDialog::Accepted && dlg.path() == "/srv/media");
    dlg.chosen = browsed.path();
    Click(&dlg, "browse");
    dlg.chosen.clear();  // a cancelled browse leaves the edit alone
    Click(&dlg, "browse");
    QCOMPARE(Edit(&dlg, "path")->text(), browsed.path());
    Edit(&dlg, "path")->clear();
    QTest::keyClicks(Edit(&dlg, "path"), "  " + typed.path() + " ");
    Click(&dlg, "ok");
    QVERIFY(dlg.problems.size() == 1 && dlg.result() == QDialog::Accepted);
    QCOMPARE(dlg.path(), typed.path());

    dlg.show();
    dlg.chosen = browsed.path();
    Click(&dlg, "browse");
    Click(&dlg, "cancel");
    QVERIFY(dlg.result() == QDialog::Rejected && dlg.path() == typed.path());
  }

  // The check box writes the XDG autostart entry at OK and removes it again;
  // it shows whether the entry is there, also where only HOME is set. Its
  // text is translated.
  void autostartFollowsTheCheckBox() {
    QTemporaryDir folder, home, config;
    QTranslator chinese;
    QVERIFY(chinese.load(QLocale(QLocale::Chinese, QLocale::China), "tovaly", "_", ":/i18n"));
    QCoreApplication::installTranslator(&chinese);
    QCOMPARE(Box(TestSetting(folder.path()), "autostart")->text(), QString("随桌面会话启动"));
    QCoreApplication::removeTranslator(&chinese);
    for (const bool xdg : {true, false}) {
      const ScopedEnv homeEnv("HOME", home.path().toLocal8Bit());
      const ScopedEnv configEnv("XDG_CONFIG_HOME", xdg ? config.path().toLocal8Bit() : QByteArray("relative/ignored"));
      const QString entry = (xdg ? config.path() : home.path() + "/.config") + "/autostart/tovaly.desktop";
      {
        TestSetting dlg(folder.path());
        QVERIFY(!Box(&dlg, "autostart")->isChecked());
        Click(&dlg, "ok");  // unchanged: nothing written
        QVERIFY(dlg.result() == QDialog::Accepted && !QFileInfo::exists(QFileInfo(entry).path()));
      }
      {
        TestSetting dlg(folder.path());
        Box(&dlg, "autostart")->setChecked(true);
        QVERIFY(QFileInfo::exists(entry) == false);  // only at OK
        Click(&dlg, "ok");
        QVERIFY2(dlg.problems.isEmpty() && dlg.result() == QDialog::Accepted, qPrintable(dlg.problems.join("\n")));
      }
      const QByteArray text = ReadAll(entry);
      QVERIFY2(text.startsWith("[Desktop Entry]\n") && text.contains("\nExec=tovaly\n"), text.constData());
      {
        TestSetting dlg(folder.path());
        QVERIFY(Box(&dlg, "autostart")->isChecked());
        Box(&dlg, "autostart")->setChecked(false);
        Click(&dlg, "cancel");  // nothing changes
        QVERIFY(QFileInfo::exists(entry));
      }
      TestSetting dlg(folder.path());
      Box(&dlg, "autostart")->setChecked(false);
      Click(&dlg, "ok");
      QVERIFY(dlg.result() == QDialog::Accepted && !QFileInfo::exists(entry));
      QVERIFY(!Box(TestSetting(folder.path()), "autostart")->isChecked());
    }
  }

  // An entry that cannot be written or removed is shown, and the dialog
  // takes nothing: the folder stays as it was and so does the entry.
  void autostartFailureChangesNothing() {
    QTemporaryDir folder, other, config;
    const ScopedEnv configEnv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    const QString dir = config.filePath("autostart"), entry = dir + "/tovaly.desktop";
    QVERIFY(QFile(dir).open(QIODevice::WriteOnly));  // a file where the folder belongs
    {
      TestSetting dlg(folder.path());
      dlg.show();
      Edit(&dlg, "path")->setText(other.path());
      Box(&dlg, "autostart")->setChecked(true);
      Click(&dlg, "ok");
      QCOMPARE(dlg.problems.size(), 1);
      QVERIFY2(dlg.problems[0].contains(entry) && dlg.problems[0].contains("not a folder"), qPrintable(dlg.problems[0]));
      QVERIFY(dlg.isVisible() && dlg.result() != QDialog::Accepted && dlg.path() == folder.path());
    }
    // An entry that is a folder with something in it cannot be removed.
    QVERIFY(QFile::remove(dir) && QDir().mkpath(entry + "/kept"));
    TestSetting dlg(folder.path());
    dlg.show();
    QVERIFY(Box(&dlg, "autostart")->isChecked());
    Box(&dlg, "autostart")->setChecked(false);
    Click(&dlg, "ok");
    QCOMPARE(dlg.problems.size(), 1);
    QVERIFY2(dlg.problems[0].contains(entry) && dlg.problems[0].contains("removed"), qPrintable(dlg.problems[0]));
    QVERIFY(dlg.isVisible() && dlg.result() != QDialog::Accepted && QFileInfo(entry + "/kept").isDir());
  }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"