#pragma once
// Asks for the folder whose media are shared, and whether the program starts
// with the desktop session. The dialog only checks the folder; the host stores
// path() in the settings file after it is accepted. The autostart entry is
// written or removed by the dialog itself when OK is pressed.

#include <QByteArray>
#include <QDialog>
#include <QString>
#include <string>


class QCheckBox;
class QLineEdit;

namespace tovaly::ui {

// The XDG autostart entry that starts the icon with the desktop session:
// $XDG_CONFIG_HOME/autostart/tovaly.desktop (an absolute $XDG_CONFIG_HOME,
// else ~/.config).
QString AutostartPath();
// Its text: the installed autostart entry (PREFIX/share/tovaly beside the
// program's PREFIX/bin) when there is one, else the same file built in.
QByteArray AutostartEntry();
// Writes (on) or removes (off) the entry; "" or why it could not.
QString SetAutostart(bool on);

class CSetting : public QDialog {
  Q_OBJECT

 public:
  explicit CSetting(const QString& path, QWidget* parent = nullptr);

  // The path given, or the one accepted with OK.
  QString path() const { return path_; }

 public slots:
  // Takes the edited path (trimmed) only when it passes ContentFolderProblem
  // and the autostart entry could be written or removed as the check box
  // asks; otherwise shows the problem and stays open, and nothing changes.
  void accept() override;

 protected:
  // A folder picked by the user; empty when cancelled.
  virtual QString ChooseFolder();
  virtual void ShowProblem(const QString& message);

 private:
  void Browse();

  QString path_;
  QLineEdit* edit_;
  QCheckBox* autostart_;
};

}  // namespace tovaly::ui
