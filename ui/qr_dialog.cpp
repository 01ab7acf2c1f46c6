#include "ui/qr_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QImage>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>
#include <algorithm>
#include <climits>
#include <cstdlib>

#include "core/singleton.h"

namespace tovaly::ui {
namespace {

// Keeps the modules per side far from overflow whatever is typed.
constexpr int kMaxMargin = 200;

// atoi without its undefined behaviour on overflow: leading blanks, a sign and
// digits; 0 when the text does not start with a number.
int LeadingInt(const QString& text) {
  const QByteArray bytes = text.toLatin1();
  const long v = std::strtol(bytes.constData(), nullptr, 10);
  return static_cast<int>(std::clamp<long>(v, INT_MIN, INT_MAX));
}

// Made first, the application context is destroyed after the settings.
QRSettings& SharedSettings() {
  tovaly::AppContext::Instance();
  return QRSettings::Instance();
}

}  // namespace

// Paints the symbol held into the largest square at its top-left, one colour
// per device pixel so the camera sees sharp module edges.
class QRPicture : public QWidget {
 public:
  explicit QRPicture(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("picture"));
    setMinimumSize(336, 225);
  }

  // encoder null: nothing to show.
  void Show(RefPtr<QREncoder> encoder, int margin) {
    encoder_ = std::move(encoder);
    margin_ = std::clamp(margin, 0, kMaxMargin);
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    const int n = encoder_ ? encoder_->Width() : 0;
    if (n <= 0) return;
    const qreal dpr = devicePixelRatioF();
    const int square = static_cast<int>(std::min(width(), height()) * dpr);
    if (square <= 0) return;
    const int side = n + 2 * margin_;
    const int module = std::max(1, square / side);
    const int extent = std::max(square, module * side);
    const int origin = (extent - module * side) / 2 + margin_ * module;

    // Drawn in device pixels, then put on screen 1:1 without any scaling.
    QImage image(extent, extent, QImage::Format_RGB32);
    image.fill(Qt::white);
    {
      QPainter p(&image);
      p.setRenderHint(QPainter::Antialiasing, false);
      for (int y = 0; y < n; ++y) {
        for (int x = 0; x < n; ++x) {
          if (encoder_->Dark(x, y)) p.fillRect(origin + x * module, origin + y * module, module, module, Qt::black);
        }
      }
    }
    image.setDevicePixelRatio(dpr);
    QPainter(this).drawImage(QPointF(0, 0), image);
  }

 private:
  RefPtr<QREncoder> encoder_;
  int margin_ = 0;
};

CQRImage::CQRImage(const QString& defaultText, QWidget* parent)
    : QDialog(parent), settings_(SharedSettings()), encoder_(new QREncoder) {
  setWindowTitle(QStringLiteral("QRCode"));

  picture_ = new QRPicture(this);
  pixelSize_ = new QLineEdit(this);
  pixelSize_->setObjectName(QStringLiteral("pixelSize"));
  margin_ = new QLineEdit(this);
  margin_->setObjectName(QStringLiteral("margin"));
  errorLevel_ = new QComboBox(this);
  errorLevel_->setObjectName(QStringLiteral("errorLevel"));
  errorLevel_->addItems(
      {QStringLiteral("L (lowest)"), QStringLiteral("M"), QStringLiteral("Q"), QStringLiteral("H (highest)")});
  text_ = new QLineEdit(this);
  text_->setObjectName(QStringLiteral("text"));

  auto* group = new QGroupBox(QStringLiteral("Setting"), this);
  auto* form = new QFormLayout(group);
  form->addRow(QStringLiteral("Pixel size:"), pixelSize_);
  form->addRow(QStringLiteral("Margin size:"), margin_);
  form->addRow(QStringLiteral("Error level:"), errorLevel_);
  form->addRow(text_);

  auto* buttons = new QDialogButtonBox(this);
  QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
  buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
  ok->setDefault(true);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(picture_, 1);
  layout->addWidget(group);
  layout->addWidget(buttons);

  errorLevel_->setCurrentIndex(0);
  text_->setText(defaultText);
  margin_->setText(QStringLiteral("3"));
  pixelSize_->setText(QStringLiteral("20"));
  Regenerate();

  for (QLineEdit* edit : {text_, pixelSize_, margin_}) {
    connect(edit, &QLineEdit::textChanged, this, &CQRImage::Regenerate);
  }
}

CQRImage::~CQRImage() = default;

void CQRImage::Regenerate() {
  const int level = errorLevel_->currentIndex();
  if (level >= 0 && level <= 3) settings_.level = level;
  settings_.pixelSize = LeadingInt(pixelSize_->text());
  settings_.margin = LeadingInt(margin_->text());
  settings_.text = text_->text().toStdString();
  valid_ = encoder_->Encode(settings_);
  symbolLevel_ = settings_.level;
  picture_->Show(valid_ ? encoder_ : nullptr, settings_.margin);
}

bool CQRImage::HasSymbol() const { return valid_ && encoder_->Width() > 0; }

int CQRImage::SymbolWidth() const { return HasSymbol() ? encoder_->Width() : 0; }

int CQRImage::SymbolLevel() const { return symbolLevel_; }

QString CQRImage::Text() const { return text_->text(); }

}  // namespace tovaly::ui
