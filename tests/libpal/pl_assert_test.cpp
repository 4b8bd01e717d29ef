// Soft assertions: the texts the design fixes are logged exactly, whatever
// the condition in the code looks like, and the call returns its error value.
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "libpal/comm/queue.h"
#include "libpal/hash/crc.h"
#include "libpal/memory/mem_pack.h"
#include "libpal/os/os_thread.h"
#include "libpal/string/path.h"
#include "libpal/string/str_array.h"
#include "libpal/string/str_kv.h"
#include "libpal/string/url.h"
#include "libpal/vfile/vfile.h"
#include "str_log_capture.h"

namespace {

int own_nodes_del()
{
    queue_param p{};
    p.not_alloc_node = 1;
    queue *q = queue_init(&p);
    const int rc = queue_del(q, q);
    queue_close(q);
    return rc;
}

}  // namespace

TEST(SoftAssertion, FixedTextsAreLoggedAndTheCallRefused)
{
    struct row {
        const char *text;
        std::function<bool()> refused;  // runs the call, true when it answered its error value
    };
    static char long_path[PL_MAX_PATH];
    const row rows[] = {
        {"hq!=NULL", [] { return queue_size(nullptr) == 0; }},
        {"node!=NULL", [] {
             queue *q = queue_init(nullptr);
             const int rc = queue_push(q, nullptr);
             queue_close(q);
             return rc == -1;
         }},
        {"ctx->not_alloc_node == FALSE", [] { return own_nodes_del() == -1; }},
        {"slen <= blen", [] {
             char out[2];
             return mem_add_str(out, sizeof(out), "abc", 3) == -1;
         }},
        {"host && p", [] {
             url_info info{};
             return url_parser_imp(&info, "http://h/") == -1;
         }},
        {"len+2<=PL_MAX_PATH", [] {
             std::string(PL_MAX_PATH - 1, 'a').copy(long_path, PL_MAX_PATH - 1);
             long_path[PL_MAX_PATH - 1] = '\0';
             return path_add_sep_not_exist_tail(long_path) == long_path && long_path[PL_MAX_PATH - 2] == 'a';
         }},
        {"path", [] { return !path_is_absolute(nullptr); }},
        {"data", [] { return hash_crc8(nullptr, 1, 0) == 0; }},
        {"str!=NULL", [] {
             const char *parts[2];
             return str_split_zz(nullptr, parts, 2, nullptr) == -1;
         }},
        {"length > 0", [] {
             char out[8] = "x";
             return str_substr_buf("abc", 0, 0, out, sizeof(out))[0] == '\0';
         }},
        {"srcstr != NULL", [] {
             char out[8] = "x";
             return str_substr_buf(nullptr, 0, 1, out, sizeof(out))[0] == '\0';
         }},
        {"name!=NULL", [] { return os_thread_init(nullptr, [](void *) { return 0; }, nullptr, 0) == nullptr; }},
        {"thread!=NULL", [] { return os_thread_wait(nullptr, 0, nullptr) == -1; }},
        {"f!=NULL", [] { return qdfile_fgetc(nullptr) == -1; }},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        log_capture log;
        EXPECT_TRUE(r.refused());
        EXPECT_TRUE(log.has(std::string("expr[") + r.text + "]: assert failed\n"));
    }
}
