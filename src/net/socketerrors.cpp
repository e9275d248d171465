#include "socketerrors.h"

#include <cerrno>
#include <netdb.h>

int WinsockError(int err)
{
    switch (err) {
    case 0:
        return 0;
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAEBADF;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
        return WSAEWOULDBLOCK;
    case EINPROGRESS:
        return WSAEINPROGRESS;
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: // writing to a connection the peer has reset or closed
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETOOMANYREFS:
        return WSAETOOMANYREFS;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case ELOOP:
        return WSAELOOP;
    case ENAMETOOLONG:
        return WSAENAMETOOLONG;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case ENOTEMPTY:
        return WSAENOTEMPTY;
    case EUSERS:
        return WSAEUSERS;
    case EDQUOT:
        return WSAEDQUOT;
    case ESTALE:
        return WSAESTALE;
    case EREMOTE:
        return WSAEREMOTE;
    default:
        return err;
    }
}

int LastWinsockError()
{
    return WinsockError(errno);
}

int WinsockResolverError(int eai)
{
    switch (eai) {
    case 0:
        return 0;
    case EAI_AGAIN:
        return WSATRY_AGAIN;
    case EAI_FAIL:
        return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
    case EAI_ADDRFAMILY:
        return WSANO_DATA;
    case EAI_SYSTEM:
        return WinsockError(errno);
    default:
        return WSAHOST_NOT_FOUND;
    }
}

namespace {

const char* const kTexts10035[] = {
    "Operation would block",                           // 10035
    "Operation now in progress",                       // 10036
    "Operation already in progress",                   // 10037
    "Socket operation on non-socket",                  // 10038
    "Destination address required",                    // 10039
    "Message too long",                                // 10040
    "Protocol wrong type for socket",                  // 10041
    "Protocol not available",                          // 10042
    "Protocol not supported",                          // 10043
    "Socket type not supported",                       // 10044
    "Operation not supported on socket",               // 10045
    "Protocol family not supported",                   // 10046
    "Address family not supported by protocol family", // 10047
    "Address already in use",                          // 10048
    "Address not available",                           // 10049
    "Network is down",                                 // 10050
    "Network is unreachable",                          // 10051
    "Network dropped connection on reset",             // 10052
    "Connection aborted",                              // 10053
    "Connection reset by peer",                        // 10054
    "No buffer space available",                       // 10055
    "Socket is already connected",                     // 10056
    "Socket is not connected",                         // 10057
    "Can't send after socket shutdown",                // 10058
    "Too many references: can't splice",               // 10059
    "Connection timed out",                            // 10060
    "Connection refused",                              // 10061
    "Too many levels of symbolic links",               // 10062
    "File name too long",                              // 10063
    "Host is down",                                    // 10064
    "No route to host",                                // 10065
    "Directory not empty",                             // 10066
    "Too many processes",                              // 10067
    "Too many users",                                  // 10068
    "Disc quota exceeded",                             // 10069
    "Stale NFS file handle",                           // 10070
    "Too many levels of remote in path",               // 10071
};

const char* baseText(int error)
{
    switch (error) {
    case 0:
        return "No Error";
    case 10004:
        return "Interrupted system call";
    case 10009:
        return "Bad file number";
    case 10013:
        return "Permission denied";
    case 10014:
        return "Bad address";
    case 10022:
        return "Invalid argument";
    case 10024:
        return "Too many open files";
    case 10091:
        return "Network sub-system is unusable";
    case 10092:
        return "WinSock DLL cannot support this application";
    case 10093:
        return "WinSock not initialized";
    case 11001:
        return "Host not found";
    case 11002:
        return "Non-authoritative host not found";
    case 11003:
        return "Non-recoverable error";
    case 11004:
        return "No Data";
    default:
        if (error >= 10035 && error <= 10071) return kTexts10035[error - 10035];
        return nullptr;
    }
}

} // namespace

QString SocketErrorText(int error)
{
    const char* t = baseText(error);
    return QString::fromLatin1(t ? t : "Not a WinSock error");
}

QString WSocketsErrorText(int error)
{
    const char* t = nullptr;
    switch (error) {
    case 10038:
        t = "Socket operation on nonsocket";
        break;
    case 10044:
        t = "Socket not supported";
        break;
    case 10047:
        t = "Address family not supported";
        break;
    case 10049:
        t = "Can't assign requested address";
        break;
    case 10053:
        t = "Software caused connection abort";
        break;
    case 10059:
        t = "Too many references:can't splice";
        break;
    case 10063:
        t = "File name is too long";
        break;
    case 10066:
        t = "Directory is not empty";
        break;
    case 10069:
        t = "Disk quota exceeded";
        break;
    case 10091:
        t = "Network subsystem is unusable";
        break;
    case 10092:
        t = "Winsock DLL cannot support this application";
        break;
    case 10093:
        t = "Winsock not initialized";
        break;
    case 11002:
        t = "Non authoritative - host not found";
        break;
    case 11003:
        t = "Non recoverable error";
        break;
    case 11004:
        t = "Valid name, no data record of requested type";
        break;
    default:
        t = baseText(error);
        break;
    }
    return QString::fromLatin1(t ? t : "Not a Winsock error");
}
