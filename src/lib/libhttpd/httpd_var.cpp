// Request variables, query parsing and URL coding.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "libhttpd/httpd_content.h"
#include "libpal/basic/os_malloc.h"

namespace {

httpd_var *var_new(const char *name, const char *value)
{
    void *mem = os_zalloc(sizeof(httpd_var));
    if (mem == nullptr)
        return nullptr;
    auto *v = new (mem) httpd_var{};
    v->name = os_strdup(name);
    v->value = os_strdup(value != nullptr ? value : "");
    if (v->name == nullptr || v->value == nullptr) {
        os_free(v->name);
        os_free(v->value);
        os_free(v);
        return nullptr;
    }
    return v;
}

void var_free_one(httpd_var *v)
{
    os_free(v->name);
    os_free(v->value);
    os_free(v);
}

bool starts_with(const char *text, const char *prefix)
{
    return prefix == nullptr || std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// Kept as they are by httpdUrlEncode besides letters and digits.
bool url_keeps(unsigned char c)
{
    return std::isalnum(c) || std::strchr("!\"$'()*+,-.@_", c) != nullptr;
}

}  // namespace

int httpdVarAdd(httpd_request *r, const char *name, const char *value)
{
    while (*name == ' ' || *name == '\t')
        name++;
    httpd_var *v = var_new(name, value);
    if (v == nullptr)
        return -1;
    httpd_var *existing = httpdVarFind(r, name);
    if (existing != nullptr) {
        httpd_var *tail = existing;
        while (tail->next_value != nullptr)
            tail = tail->next_value;
        tail->next_value = v;
        return 0;
    }
    httpd_var **slot = &r->vars;
    while (*slot != nullptr)
        slot = &(*slot)->next;
    *slot = v;
    return 0;
}

int httpdVarSet(httpd_request *r, const char *name, const char *value)
{
    httpd_var *v = httpdVarFind(r, name);
    if (v == nullptr)
        return httpdVarAdd(r, name, value);
    char *copy = os_strdup(value != nullptr ? value : "");
    if (copy == nullptr)
        return -1;
    os_free(v->value);
    v->value = copy;
    return 0;
}

httpd_var *httpdVarFind(httpd_request *r, const char *name)
{
    for (httpd_var *v = r->vars; v != nullptr; v = v->next) {
        if (std::strcmp(v->name, name) == 0)
            return v;
    }
    return nullptr;
}

httpd_var *httpdVarFindPrefix(httpd_request *r, const char *prefix)
{
    for (httpd_var *v = r->vars; v != nullptr; v = v->next) {
        if (starts_with(v->name, prefix))
            return v;
    }
    return nullptr;
}

httpd_var *httpdVarFindPrefixSuffix(httpd_request *r, const char *prefix, const char *suffix)
{
    const std::string name = std::string(prefix != nullptr ? prefix : "") + (suffix != nullptr ? suffix : "");
    return httpdVarFind(r, name.c_str());
}

httpd_var *httpdVarNextPrefix(httpd_var *var, const char *prefix)
{
    for (httpd_var *v = var != nullptr ? var->next : nullptr; v != nullptr; v = v->next) {
        if (starts_with(v->name, prefix))
            return v;
    }
    return nullptr;
}

void httpdVarFreeList(httpd_var *list)
{
    while (list != nullptr) {
        httpd_var *next = list->next;
        httpd_var *value = list->next_value;
        while (value != nullptr) {
            httpd_var *more = value->next_value;
            var_free_one(value);
            value = more;
        }
        var_free_one(list);
        list = next;
    }
}

void httpdVarFreeAll(httpd_request *r)
{
    httpdVarFreeList(r->vars);
    r->vars = nullptr;
}

void httpdVarDump(httpd_request *r)
{
    for (httpd_var *v = r->vars; v != nullptr; v = v->next) {
        std::printf("Variable '%s'\n", v->name);
        for (httpd_var *value = v; value != nullptr; value = value->next_value)
            std::printf("\t= '%s'\n", value->value);
    }
}

void httpdQueryParse(httpd_request *r, char *query)
{
    char *item = query;
    while (item != nullptr && *item != '\0') {
        char *amp = std::strchr(item, '&');
        if (amp != nullptr)
            *amp = '\0';
        char *eq = std::strchr(item, '=');
        if (eq != nullptr) {
            *eq = '\0';
            httpdVarAdd(r, item, httpdUrlDecode(eq + 1));
        } else if (amp != nullptr) {
            httpdVarAdd(r, item, "");
        }
        item = amp != nullptr ? amp + 1 : nullptr;
    }
}

int httpdHexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

char *httpdUrlDecode(char *text)
{
    static char empty[1] = "";
    if (text == nullptr)
        return empty;
    char *out = text;
    for (const char *in = text; *in != '\0'; in++) {
        if (*in == '%' && std::isxdigit(static_cast<unsigned char>(in[1])) &&
            std::isxdigit(static_cast<unsigned char>(in[2]))) {
            *out++ = static_cast<char>(httpdHexValue(in[1]) * 16 + httpdHexValue(in[2]));
            in += 2;
        } else if (*in == '+') {
            *out++ = ' ';
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
    return text;
}

char *httpdUrlEncode(const char *text)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const char *p = text != nullptr ? text : ""; *p != '\0'; p++) {
        const auto c = static_cast<unsigned char>(*p);
        if (url_keeps(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return os_strdup(out.c_str());
}

char *httpdUrlEncodePlus(const char *text)
{
    std::string spaced(text != nullptr ? text : "");
    for (char &c : spaced) {
        if (c == ' ')
            c = '+';
    }
    return httpdUrlEncode(spaced.c_str());
}
