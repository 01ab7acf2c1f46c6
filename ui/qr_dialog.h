#pragma once
// Shows the text given (normally the media server's address) as a QR symbol,
// with the error level and quiet zone adjustable. Made anew for each opening:
// what was entered last time does not carry over.

#include <QDialog>
#include <QString>

#include "core/refcount.h"
#include "ui/qr_encoder.h"

class QComboBox;
class QLineEdit;

namespace tovaly::ui {

class QRPicture;

class CQRImage : public QDialog {
  Q_OBJECT

 public:
  explicit CQRImage(const QString& defaultText, QWidget* parent = nullptr);
  ~CQRImage() override;

  bool HasSymbol() const;
  // Modules per side of the symbol shown; 0 when none.
  int SymbolWidth() const;
  // The error level (0..3, lowest to highest) the symbol shown was made at.
  int SymbolLevel() const;
  QString Text() const;

 private:
  // Reads the controls into the shared settings and encodes again. The error
  // level combo alone does not call it: a new level shows with the next edit.
  void Regenerate();

  QRSettings& settings_;
  RefPtr<QREncoder> encoder_;
  bool valid_ = false;
  int symbolLevel_ = 0;

  QRPicture* picture_;
  QLineEdit* pixelSize_;
  QLineEdit* margin_;
  QComboBox* errorLevel_;
  QLineEdit* text_;
};

}  // namespace tovaly::ui
