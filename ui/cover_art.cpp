#include "ui/cover_art.h"

#include <QBuffer>
#include <QImageReader>

#include <strings.h>

#include <cctype>

namespace tovaly::ui {

namespace {

// The host of an http URL, in lower case ("[::1]" for IPv6); empty for any
// other URL.
std::string HttpHost(const std::string& url) {
  static const char kScheme[] = "http://";
  if (url.size() < sizeof kScheme || strncasecmp(url.c_str(), kScheme, sizeof kScheme - 1) != 0) return std::string();
  const size_t start = sizeof kScheme - 1;
  const size_t end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (authority.find('@') != std::string::npos) return std::string();  // no user parts: they hide the host
  size_t hostEnd = authority.size();
  if (!authority.empty() && authority[0] == '[') {
    hostEnd = authority.find(']');
    if (hostEnd == std::string::npos) return std::string();
    ++hostEnd;
  } else if (const size_t colon = authority.find(':'); colon != std::string::npos) {
    hostEnd = colon;
  }
  std::string host = authority.substr(0, hostEnd);
  for (char& c : host) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return host;
}

constexpr qint64 kMaxPixels = 40ll * 1000 * 1000;

}  // namespace

bool CoverUrlAllowed(const std::string& coverUrl, const std::string& itemUrl) {
  const std::string host = HttpHost(coverUrl);
  return !host.empty() && host == HttpHost(itemUrl);
}

QImage DecodeCover(const QByteArray& bytes, int side) {
  if (bytes.isEmpty() || side <= 0 || static_cast<size_t>(bytes.size()) > kCoverMaxBytes) return QImage();
  QBuffer buffer;
  buffer.setData(bytes);
  buffer.open(QIODevice::ReadOnly);
  QImageReader reader(&buffer);
  reader.setAutoTransform(true);
  // The header's size first: a small file may claim a huge picture.
  const QSize size = reader.size();
  if (!size.isValid() || size.isEmpty() || static_cast<qint64>(size.width()) * size.height() > kMaxPixels)
    return QImage();
  reader.setAllocationLimit(static_cast<int>(kMaxPixels * 4 / (1024 * 1024)) + 1);
  // JPEG decodes straight to a smaller size; the rest are scaled after.
  if (size.width() > side || size.height() > side) reader.setScaledSize(size.scaled(side, side, Qt::KeepAspectRatio));
  QImage image = reader.read();
  if (image.isNull()) return image;
  if (image.width() > side || image.height() > side)
    image = image.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  return image;
}

}  // namespace tovaly::ui
