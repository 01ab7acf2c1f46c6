#include "ui/qr_encoder.h"

namespace tovaly::ui {

QRSettings& QRSettings::Instance() {
  static QRSettings settings;
  return settings;
}

QREncoder::~QREncoder() { Free(); }

void QREncoder::Free() {
  if (code_) QRcode_free(code_);
  code_ = nullptr;
}

bool QREncoder::Encode(const QRSettings& s) {
  Free();
  if (s.text.empty()) return false;
  // Casting a value outside the enumerations would be undefined behaviour;
  // libqrencode itself refuses the in-range hints it does not take.
  if (s.level < QR_ECLEVEL_L || s.level > QR_ECLEVEL_H) return false;
  if (s.hint < QR_MODE_NUM || s.hint > QR_MODE_KANJI) return false;
  code_ = QRcode_encodeString(s.text.c_str(), s.version, static_cast<QRecLevel>(s.level),
                              static_cast<QRencodeMode>(s.hint), s.caseSensitive);
  return code_ != nullptr;
}

int QREncoder::Width() const { return code_ ? code_->width : 0; }

int QREncoder::Version() const { return code_ ? code_->version : 0; }

bool QREncoder::Dark(int x, int y) const {
  if (!code_ || x < 0 || y < 0 || x >= code_->width || y >= code_->width) return false;
  return (code_->data[y * code_->width + x] & 1) != 0;
}

}  // namespace tovaly::ui
