#pragma once
// Asks for the folder whose media are shared. The dialog only checks the
// folder; the host stores path() in the settings file after it is accepted.

#include <QDialog>
#include <QString>
#include <string>


class QLineEdit;

namespace tovaly::ui {

class CSetting : public QDialog {
  Q_OBJECT

 public:
  explicit CSetting(const QString& path, QWidget* parent = nullptr);

  // The path given, or the one accepted with OK.
  QString path() const { return path_; }

 public slots:
  // Takes the edited path (trimmed) only when it passes ContentFolderProblem;
  // otherwise shows the problem and stays open.
  void accept() override;

 protected:
  // A folder picked by the user; empty when cancelled.
  virtual QString ChooseFolder();
  virtual void ShowProblem(const QString& message);

 private:
  void Browse();

  QString path_;
  QLineEdit* edit_;
};

}  // namespace tovaly::ui
