#pragma once
// The directory's advertising and picture answers: which banner a banner request gets,
// the banner pictures themselves, the page behind a banner click, station logos drawn per
// "bnum", and the checks of the redirect service.
#include "station.h"

#include <QByteArray>
#include <QList>

namespace dwdir {

// A banner request's answer: the picture to redirect to and, for a banner that advertises
// a live station, that station's stream URL (sent as "?s" + URL + "&x=1").
struct BannerChoice
{
    QByteArray picture;
    QByteArray station;
};

// The genre key of an "AREA=" value: "M_CLASSICROCK" -> "classicrock"; empty for none.
QByteArray areaGenre(QByteArrayView area);

// Chooses the banner for a request of `area` (the "AREA=" value, empty for none) from the
// genre banners, the general ones and one per live station of the area. The request's
// query (random digits the program sends) picks among them, so a query always gets the
// same banner.
BannerChoice chooseBanner(QByteArrayView area, QByteArrayView query,
                          const QList<const Station*>& live);

// True for a stream URL that can be carried in a banner's address: plain http, printable,
// with nothing the program would cut it at ("&", "?", "#").
bool linkableStream(QByteArrayView url);

// The bytes of a banner picture by its exact name ("rock.gif", "live.jpg"); empty when
// there is none. `type` receives its content type.
QByteArray bannerPicture(QByteArrayView name, QByteArray* type = nullptr);

// Every banner picture name.
QList<QByteArray> bannerPictureNames();

// The page a banner click leads to.
QByteArray clickPage(QByteArrayView area);

// A station logo for `bnum`: a small Windows bitmap (24 bits) on magenta (255,0,255), the
// colour the program draws as transparent. The same bnum always gives the same picture.
inline constexpr int kLogoWidth = 48;
inline constexpr int kLogoHeight = 28;
QByteArray logoBitmap(QByteArrayView bnum);
// The same picture as a PNG with a transparent background, drawn from `text` as from a
// bnum (its first letters and digits): the favicons of the directory's API answers.
QByteArray logoPng(QByteArrayView text);

// Splits an absolute "http://host[:port]/..." address; false for anything else (other
// schemes, no host, a bad port, blanks or control bytes anywhere).
bool splitHttpUrl(QByteArrayView url, QByteArray& host, quint16& port);

// The page shown instead of redirecting to an address outside the demo world.
QByteArray outsidePage(QByteArrayView target);

} // namespace dwdir
