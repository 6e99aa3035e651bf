#include "config/Settings.h"

#include <cstddef>
#include <cstdint>

// Any bytes decode to a whole record or to nothing; a record always has its five
// required members as strings, which decode() guarantees by construction.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const std::optional<Settings> settings = Settings::decode(bytes);
    if (settings && settings->isProduct() != settings->product.value_or(false))
        __builtin_trap();
    return 0;
}
