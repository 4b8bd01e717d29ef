// The per-module logging macros. A source file defines ZLOG_TAG (its module
// tag: "pal", "conf", "bdsrv"...) before including this header; the call
// sites then read ZLOG_ERR("open [%s] failed\n", path).
#pragma once

#include "liblog/log2.h"

#ifndef ZLOG_TAG
#error "define ZLOG_TAG (the module's log tag) before including liblog/zlog.h"
#endif

#define ZLOG(level, ...) log2_printf(nullptr, (level), ZLOG_TAG, __FILE__, __LINE__, __func__, __VA_ARGS__)
#define ZLOG_CRIT(...) ZLOG(LOG2_CRIT, __VA_ARGS__)
#define ZLOG_ERR(...)  ZLOG(LOG2_ERR, __VA_ARGS__)
#define ZLOG_WARN(...) ZLOG(LOG2_WARN, __VA_ARGS__)
#define ZLOG_NOTI(...) ZLOG(LOG2_NOTI, __VA_ARGS__)
#define ZLOG_INFO(...) ZLOG(LOG2_INFO, __VA_ARGS__)
#define ZLOG_DBG(...)  ZLOG(LOG2_DBG, __VA_ARGS__)
#define ZLOG_VERB(...) ZLOG(LOG2_VERB, __VA_ARGS__)
