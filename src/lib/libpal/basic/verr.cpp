// Error codes: the message table, the maps between codes and errno values, the
// texts of errno values and the error record.
#include "libpal/basic/verr.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "libpal/string/str_edit.h"
#include "libpal/string/str_safe.h"

#define ZLOG_TAG "pal"
#include "liblog/zlog.h"

// The wording of every message is part of the interface: the debug shell and
// the web tool show them.
const verr_msg_row g_verrmsg_table[] = {
    {"Success.", 0},
    {"General failure - DON'T USE THIS!!!.", -1},
    {"Invalid parameter.", -2},
    {"Invalid magic or cookie.", -3},
    {"Invalid handle.", -4},
    {"Failed to lock the address range.", -5},
    {"Invalid memory pointer.", -6},
    {"Failed to patch the IDT.", -7},
    {"Memory allocation failed.", -8},
    {"Already loaded.", -9},
    {"Permission denied.", -10},
    {"Version mismatch.", -11},
    {"The request function is not implemented.", -12},
    {"Invalid flags was given.", -13},
    {"Not equal.", -18},
    {"The specified path does not point at a symbolic link.", -19},
    {"Failed to allocate temporary memory.", -20},
    {"Invalid file mode mask.", -21},
    {"Incorrect call order.", -22},
    {"There is no TLS (thread local storage) available for storing the current thread.", -23},
    {"Failed to set the TLS (thread local storage) entry which points to our thread structure.", -24},
    {"Not able to allocate contiguous memory.", -26},
    {"No memory available for page table or page directory.", -27},
    {"Already initialized.", -28},
    {"The specified thread is dead.", -29},
    {"The specified thread is not waitable.", -30},
    {"Pagetable not present.", -31},
    {"Invalid context. Typically an API was used by the wrong thread.", -32},
    {"The per process timer is busy.", -33},
    {"Address conflict.", -34},
    {"Unresolved (unknown) host platform error.", -35},
    {"Invalid function.", -36},
    {"Not supported.", -37},
    {"Access denied.", -38},
    {"Call interrupted.", -39},
    {"Timeout.", -40},
    {"Buffer too small to save result.", -41},
    {"Data size overflow.", -42},
    {"Max threads number reached.", -43},
    {"Max process number reached.", -44},
    {"The recipient process has refused the signal.", -45},
    {"A signal is already pending.", -46},
    {"The signal being posted is not correct.", -47},
    {"The state changed. This is a generic error message and needs a context to make sense.", -48},
    {"Error while parsing UUID string.", -49},
    {"The specified process was not found.", -50},
    {"The process specified to a non-block wait had not exited.", -51},
    {"Retry the operation.", -52},
    {"Generic parse error.", -53},
    {"Value out of range.", -54},
    {"A numeric conversion encountered a value which was too big for the target.", -55},
    {"The number begin converted (string) contained no digits.", -56},
    {"Encountered a '-' during conversion to an unsigned value.", -57},
    {"Error while characters translation (unicode and so).", -58},
    {"Encountered unicode code point which is reserved for use as endian indicator (0xffff or 0xfffe).", -59},
    {"Encountered unicode code point in the surrogate range (0xd800 to 0xdfff).", -60},
    {"A string claiming to be UTF-8 is incorrectly encoded.", -61},
    {"A string claiming to be in UTF-16 is incorrectly encoded.", -62},
    {"Encountered a unicode code point which cannot be represented as UTF-16.", -63},
    {"Got an out of memory condition trying to allocate a string.", -64},
    {"Got an out of memory condition trying to allocate a UTF-16 (/UCS-2) string.", -65},
    {"Get an out of memory condition trying to allocate a code point array.", -66},
    {"Can't free the memory because it's used in mapping.", -67},
    {"The timer can't be started because it's already active.", -68},
    {"The timer can't be stopped because it's already suspended.", -69},
    {"The operation was cancelled by the user (copy) or another thread (local ipc).", -70},
    {"Failed to initialize a memory object. Exactly what this means is OS specific.", -71},
    {"Out of memory condition when allocating memory with low physical backing.", -72},
    {"Out of memory condition when allocating physical memory (without mapping).", -73},
    {"The address (virtual or physical) is too big.", -74},
    {"Failed to map a memory object.", -75},
    {"Trailing characters.", -76},
    {"Trailing spaces.", -77},
    {"Generic not found error.", -78},
    {"Generic invalid state error.", -79},
    {"Generic out of resources error.", -80},
    {"No more handles available, too many open handles.", -81},
    {"Preemption is disabled. The requested operation can only be performed when preemption is enabled.", -82},
    {"End of string.", -83},
    {"A page count is out of range.", -84},
    {"Generic object destroyed status.", -85},
    {"Generic dangling objects status.", -86},
    {"Invalid Base64 encoding.", -87},
    {"Return instigated by a callback or similar.", -88},
    {"Authentication failure.", -89},
    {"Not a power of two.", -90},
    {"Status code, typically given as a parameter, that isn't supposed to be used.", -91},
    {"Concurrent access to the object is not allowed.", -92},
    {"The caller does not have a reference to the object. This status is used when two threads is caught sharing the same object reference.", -93},
    {"Generic no change error.", -95},
    {"Out of memory condition when allocating executable memory.", -96},
    {"The alignment is not supported.", -97},
    {"Duplicate something.", -98},
    {"Something is missing.", -99},
    {"Unresolved (unknown) file i/o error.", -100},
    {"File/Device open failed.", -101},
    {"File not found.", -102},
    {"Path not found.", -103},
    {"Invalid (malformed) file/path name.", -104},
    {"The object in question already exists.", -105},
    {"Too many open files.", -106},
    {"Seek error.", -107},
    {"Seek below file start.", -108},
    {"Trying to seek on device.", -109},
    {"Reached the end of the file.", -110},
    {"Generic file read error.", -111},
    {"Generic file write error.", -112},
    {"Write protect error.", -113},
    {"Sharing violation, file is being used by another process.", -114},
    {"Unable to lock a region of a file.", -115},
    {"File access error, another process has locked a portion of the file.", -116},
    {"File or directory can't be created.", -117},
    {"Directory can't be deleted.", -118},
    {"Can't move file to another disk.", -119},
    {"The filename or extension is too long.", -120},
    {"Media not present in drive.", -121},
    {"The type of media was not recognized. Not formatted?.", -122},
    {"Can't unlock - region was not locked.", -123},
    {"Unrecoverable error: lock was lost.", -124},
    {"Can't delete directory with files.", -125},
    {"A directory operation was attempted on a non-directory object.", -126},
    {"A non-directory operation was attempted on a directory object.", -127},
    {"Tried to grow a file beyond the limit imposed by the process or the filesystem.", -128},
    {"No pending request the aio context has to wait for completion.", -129},
    {"The request could not be canceled or prepared for another transfer because it is still in progress.", -130},
    {"The request could not be canceled because it already completed.", -131},
    {"The I/O context couldn't be destroyed because there are still pending requests.", -132},
    {"The requests couldn't be submitted because that would exceed the capacity of the context.", -133},
    {"The request was canceled.", -134},
    {"The request wasn't submitted so it can't be canceled.", -135},
    {"A request was not prepared and thus could not be submitted.", -136},
    {"Not all requests could be submitted due to resource shortage.", -137},
    {"Device or resource is busy.", -138},
    {"A file operation was attempted on a non-file object.", -139},
    {"A non-file operation was attempted on a file object.", -140},
    {"Unexpected filesystem object type.", -141},
    {"A path does not start with a root specification.", -142},
    {"A path is relative, expected an absolute path.", -143},
    {"A path is not relative (start with root), expected an relative path.", -144},
    {"Zero length path.", -145},
    {"There are not enough events available on the host to create the I/O context. This exact meaning is host platform dependent.", -146},
    {"Invalid file head data.", -147},
    {"Invalid file baby data.", -148},
    {"The specified file is read only.", -149},
    {"Unresolved (unknown) disk i/o error.", -150},
    {"Invalid drive number.", -151},
    {"Disk is full.", -152},
    {"Disk was changed.", -153},
    {"Drive is locked.", -154},
    {"The specified disk or diskette cannot be accessed.", -155},
    {"Too many symbolic links.", -156},
    {"The OS does not support setting the time stamps on a symbolic link.", -157},
    {"The OS does not support changing the owner of a symbolic link.", -158},
    {"Symbolic link not allowed.", -159},
    {"Unresolved (unknown) search error.", -200},
    {"No more files found.", -201},
    {"No more search handles available.", -202},
    {"The directory read failed to retrieve the extra data which was requested.", 203},
    {"Internal error - this should never happen.", -225},
    {"Internal error no. 2.", -226},
    {"Internal error no. 3.", -227},
    {"Internal error no. 4.", -228},
    {"Internal error no. 5.", -229},
    {"Internal error: Unexpected status code.", -230},
    {"Internal error: Unexpected status code.", -231},
    {"Internal error: Unexpected status code.", -232},
    {"Internal error: Uninitialized status code. @remarks This is used by value elsewhere.", -233},
    {"Internal error: Supposedly unreachable default case in a switch.", -234},
    {"Device i/o error.", -250},
    {"Device i/o: Bad unit.", -251},
    {"Device i/o: Not ready.", -252},
    {"Device i/o: Bad command.", -253},
    {"Device i/o: CRC error.", -254},
    {"Device i/o: Bad length.", -255},
    {"Device i/o: Sector not found.", -256},
    {"Device i/o: General failure.", -257},
    {"Device i/o: No such device or address.", -258},
    {"Unresolved (unknown) pipe i/o error.", -300},
    {"Broken pipe.", -301},
    {"Bad pipe.", -302},
    {"Pipe is busy.", -303},
    {"No data in pipe.", -304},
    {"Pipe is not connected.", -305},
    {"More data available in pipe.", -306},
    {"Expected read pipe, got a write pipe instead.", -307},
    {"Expected write pipe, got a read pipe instead.", -308},
    {"Unresolved (unknown) semaphore error.", -350},
    {"Too many semaphores.", -351},
    {"Exclusive semaphore is owned by another process.", -352},
    {"The semaphore is set and cannot be closed.", -353},
    {"The semaphore cannot be set again.", -354},
    {"Attempt to release mutex not owned by caller.", -355},
    {"The semaphore has been opened too many times.", -356},
    {"The maximum posts for the event semaphore has been reached.", -357},
    {"The event semaphore has already been posted.", -358},
    {"The event semaphore has already been reset.", -359},
    {"The semaphore is in use.", -360},
    {"The previous ownership of this semaphore has ended.", -361},
    {"Failed to open semaphore by name - not found.", -362},
    {"Semaphore destroyed while waiting.", -363},
    {"Nested ownership requests are not permitted for this semaphore type.", -364},
    {"Deadlock detected.", -365},
    {"Ping-Pong listen or speak out of turn error.", -366},
    {"Tried to take a semaphore in a bad context.", -367},
    {"Wrong locking order detected.", -368},
    {"Wrong release order detected.", -369},
    {"Attempt to recursively enter a non-recursive lock.", -370},
    {"Invalid parameters passed to the lock validator.", -371},
    {"The lock validator detected a deadlock.", -372},
    {"The lock validator detected an existing deadlock. The deadlock was not caused by the current operation, but existed already.", -373},
    {"Not the lock owner according our records.", -374},
    {"An illegal lock upgrade was attempted.", -375},
    {"The thread is not a valid signaller of the event.", -376},
    {"Internal error in the lock validator or related components.", -377},
    {"Unresolved (unknown) network error.", -400},
    {"The network is busy or is out of resources.", -401},
    {"Net host name not found.", -402},
    {"Network path not found.", -403},
    {"General network printing error.", -404},
    {"The machine is not on the network.", -405},
    {"Name is not unique on the network.", -406},
    {"Operation in progress.", -436},
    {"Operation already in progress.", -437},
    {"Attempted socket operation with a non-socket handle. (This includes closed handles.).", -438},
    {"Destination address required.", -439},
    {"Message too long.", -440},
    {"Protocol wrong type for socket.", -441},
    {"Protocol not available.", -442},
    {"Protocol not supported.", -443},
    {"Socket type not supported.", -444},
    {"Operation not supported.", -445},
    {"Protocol family not supported.", -446},
    {"Address family not supported by protocol family.", -447},
    {"Address already in use.", -448},
    {"Can't assign requested address.", -449},
    {"Network is down.", -450},
    {"Network is unreachable.", -451},
    {"Network dropped connection on reset.", -452},
    {"Software caused connection abort.", -453},
    {"Connection reset by peer.", -454},
    {"No buffer space available.", -455},
    {"Socket is already connected.", -456},
    {"Socket is not connected.", -457},
    {"Can't send after socket shutdown.", -458},
    {"Too many references: can't splice.", -459},
    {"Too many references: can't splice.", -460},
    {"Connection refused.", -461},
    {"Host is down.", -464},
    {"No route to host.", -465},
    {"Protocol error.", -466},
    {"Incomplete packet was submitted by guest.", -467},
    {"Invalid executable signature.", -600},
    {"Bad executable.", -608},
    {"Symbol (export) not found.", -609},
    {"Module not found.", -610},
    {"Code signing error.", -619},
    {"This indicates that the process does not have sufficient privileges to perform the operation.", -901},
    {"An account is restricted in a certain way.", -902},
    {nullptr, 0},
};

namespace {

struct errno_code {
    int eno;
    int code;
};

// The socket errnos in their classic order: the n-th maps to -(436 + n) and back.
constexpr int k_socket_errnos[] = {
    EINPROGRESS, EALREADY, ENOTSOCK, EDESTADDRREQ, EMSGSIZE, EPROTOTYPE,
    ENOPROTOOPT, EPROTONOSUPPORT, ESOCKTNOSUPPORT, EOPNOTSUPP, EPFNOSUPPORT, EAFNOSUPPORT,
    EADDRINUSE, EADDRNOTAVAIL, ENETDOWN, ENETUNREACH, ENETRESET, ECONNABORTED,
    ECONNRESET, ENOBUFS, EISCONN, ENOTCONN, ESHUTDOWN, ETOOMANYREFS,
};
constexpr int k_socket_code_first = -436;
constexpr int k_socket_count = static_cast<int>(std::size(k_socket_errnos));

// errno -> code, besides the socket range. Keyed by the errno's meaning (the
// platform's numbering varies above 34); errnos this platform lacks have no row.
constexpr errno_code k_errno_to_code[] = {
    {EPERM, -38},      {ENOENT, -102},      {ESRCH, -50},    {EINTR, -39},        {EIO, -250},
    {ENXIO, -258},     {E2BIG, -42},        {ENOEXEC, -608}, {EBADF, -4},         {ECHILD, -50},
    {EDEADLK, -365},   {ENOMEM, -8},        {EACCES, -38},   {EFAULT, -6},        {EBUSY, -138},
    {EEXIST, -105},    {EXDEV, -119},       {ENODEV, -102},  {ENOTDIR, -103},     {EISDIR, -127},
    {EINVAL, -2},      {ENFILE, -106},      {EMFILE, -106},  {ENOTTY, -36},       {ETXTBSY, -114},
    {EFBIG, -128},     {ENOSPC, -152},      {ESPIPE, -109},  {EROFS, -113},       {EPIPE, -301},
    {EDOM, -2},        {ERANGE, -2},        {EAGAIN, -52},   {ETIMEDOUT, -40},    {ECONNREFUSED, -461},
    {ELOOP, -156},     {ENAMETOOLONG, -120}, {EHOSTDOWN, -464}, {EHOSTUNREACH, -465}, {ENOTEMPTY, -125},
    {EDQUOT, -152},    {ENOLCK, -115},      {ENOSYS, -37},   {EOVERFLOW, -42},    {EILSEQ, -58},
    {EPROTO, -466},
};

// code -> errno, besides the socket range. Not the inverse of the map above.
// "Too many processes" and "internal error" have no errno of their own here:
// EAGAIN and EINVAL stand in.
constexpr errno_code k_code_to_errno[] = {
    {EINVAL, -2},     {EBADF, -4},          {EFAULT, -6},     {ENOMEM, -8},     {ENOTTY, -36},
    {EOPNOTSUPP, -37}, {EPERM, -38},        {EINTR, -39},     {ETIMEDOUT, -40}, {E2BIG, -42},
    {EAGAIN, -44},    {ESRCH, -50},         {EAGAIN, -52},    {EILSEQ, -58},    {ENOENT, -102},
    {ENOTDIR, -103},  {EEXIST, -105},       {EMFILE, -106},   {ESPIPE, -109},   {EROFS, -113},
    {ETXTBSY, -114},  {ENOLCK, -115},       {EXDEV, -119},    {ENAMETOOLONG, -120}, {ENOTEMPTY, -125},
    {EISDIR, -127},   {EFBIG, -128},        {EBUSY, -138},    {ENOSPC, -152},   {ELOOP, -156},
    {EINVAL, -225},   {EIO, -250},          {ENXIO, -252},    {ENXIO, -258},    {EPIPE, -301},
    {EDEADLK, -365},  {ECONNREFUSED, -461}, {EHOSTDOWN, -464}, {EHOSTUNREACH, -465}, {EPROTO, -466},
    {ENOEXEC, -608},
};

}  // namespace

const char *verr2str(int code)
{
    for (const verr_msg_row *row = g_verrmsg_table; row->msg != nullptr; row++) {
        if (row->code == code)
            return row->msg;
    }
    ZLOG_DBG("Invalid errno=%d (0x%x)\n", code, static_cast<unsigned>(code));
    return "Invalid error code";
}

int os_verr_get(int eno)
{
    if (eno == 0)
        return 0;
    for (int i = 0; i < k_socket_count; i++) {
        if (k_socket_errnos[i] == eno)
            return k_socket_code_first - i;
    }
    for (const errno_code &row : k_errno_to_code) {
        if (row.eno == eno)
            return row.code;
    }
    ZLOG_WARN("unkown eno=%d\n", eno);
    return -1;
}

int verr_2_posix(int code)
{
    if (code == 0)
        return 0;
    if (code == -1)
        return EPERM;
    int socket_index = k_socket_code_first - code;
    if (socket_index >= 0 && socket_index < k_socket_count)
        return k_socket_errnos[socket_index];
    for (const errno_code &row : k_code_to_errno) {
        if (row.code == code)
            return row.eno;
    }
    ZLOG_WARN("unkown verrno = %d\n", code);
    return EPERM;
}

void os_set_errno_verr(int code)
{
    errno = verr_2_posix(code);
}

char *os_strerror(int eno, char *buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return buf;
    if (eno == 0) {
        str_safecopy2(buf, size, "ok");
        return buf;
    }
    // strerror_r's GNU form may return a static text instead of filling buf.
    char tmp[256];
    const char *text = strerror_r(eno, tmp, sizeof(tmp));
    str_safecopy2(buf, size, text != nullptr ? text : "");
    str_trim(buf);
    if (buf[0] == '\0')
        str_sprintf_s(buf, size, "unkown os_errno=%u (0x%x)", static_cast<unsigned>(eno), static_cast<unsigned>(eno));
    return buf;
}

const char *os_errno_text(int eno)
{
    if (eno == 0)
        return "ok";
    return strerror(eno);
}

const char *os_errno_str()
{
    return os_errno_text(errno);
}

namespace {

void verr_vset(verr *rec, const char *file, int line, const char *func, int code, const char *fmt, va_list ap)
    __attribute__((format(printf, 6, 0)));
void verr_vset(verr *rec, const char *file, int line, const char *func, int code, const char *fmt, va_list ap)
{
    rec->file = file;
    rec->func = func;
    rec->line = static_cast<uint32_t>(line);
    rec->code = code;
    rec->msg[0] = '\0';
    if (fmt != nullptr)
        str_vsprintf_s2(rec->msg, sizeof(rec->msg), fmt, ap);
}

}  // namespace

void verr_set(verr *rec, const char *file, int line, const char *func, int code, const char *fmt, ...)
{
    if (rec == nullptr)
        return;
    va_list ap;
    va_start(ap, fmt);
    verr_vset(rec, file, line, func, code, fmt, ap);
    va_end(ap);
}

void verr_set_os(verr *rec, const char *file, int line, const char *func, int code, const char *extra,
                 const char *fmt, ...)
{
    if (rec == nullptr)
        return;
    va_list ap;
    va_start(ap, fmt);
    verr_vset(rec, file, line, func, code, fmt, ap);
    va_end(ap);
    str_safecat(rec->msg, sizeof(rec->msg), ": ");
    str_safecat(rec->msg, sizeof(rec->msg), extra != nullptr ? extra : "");
}

const char *verr_msg(const verr *rec)
{
    if (rec->msg[0] != '\0')
        return rec->msg;
    return verr2str(rec->code);
}

void verr_copy(verr *dst, const verr *src)
{
    if (dst == src)
        return;
    dst->file = src->file;
    dst->func = src->func;
    dst->line = src->line;
    dst->code = src->code;
    str_safecopy(dst->msg, sizeof(dst->msg), src->msg);
}
