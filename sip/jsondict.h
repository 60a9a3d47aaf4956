#pragma once

#include <cstdint>
#include <string>

struct odict;

// A JSON object or array built in order and written by libre's encoder,
// which escapes what a string holds.
class JsonDict
{
public:
    JsonDict();
    ~JsonDict();
    JsonDict(const JsonDict &) = delete;
    JsonDict &operator=(const JsonDict &) = delete;

    JsonDict &add(const char *key, const std::string &value);
    JsonDict &add(const char *key, const char *value) { return add(key, std::string(value)); }
    JsonDict &add(const char *key, int64_t value);
    JsonDict &add(const char *key, int value) { return add(key, int64_t(value)); }
    JsonDict &add(const char *key, bool value);
    JsonDict &addNull(const char *key);
    // Another one inside this, as an object or as an array.
    JsonDict &add(const char *key, const JsonDict &inner, bool array = false);
    // The next entry of an array.
    JsonDict &push(const std::string &value);

    // The JSON text; empty when out of memory.
    std::string json() const;

private:
    struct odict *o = nullptr;
};
