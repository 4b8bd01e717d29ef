#include "libpal/utils/var_chk.h"

#define ZLOG_TAG "pal"
#include "liblog/zlog.h"

int var_int_check(int value, const char *name, int min, int max, int fix)
{
    if (value < min) {
        if (name != nullptr)
            ZLOG_WARN("[%s]=%d < min=%d fix=%d", name, value, min, fix);
        return fix;
    }
    if (max != 0 && value > max) {
        if (name != nullptr)
            ZLOG_WARN("[%s]=%d > max=%d fix=%d", name, value, max, fix);
        return fix;
    }
    return value;
}
