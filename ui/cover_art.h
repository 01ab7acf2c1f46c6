#pragma once
// The cover the player shows: where it may come from, and the picture made
// from what came, small and bounded whatever another server sends.

#include <QByteArray>
#include <QImage>

#include <cstddef>
#include <string>

namespace tovaly::ui {

// What a server may send for one cover (servers make them 160 pixels wide;
// a whole photo still fits).
constexpr size_t kCoverMaxBytes = 512 * 1024;

// Whether the cover of an item may be fetched: an http URL on the host that
// serves the item itself, so that a server cannot make the desktop ask
// another machine (or this one) for anything.
bool CoverUrlAllowed(const std::string& coverUrl, const std::string& itemUrl);

// The picture at most side x side (aspect kept); null for anything that is
// not a picture Qt reads, or one of more than 40 megapixels, which is not
// decoded at all.
QImage DecodeCover(const QByteArray& bytes, int side);

}  // namespace tovaly::ui
