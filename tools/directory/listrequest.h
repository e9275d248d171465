#pragma once
// Reading a request sent to the directory: the request line of an HTTP request head.
// Besides station lists the directory answers as the demo world's banner server, station
// logo folder and redirect service.
#include <QByteArray>
#include <QList>

namespace dwdir {

struct ListRequest
{
    enum Page
    {
        List,          // "/": the station list
        CatalogView,   // "/catalog": the stations as a page
        Banner,        // [/ads]/cgi-bin/accipiter/adserver.exe/SITE=.../[AREA=.../]
        BannerClick,   // [/ads]/cgi-bin/accipiter/adclick.exe/SITE=.../[AREA=.../]
        BannerPicture, // [/ads]/banners/NAME
        Logo,          // /logos/buttons/NAME
        Redirect,      // /redirect.asp?product=N&area=N&url=ADDRESS
        News,          // /mini2.shtml
        ServerInfo,    // /program/serverinfo.asp?ip=KEY
        TitleSearch,   // /program/titlesearch.asp[?q=TEXT]
        Forums,        // /program/forums.asp?ip=KEY (GET reads, POST adds a post)
        Button         // /buttons/NAME
    };

    int status = 200; // 200, or the error status to answer with
    QByteArray error; // short text for an error answer
    Page page = List;
    bool head = false; // HEAD: headers only
    bool post = false; // POST (the forums only)
    bool compress = false;
    QList<QByteArray> genres;    // alternatives, case-folded; none means every genre
    bool byAddress = false;      // "ip=" was given
    QList<QByteArray> addresses; // lookup keys of the addresses asked for
    QByteArray area;             // Banner, BannerClick: the "AREA=" value, empty for none
    QByteArray query;            // Banner, BannerClick: the text after "?"
    QByteArray name;             // BannerPicture, Logo: the file name asked for, decoded
    QByteArray target;           // Redirect: the "url=" address, decoded
    QByteArray key;              // ServerInfo, Forums: the "ip=" key; TitleSearch: "q=", decoded
};

// The bytes the directory accepts before the end of a request head.
inline constexpr qsizetype kMaxRequestHead = 64 * 1024;

// Reads the request line of `head` (the bytes up to the blank line; the header lines
// after the request line are not needed). The request target is what lies between the
// method and a final " HTTP/x.y", so a genre sent with blanks in it (the client does
// not encode it) is read whole; a proxy's absolute form "http://host/..." is accepted.
ListRequest parseListRequest(QByteArrayView head);

// Decodes "%XX" escapes (and "+" as a blank when plusIsSpace); false on a broken escape.
bool percentDecode(QByteArrayView in, QByteArray& out, bool plusIsSpace);

} // namespace dwdir
