#include "ui/setting_dialog.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "library/host_answers.h"

namespace tovaly::ui {

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
