#include "libpal/basic/verr.h"

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "str_log_capture.h"

namespace {

size_t table_rows()
{
    size_t n = 0;
    while (g_verrmsg_table[n].msg != nullptr)
        n++;
    return n;
}

}  // namespace

TEST(ErrorTable, HasEveryCodeOnceWithItsMessage)
{
    ASSERT_EQ(table_rows(), 258u);
    std::set<int32_t> codes;
    for (size_t i = 0; i < table_rows(); i++) {
        const verr_msg_row &row = g_verrmsg_table[i];
        EXPECT_TRUE(codes.insert(row.code).second) << "duplicate code " << row.code;
        EXPECT_STREQ(verr2str(row.code), row.msg) << row.code;
        EXPECT_NE(row.msg[0], '\0') << row.code;
    }
    // The one positive code sits between -202 and -225; the codes run from 0 to -902.
    EXPECT_EQ(*codes.begin(), -902);
    EXPECT_EQ(*codes.rbegin(), 203);
}

TEST(ErrorTable, MessagesAreTheFixedTexts)
{
    struct row {
        int code;
        const char *msg;
    } rows[] = {
        {0, "Success."},
        {-1, "General failure - DON'T USE THIS!!!."},
        {-40, "Timeout."},
        {-57, "Encountered a '-' during conversion to an unsigned value."},
        {-126, "A directory operation was attempted on a non-directory object."},
        {203, "The directory read failed to retrieve the extra data which was requested."},
        {-233, "Internal error: Uninitialized status code. @remarks This is used by value elsewhere."},
        {-438, "Attempted socket operation with a non-socket handle. (This includes closed handles.)."},
        {-460, "Too many references: can't splice."},
        {-902, "An account is restricted in a certain way."},
    };
    for (const row &r : rows)
        EXPECT_STREQ(verr2str(r.code), r.msg) << r.code;
}

TEST(ErrorTable, UnknownCodeGivesFallbackAndOneDebugLine)
{
    for (int code : {-14, -94, 1, -903, 204}) {
        log_capture cap;
        EXPECT_STREQ(verr2str(code), "Invalid error code");
        ASSERT_EQ(cap.all().size(), 1u) << code;
        EXPECT_EQ(cap.all()[0].level, LOG2_DBG);
        EXPECT_EQ(cap.all()[0].tag, "pal");
    }
    log_capture cap;
    verr2str(-14);
    EXPECT_EQ(cap.all()[0].text, "Invalid errno=-14 (0xfffffff2)\n");
}

TEST(ErrnoMap, ErrnoToCode)
{
    struct row {
        int eno;
        int code;
    } rows[] = {
        {0, 0},
        {EPERM, -38}, {ENOENT, -102}, {ESRCH, -50}, {EINTR, -39}, {EIO, -250}, {ENXIO, -258},
        {E2BIG, -42}, {ENOEXEC, -608}, {EBADF, -4}, {ECHILD, -50}, {EDEADLK, -365}, {ENOMEM, -8},
        {EACCES, -38}, {EFAULT, -6}, {EBUSY, -138}, {EEXIST, -105}, {EXDEV, -119}, {ENODEV, -102},
        {ENOTDIR, -103}, {EISDIR, -127}, {EINVAL, -2}, {ENFILE, -106}, {EMFILE, -106}, {ENOTTY, -36},
        {ETXTBSY, -114}, {EFBIG, -128}, {ENOSPC, -152}, {ESPIPE, -109}, {EROFS, -113}, {EPIPE, -301},
        {EDOM, -2}, {ERANGE, -2}, {EAGAIN, -52}, {EWOULDBLOCK, -52},
        {EINPROGRESS, -436}, {EALREADY, -437}, {ENOTSOCK, -438}, {EDESTADDRREQ, -439},
        {EMSGSIZE, -440}, {EPROTOTYPE, -441}, {ENOPROTOOPT, -442}, {EPROTONOSUPPORT, -443},
        {ESOCKTNOSUPPORT, -444}, {EOPNOTSUPP, -445}, {EPFNOSUPPORT, -446}, {EAFNOSUPPORT, -447},
        {EADDRINUSE, -448}, {EADDRNOTAVAIL, -449}, {ENETDOWN, -450}, {ENETUNREACH, -451},
        {ENETRESET, -452}, {ECONNABORTED, -453}, {ECONNRESET, -454}, {ENOBUFS, -455},
        {EISCONN, -456}, {ENOTCONN, -457}, {ESHUTDOWN, -458}, {ETOOMANYREFS, -459},
        {ETIMEDOUT, -40}, {ECONNREFUSED, -461}, {ELOOP, -156}, {ENAMETOOLONG, -120},
        {EHOSTDOWN, -464}, {EHOSTUNREACH, -465}, {ENOTEMPTY, -125}, {EDQUOT, -152},
        {ENOLCK, -115}, {ENOSYS, -37}, {EOVERFLOW, -42}, {EILSEQ, -58}, {EPROTO, -466},
    };
    log_capture cap;
    for (const row &r : rows)
        EXPECT_EQ(os_verr_get(r.eno), r.code) << r.eno;
    EXPECT_TRUE(cap.all().empty());
    EXPECT_STREQ(verr2str(os_verr_get(ETIMEDOUT)), "Timeout.");
}

TEST(ErrnoMap, UnmappedErrnoGivesMinusOneWithWarning)
{
    for (int eno : {ENOTBLK, EMLINK, EUSERS, ESTALE, EREMOTE, EIDRM, ENOMSG, ECANCELED, EBADMSG, EMULTIHOP,
                    ENOLINK, 4000, -5}) {
        log_capture cap;
        EXPECT_EQ(os_verr_get(eno), -1) << eno;
        ASSERT_EQ(cap.all().size(), 1u) << eno;
        EXPECT_EQ(cap.all()[0].level, LOG2_WARN);
        EXPECT_EQ(cap.all()[0].text, "unkown eno=" + std::to_string(eno) + "\n");
    }
}

TEST(ErrnoMap, CodeToErrno)
{
    struct row {
        int code;
        int eno;
    } rows[] = {
        {0, 0},
        {-1, EPERM}, {-2, EINVAL}, {-4, EBADF}, {-6, EFAULT}, {-8, ENOMEM}, {-36, ENOTTY},
        {-37, EOPNOTSUPP}, {-38, EPERM}, {-39, EINTR}, {-40, ETIMEDOUT}, {-42, E2BIG}, {-44, EAGAIN},
        {-50, ESRCH}, {-52, EAGAIN}, {-58, EILSEQ}, {-102, ENOENT}, {-103, ENOTDIR}, {-105, EEXIST},
        {-106, EMFILE}, {-109, ESPIPE}, {-113, EROFS}, {-114, ETXTBSY}, {-115, ENOLCK}, {-119, EXDEV},
        {-120, ENAMETOOLONG}, {-125, ENOTEMPTY}, {-127, EISDIR}, {-128, EFBIG}, {-138, EBUSY},
        {-152, ENOSPC}, {-156, ELOOP}, {-225, EINVAL}, {-250, EIO}, {-252, ENXIO}, {-258, ENXIO},
        {-301, EPIPE}, {-365, EDEADLK},
        {-436, EINPROGRESS}, {-437, EALREADY}, {-438, ENOTSOCK}, {-439, EDESTADDRREQ}, {-440, EMSGSIZE},
        {-441, EPROTOTYPE}, {-442, ENOPROTOOPT}, {-443, EPROTONOSUPPORT}, {-444, ESOCKTNOSUPPORT},
        {-445, EOPNOTSUPP}, {-446, EPFNOSUPPORT}, {-447, EAFNOSUPPORT}, {-448, EADDRINUSE},
        {-449, EADDRNOTAVAIL}, {-450, ENETDOWN}, {-451, ENETUNREACH}, {-452, ENETRESET},
        {-453, ECONNABORTED}, {-454, ECONNRESET}, {-455, ENOBUFS}, {-456, EISCONN}, {-457, ENOTCONN},
        {-458, ESHUTDOWN}, {-459, ETOOMANYREFS},
        {-461, ECONNREFUSED}, {-464, EHOSTDOWN}, {-465, EHOSTUNREACH}, {-466, EPROTO}, {-608, ENOEXEC},
    };
    log_capture cap;
    for (const row &r : rows)
        EXPECT_EQ(verr_2_posix(r.code), r.eno) << r.code;
    EXPECT_TRUE(cap.all().empty()) << "mapped codes, 0 and -1 are silent";
}

TEST(ErrnoMap, UnmappedCodeGivesEpermWithWarning)
{
    for (int code : {-3, -250 + 1, -460, 203, -9999}) {
        log_capture cap;
        EXPECT_EQ(verr_2_posix(code), EPERM) << code;
        ASSERT_EQ(cap.all().size(), 1u) << code;
        EXPECT_EQ(cap.all()[0].level, LOG2_WARN);
        EXPECT_EQ(cap.all()[0].text, "unkown verrno = " + std::to_string(code) + "\n");
    }
}

TEST(ErrnoMap, SetErrnoFromCode)
{
    os_set_errno_verr(-40);
    EXPECT_EQ(errno, ETIMEDOUT);
    os_set_errno_verr(0);
    EXPECT_EQ(errno, 0);
}

TEST(ErrnoText, ZeroIsOkOthersAreSystemText)
{
    char buf[VERR_MSG_SIZE];
    EXPECT_STREQ(os_strerror(0, buf, sizeof(buf)), "ok");
    EXPECT_STREQ(os_strerror(ENOENT, buf, sizeof(buf)), strerror(ENOENT));
    char small[8];
    EXPECT_STREQ(os_strerror(ENOENT, small, sizeof(small)), std::string(strerror(ENOENT)).substr(0, 7).c_str());

    EXPECT_STREQ(os_errno_text(0), "ok");
    EXPECT_STREQ(os_errno_text(EINVAL), strerror(EINVAL));
    errno = 0;
    EXPECT_STREQ(os_errno_str(), "ok");
    errno = EACCES;
    EXPECT_STREQ(os_errno_str(), strerror(EACCES));
}

TEST(ErrorRecord, SetKeepsFieldsAndCutsLongMessages)
{
    static verr rec;
    verr_set(&rec, "f.cpp", 12, "fn", -2, "bad %s", "thing");
    EXPECT_STREQ(rec.file, "f.cpp");
    EXPECT_STREQ(rec.func, "fn");
    EXPECT_EQ(rec.line, 12u);
    EXPECT_EQ(rec.code, -2);
    EXPECT_STREQ(verr_msg(&rec), "bad thing");

    std::string big(5000, 'x');
    verr_set(&rec, "f.cpp", 1, "fn", -2, "%s", big.c_str());
    EXPECT_EQ(strlen(rec.msg), 4095u);

    // Without a message the table text of the code stands in.
    verr_set(&rec, "f.cpp", 1, "fn", -126, nullptr);
    EXPECT_STREQ(rec.msg, "");
    EXPECT_STREQ(verr_msg(&rec), "A directory operation was attempted on a non-directory object.");

    verr_set(nullptr, "f.cpp", 1, "fn", -2, "ignored");
}

TEST(ErrorRecord, SetOsAppendsTheSystemText)
{
    static verr rec;
    verr_set_os(&rec, "f.cpp", 3, "fn", ENOENT, "No such file", "open [%s]", "/x");
    EXPECT_EQ(rec.code, ENOENT);
    EXPECT_STREQ(rec.msg, "open [/x]: No such file");
}

TEST(ErrorRecord, CopyTakesEveryFieldAndIgnoresItself)
{
    static verr src;
    static verr dst;
    std::string big(5000, 'y');
    verr_set(&src, "a.cpp", 7, "fa", -40, "%s", big.c_str());
    verr_copy(&dst, &src);
    EXPECT_EQ(dst.file, src.file);
    EXPECT_EQ(dst.func, src.func);
    EXPECT_EQ(dst.line, 7u);
    EXPECT_EQ(dst.code, -40);
    EXPECT_EQ(std::string(dst.msg), std::string(4095, 'y'));

    verr_copy(&dst, &dst);
    EXPECT_EQ(dst.code, -40);
    EXPECT_EQ(strlen(dst.msg), 4095u);
}
