#pragma once
// QR symbols for the address of this machine's media server, so a phone can
// open it by camera. Regular QR only, through libqrencode.

#include <qrencode.h>

#include <string>

#include "core/refcount.h"

namespace tovaly::ui {

// Encoder options shared by every QR dialog of the process. Only the GUI
// thread touches them.
struct QRSettings {
  int caseSensitive = 1;
  int version = 0;  // 0: the smallest version the text fits in
  int pixelSize = 3;
  int margin = -1;  // modules of quiet zone; negative counts as none
  int level = 0;    // QR_ECLEVEL_L..QR_ECLEVEL_H
  int hint = 2;     // QR_MODE_8
  std::string text;

  // The process-wide instance, made on first use.
  static QRSettings& Instance();
};

// Holds the last symbol made, or none.
class QREncoder : public tovaly::RefCountImpl {
 public:
  QREncoder() = default;
  ~QREncoder() override;

  // Drops the symbol held, then encodes settings.text. False, holding none,
  // when the text is empty, an option is out of range or the text does not
  // fit the largest version at that level.
  bool Encode(const QRSettings& settings);

  // Modules per side; 0 when none is held.
  int Width() const;
  int Version() const;
  // Whether the module in column x, row y is dark; x and y in 0..Width()-1.
  bool Dark(int x, int y) const;

 private:
  void Free();

  QRcode* code_ = nullptr;
};

}  // namespace tovaly::ui
