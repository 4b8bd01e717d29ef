// Resource limits.
#define ZLOG_TAG "pal"

#include "libpal/os/posix/os_limits.h"

#include <sys/resource.h>

#include <cerrno>

#include "liblog/zlog.h"
#include "libpal/basic/verr.h"
#include "libpal/os/os_path.h"

int os_limits_init()
{
    os_ulimit(RLIMIT_NOFILE);
    os_ulimit(RLIMIT_FSIZE);
    os_umask(022);
    return 0;
}

int os_ulimit(int resource)
{
    // glibc's resource type is an enumeration: a number outside it must not
    // be converted, it is refused as the system would refuse it.
    if (resource < 0 || resource >= RLIM_NLIMITS) {
        errno = EINVAL;
        ZLOG_ERR("getrlimit [%d] error:%s\n", resource, os_errno_str());
        return -1;
    }
    const auto res = static_cast<__rlimit_resource>(resource);
    rlimit rlim;
    if (getrlimit(res, &rlim) != 0) {
        ZLOG_ERR("getrlimit [%d] error:%s\n", resource, os_errno_str());
        return -1;
    }
    rlimit want{RLIM_INFINITY, RLIM_INFINITY};
    if (setrlimit(res, &want) == 0)
        return 0;
    // Linux caps the open-files limit at fs.nr_open, so "unlimited" is refused
    // there even for root: the hard limit is then the most we get.
    ZLOG_VERB("rlim.rlim_max=%d\n", static_cast<int>(rlim.rlim_max));
    rlim.rlim_cur = rlim.rlim_max;
    if (setrlimit(res, &rlim) != 0) {
        ZLOG_ERR("setrlimit [%d] error:%s\n", resource, os_errno_str());
        return -1;
    }
    return 0;
}
