#include "platform/PropertyList.h"

#include <QStringDecoder>
#include <QVariantMap>
#include <cstddef>
#include <cstdint>

// Random strings in the places the login agent puts settings text: either the writer
// refuses them, or the XML it writes reads back to exactly the same values.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const QList<QByteArray> parts = bytes.split('\0');
    auto part = [&](int i) { return QString::fromUtf8(parts.value(i)); };

    const QVariantMap original = {
        { QStringLiteral("Label"), part(0) },
        { QStringLiteral("ProgramArguments"), QVariantList { part(1) } },
        { QStringLiteral("RunAtLoad"), true },
        { QStringLiteral("KeepAlive"), QVariantMap { { QStringLiteral("SuccessfulExit"), false } } },
        { QStringLiteral("ThrottleInterval"), 15 },
        { QStringLiteral("StandardOutPath"), part(2) },
        { part(3).isEmpty() ? QStringLiteral("StandardErrorPath") : part(3), part(4) },
    };
    const std::optional<QByteArray> xml = platform::propertylist::xmlData(original);
    if (!xml)
        return 0;
    const std::optional<QVariant> parsed = platform::propertylist::fromData(*xml);
    if (!parsed)
        __builtin_trap();
    const QVariantMap back = parsed->toMap();
    if (back.keys() != original.keys())
        __builtin_trap();
    for (auto it = original.cbegin(); it != original.cend(); ++it) {
        const QVariant &value = back.value(it.key());
        // Integers come back unsigned, so they compare by value.
        const bool same = it.value().typeId() == QMetaType::Int
            ? value.toLongLong() == it.value().toLongLong()
            : value == it.value();
        if (!same)
            __builtin_trap();
    }
    return 0;
}
