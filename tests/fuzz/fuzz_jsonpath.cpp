// JSONPath expressions: any text parses to a tree or to an error code, never
// both and never a fault, and a tree walks a fixed document without a fault.
#include <json.h>

#include <string>

#include "fuzz_quiet.h"
#include "jsonfilter/json_filter.h"
#include "jsonfilter/json_path.h"

namespace {

json_object *document()
{
    static json_object *doc = parse_json(
        R"({"dev": [{"name": "a", "size": 5, "ok": true}, {"name": "b", "size": "5", "n": null}],)"
        R"( "m": {"x": [1, 2, {"y": "z"}], "true": 1.5}})",
        nullptr);
    return doc;
}

void count(json_object *, void *priv)
{
    ++*static_cast<size_t *>(priv);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    jp_state *s = jp_parse(input.c_str());
    FUZZ_CHECK(s != nullptr);
    FUZZ_CHECK((s->error_code == 0) == (s->path != nullptr));
    if (s->path != nullptr) {
        size_t matches = 0;
        json_object *first = jp_match(s->path, document(), count, &matches);
        // A JSON null is a match that is no object.
        FUZZ_CHECK(matches != 0 || first == nullptr);
    }
    jp_free(s);
    return 0;
}
