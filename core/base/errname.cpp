// Short names of system errors.
#include "core/base/errname.h"

#include <cerrno>

std::string errno_name(int err) {
    switch (err) {
#define N(e) \
    case e:  \
        return #e;
        N(EPERM)
            N(ENOENT) N(ESRCH) N(EINTR) N(EIO) N(ENXIO) N(E2BIG) N(ENOEXEC) N(EBADF) N(ECHILD)
                N(EAGAIN) N(ENOMEM) N(EACCES) N(EFAULT) N(EBUSY) N(EEXIST) N(EXDEV) N(ENODEV)
                    N(ENOTDIR) N(EISDIR) N(EINVAL) N(ENFILE) N(EMFILE) N(ENOTTY) N(ETXTBSY) N(EFBIG)
                        N(ENOSPC) N(ESPIPE) N(EROFS) N(EMLINK) N(EPIPE) N(EDOM) N(ERANGE) N(EDEADLK)
                            N(ENAMETOOLONG) N(ENOLCK) N(ENOSYS) N(ENOTEMPTY) N(ELOOP) N(EOVERFLOW)
                                N(ENOTSOCK) N(EDESTADDRREQ) N(EMSGSIZE) N(EPROTOTYPE) N(ENOPROTOOPT)
                                    N(EPROTONOSUPPORT) N(EOPNOTSUPP) N(EAFNOSUPPORT) N(EADDRINUSE)
                                        N(EADDRNOTAVAIL) N(ENETDOWN) N(ENETUNREACH) N(ECONNABORTED)
                                            N(ECONNRESET) N(ENOBUFS) N(EISCONN) N(ENOTCONN)
                                                N(ETIMEDOUT) N(ECONNREFUSED) N(EHOSTUNREACH)
                                                    N(EALREADY) N(EINPROGRESS) N(EDQUOT) N(ESTALE)
                                                        N(ECANCELED)
#undef N
                                                            default : return "E" +
                                                                      std::to_string(err);
    }
}

std::string fs_error_name(int err) {
    if (err == ENOENT) return "Not_Exist";
    if (err == EACCES || err == EPERM) return "Permission_Denied";
    return errno_name(err);
}
