#include "ui/setting_dialog.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QVBoxLayout>

#include "core/app_config.h"
#include "library/host_answers.h"

namespace tovaly::ui {

QString AutostartPath() {
  QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (!config.startsWith(QLatin1Char('/'))) config = QDir::homePath() + QStringLiteral("/.config");
  return config + QStringLiteral("/autostart/tovaly.desktop");
}

QByteArray AutostartEntry() {
  // The installed file first, so that the entry matches the installation.
  QFile installed(QString::fromStdString(util::AppConfig::ExecutableDir()) +
                  QStringLiteral("../share/tovaly/tovaly-autostart.desktop"));
  if (installed.open(QIODevice::ReadOnly)) {
    const QByteArray text = installed.readAll();
    if (!text.isEmpty()) return text;
  }
  QFile builtIn(QStringLiteral(":/data/tovaly-autostart.desktop"));
  return builtIn.open(QIODevice::ReadOnly) ? builtIn.readAll() : QByteArray();
}

QString SetAutostart(bool on) {
  const QString path = AutostartPath();
  if (!on) {
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink()) return QString();
    QFile file(path);
    return file.remove() ? QString()
                         : CSetting::tr("The autostart entry %1 could not be removed: %2.").arg(path, file.errorString());
  }
  const QByteArray entry = AutostartEntry();
  const QString dir = QFileInfo(path).path();
  QString why;
  if (entry.isEmpty()) {
    why = CSetting::tr("the program holds no autostart entry");
  } else if (!QDir().mkpath(dir)) {
    why = QFileInfo::exists(dir) ? CSetting::tr("%1 is not a folder").arg(dir)
                                 : CSetting::tr("the folder %1 could not be made").arg(dir);
  } else {
    QSaveFile file(path);  // a whole entry or none
    if (!file.open(QIODevice::WriteOnly) || file.write(entry) != entry.size() || !file.commit()) {
      why = file.errorString();
    }
  }
  return why.isEmpty() ? QString() : CSetting::tr("The autostart entry %1 could not be written: %2.").arg(path, why);
}

CSetting::CSetting(const QString& path, QWidget* parent) : QDialog(parent), path_(path) {
  setWindowTitle(QStringLiteral("Setting"));

  edit_ = new QLineEdit(path, this);
  edit_->setObjectName(QStringLiteral("path"));
  auto* browse = new QPushButton(QStringLiteral("Browse"), this);
  browse->setObjectName(QStringLiteral("browse"));
  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(QStringLiteral("ok"));
  ok->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  cancel->setObjectName(QStringLiteral("cancel"));
  connect(browse, &QPushButton::clicked, this, &CSetting::Browse);
  connect(ok, &QPushButton::clicked, this, &CSetting::accept);
  connect(cancel, &QPushButton::clicked, this, &CSetting::reject);
  autostart_ = new QCheckBox(tr("Start with my desktop session"), this);
  autostart_->setObjectName(QStringLiteral("autostart"));
  autostart_->setChecked(QFileInfo::exists(AutostartPath()));

  auto* row = new QHBoxLayout;
  row->addWidget(edit_, 1);
  row->addWidget(browse);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QStringLiteral("content path"), this));
  layout->addLayout(row);
  layout->addWidget(autostart_);
  layout->addLayout(buttons);
  resize(480, sizeHint().height());
}

void CSetting::accept() {
  const QString candidate = edit_->text().trimmed();
  const std::string problem = ContentFolderProblem(candidate.toStdString());
  if (!problem.empty()) {
    ShowProblem(QString::fromStdString(problem));
    return;
  }
  if (autostart_->isChecked() != QFileInfo::exists(AutostartPath())) {
    const QString failure = SetAutostart(autostart_->isChecked());
    if (!failure.isEmpty()) {
      ShowProblem(failure);
      return;
    }
  }
  path_ = candidate;
  QDialog::accept();
}

QString CSetting::ChooseFolder() {
  return QFileDialog::getExistingDirectory(this, QString::fromUtf8("请选择目录"), edit_->text().trimmed(),
                                           QFileDialog::ShowDirsOnly);
}

void CSetting::ShowProblem(const QString& message) { QMessageBox::warning(this, QStringLiteral("Setting"), message); }

void CSetting::Browse() {
  const QString folder = ChooseFolder();
  if (!folder.isEmpty()) edit_->setText(folder);
}

}  // namespace tovaly::ui
