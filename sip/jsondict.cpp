#include "jsondict.h"

#include <re.h>

JsonDict::JsonDict()
{
    odict_alloc(&o, 8);
}

JsonDict::~JsonDict()
{
    mem_deref(o);
}

JsonDict &JsonDict::add(const char *key, const std::string &value)
{
    if (o)
        odict_entry_add(o, key, ODICT_STRING, value.c_str());
    return *this;
}

JsonDict &JsonDict::add(const char *key, int64_t value)
{
    if (o)
        odict_entry_add(o, key, ODICT_INT, value);
    return *this;
}

JsonDict &JsonDict::add(const char *key, bool value)
{
    if (o)
        odict_entry_add(o, key, ODICT_BOOL, value);
    return *this;
}

JsonDict &JsonDict::addNull(const char *key)
{
    if (o)
        odict_entry_add(o, key, ODICT_NULL);
    return *this;
}

JsonDict &JsonDict::add(const char *key, const JsonDict &inner, bool array)
{
    if (o && inner.o)
        odict_entry_add(o, key, array ? ODICT_ARRAY : ODICT_OBJECT, inner.o);
    return *this;
}

// An array's entries need keys of their own, which JSON leaves out.
JsonDict &JsonDict::push(const std::string &value)
{
    return add(o ? std::to_string(odict_count(o, false)).c_str() : "", value);
}

std::string JsonDict::json() const
{
    char *text = nullptr;
    if (!o || re_sdprintf(&text, "%H", json_encode_odict, o) || !text)
        return std::string();
    std::string out(text);
    mem_deref(text);
    return out;
}
